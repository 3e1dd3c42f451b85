#include <algorithm>

#include "signature/formats/format.h"
#include "storage/checksum.h"

namespace velmora::formats {

namespace {

using bytes::At;
using bytes::kNotFound;

int IdentifySevenZip(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 5 && At(b, length, 0, "7z\xBC\xAF\x27") ? 34 : kNoSignatureType;
}

// The start header names where the archive's closing header lies and how long it is;
// when its checksum holds, that gives the exact length. Otherwise the coder record of
// an LZMA-packed closing header is looked for.
uint64_t MeasureSevenZip(CarveContext& context, const uint8_t* buffer, size_t length) {
  constexpr uint64_t kCap = 4 * kGiB;
  constexpr size_t kStartHeaderBytes = 32;
  const ByteView start({buffer, length});
  if (length >= kStartHeaderBytes && Crc32(buffer + 12, 20) == start.Le32(8)) {
    const uint64_t offset = start.Le64(12).value_or(0);
    const uint64_t size = start.Le64(20).value_or(0);
    if (offset <= kCap && size <= kCap) return std::min(kStartHeaderBytes + offset + size, kCap);
  }
  static constexpr std::string_view kCoderTail{"\x00\x07\x0B\x01\x00\x01\x23\x03\x01\x01\x05\x5D",
                                               12};
  return ForwardScan(context, kCap, BoundaryMode::kEveryType,
                     [](const ScanChunk& chunk, uint64_t* end) {
                       const size_t at = bytes::FindLast(chunk.data, chunk.bytes, kCoderTail);
                       if (at == kNotFound) return false;
                       *end = chunk.file_offset + at + 27;
                       return true;
                     });
}

}  // namespace

extern const Format kSevenZip = {
    "7z", nullptr, 34, "archive", "7", 1, true, IdentifySevenZip, MeasureSevenZip};

}  // namespace velmora::formats
