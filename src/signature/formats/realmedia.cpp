#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

using bytes::At;
using bytes::kNotFound;

int IdentifyRealMedia(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 4 && At(b, length, 0, ".RMF") ? 23 : kNoSignatureType;
}

uint64_t MeasureRealMedia(CarveContext& context, const uint8_t*, size_t) {
  static constexpr std::string_view kIndexEnd{
      "\x49\x4E\x44\x58\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00", 20};
  return ForwardScan(context, 4 * kGiB, BoundaryMode::kEveryType,
                     [](const ScanChunk& chunk, uint64_t* end) {
                       const size_t at = bytes::Find(chunk.data, chunk.bytes, kIndexEnd);
                       if (at == kNotFound) return false;
                       *end = chunk.file_offset + at + kIndexEnd.size();
                       return true;
                     });
}

}  // namespace

extern const Format kRealMedia = {
    "rmvb", "rm", 23, "video", ".", 1, true, IdentifyRealMedia, MeasureRealMedia};

}  // namespace velmora::formats
