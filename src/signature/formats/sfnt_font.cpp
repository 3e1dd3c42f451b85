#include <algorithm>

#include "signature/byte_search.h"
#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kTrueTypeType = 71;
constexpr int kOpenTypeType = 72;
constexpr uint64_t kCap = 256 * kMiB;
constexpr size_t kFontHeaderBytes = 12;
constexpr size_t kFontEntryBytes = 16;

// The table directory's search fields follow from the table count; fonts as written by
// every tool carry them, random bytes almost never do.
bool DirectoryHolds(const ByteView& b) {
  const uint32_t tables = *b.Be16(4);
  if (tables == 0 || tables > 128 || !b.Has(12, tables * 16u)) return false;
  uint32_t power = 1;
  uint32_t log = 0;
  while (power * 2 <= tables) {
    power *= 2;
    ++log;
  }
  return *b.Be16(6) == power * 16 && *b.Be16(8) == log && *b.Be16(10) == tables * 16 - power * 16;
}

int IdentifyFont(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 12) return kNoSignatureType;
  const bool true_type = b.Matches(0, {"\0\x01\0\0", 4}) || b.Matches(0, "true");
  const bool open_type = b.Matches(0, "OTTO");
  if ((!true_type && !open_type) || !DirectoryHolds(b)) return kNoSignatureType;
  return open_type ? kOpenTypeType : kTrueTypeType;
}

// Tables start on four-byte boundaries, so the last one is padded to one.
uint64_t MeasureFont(CarveContext& context, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  const uint32_t tables = b.Be16(4).value_or(0);
  uint64_t end = 12 + uint64_t{tables} * 16;
  for (uint32_t i = 0; i < tables; ++i) {
    const auto offset = b.Be32(12 + i * 16 + 8);
    const auto size = b.Be32(12 + i * 16 + 12);
    if (!offset || !size) return ScanToBoundary(context, kCap);
    end = std::max(end, (uint64_t{*offset} + *size + 3) / 4 * 4);
  }
  return std::min(end, kCap);
}

int IdentifyTrueTypeClassic(CarveContext&, const uint8_t* buffer, size_t length) {
  if (length < 16 || !bytes::At(buffer, length, 0, {"\x00\x01\x00\x00", 4})) {
    return kNoSignatureType;
  }
  const ByteView font({buffer, length});
  const size_t tables = font.Be16(4).value_or(0);
  if (tables == 0 || font.Le16(6) == 0 || font.Le16(8) == 0 || font.Le16(10) == 0) {
    return kNoSignatureType;
  }
  if (16 + kFontEntryBytes * tables > length) return kNoSignatureType;
  return bytes::At(buffer, length, kFontHeaderBytes + kFontEntryBytes * tables,
                   {"\x00\x01\x00\x00", 4})
             ? 45
             : kNoSignatureType;
}

uint64_t MeasureTrueTypeClassic(CarveContext&, const uint8_t* buffer, size_t length) {
  if (length < kFontHeaderBytes) return 0;
  const ByteView font({buffer, length});
  const size_t tables = font.Be16(4).value_or(0);
  uint64_t end = 0;
  for (size_t i = 0; i < tables; ++i) {
    const size_t at = kFontHeaderBytes + i * kFontEntryBytes;
    if (at + kFontEntryBytes > length) break;
    end = std::max<uint64_t>(
        end, uint64_t{font.Be32(at + 8).value_or(0)} + font.Be32(at + 12).value_or(0));
  }
  return end;
}

}  // namespace

extern const Format kTrueType = {"ttf", nullptr, kTrueTypeType, "others",   "\0t",
                                 2,     false,   IdentifyFont,  MeasureFont};
extern const Format kOpenType = {"otf", nullptr, kOpenTypeType, "others",   "O",
                                 1,     false,   IdentifyFont,  MeasureFont};

extern const Format kTrueTypeClassic = {
    "ttf", nullptr, 45, "others", "\0", 1, false, IdentifyTrueTypeClassic, MeasureTrueTypeClassic};

}  // namespace velmora::formats
