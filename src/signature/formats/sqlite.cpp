#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 6 * kGiB;

// Page size times page count, trusted only when the count was written by a version that
// keeps it (the version-valid-for number equals the change counter).
std::optional<uint64_t> HeaderLength(ByteView header) {
  const auto raw_page_size = header.Be16(16);
  const auto change_counter = header.Be32(24);
  const auto pages = header.Be32(28);
  const auto valid_for = header.Be32(92);
  if (!raw_page_size || !pages || !valid_for || *pages == 0 || *change_counter != *valid_for) {
    return std::nullopt;
  }
  const uint64_t page_size = *raw_page_size == 1 ? 65536 : *raw_page_size;
  if (page_size < 512 || page_size > 65536 || (page_size & (page_size - 1)) != 0) {
    return std::nullopt;
  }
  return page_size * *pages;
}

int IdentifySqlite(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && bytes::At(b, length, 0, {"SQLite format 3\x00", 16}) ? 39
                                                                              : kNoSignatureType;
}

uint64_t MeasureSqlite(CarveContext& context, const uint8_t* buffer, size_t length) {
  return MeasuredOrScanned(context, HeaderLength(ByteView({buffer, length})), kCap);
}

}  // namespace

extern const Format kSqlite = {"db", nullptr,        39,           "document", "S", 1,
                               true, IdentifySqlite, MeasureSqlite};

}  // namespace velmora::formats
