#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 4 * kGiB;

// Header, then tags, each followed by its own size: the chain ends at the last tag whose
// size field agrees.
std::optional<uint64_t> WalkTags(const CarveContext& context) {
  FileView file(context, kCap);
  const auto header_size = file.Bytes(5, 4).Be32(0);
  if (!header_size || *header_size < 9 || *header_size > 1024) return std::nullopt;
  uint64_t at = *header_size + 4;  // the first previous-tag size is 0
  uint64_t end = 0;
  while (true) {
    const ByteView tag = file.Bytes(at, 11);
    if (tag.empty()) break;
    const uint8_t kind = *tag.U8(0) & 0x1F;
    if ((kind != 8 && kind != 9 && kind != 18) || *tag.Be24(8) != 0) break;
    const uint64_t size = *tag.Be24(1);
    const auto trailer = file.Bytes(at + 11 + size, 4).Be32(0);
    if (!trailer || *trailer != 11 + size) break;
    at += 11 + size + 4;
    end = at;
  }
  return end == 0 ? std::nullopt : std::optional(end);
}

int IdentifyFlv(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && bytes::At(b, length, 0, "FLV\x01") &&
                 bytes::At(b, length, 5, {"\x00\x00\x00\x09", 4})
             ? 27
             : kNoSignatureType;
}

uint64_t MeasureFlv(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, WalkTags(context), kCap);
}

}  // namespace

extern const Format kFlv = {"flv", nullptr, 27, "video", "F", 1, true, IdentifyFlv, MeasureFlv};

}  // namespace velmora::formats
