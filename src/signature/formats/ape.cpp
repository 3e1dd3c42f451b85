#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

using bytes::At;
using bytes::kNotFound;

int IdentifyApe(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 4 && At(b, length, 0, "MAC ") ? 25 : kNoSignatureType;
}

// An APE tag has a header and a footer, both "APETAGEX" version 2000, 32 bytes each.
uint64_t MeasureApe(CarveContext& context, const uint8_t*, size_t) {
  static constexpr std::string_view kTag{"APETAGEX\xD0\x07", 10};
  return ForwardScan(context, 2 * kGiB, BoundaryMode::kEveryType,
                     [](const ScanChunk& chunk, uint64_t* end) {
                       const size_t first = bytes::Find(chunk.data, chunk.bytes, kTag);
                       if (first == kNotFound) return false;
                       const size_t second = bytes::Find(chunk.data, chunk.bytes, kTag, first + 1);
                       *end = chunk.file_offset + (second == kNotFound ? chunk.bytes : second + 32);
                       return true;
                     });
}

}  // namespace

extern const Format kApe = {"ape", nullptr, 25, "audio", "M", 1, true, IdentifyApe, MeasureApe};

}  // namespace velmora::formats
