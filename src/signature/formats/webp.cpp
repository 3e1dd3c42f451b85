#include <algorithm>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kWebpType = 58;
constexpr uint64_t kCap = 1 * kGiB;

int IdentifyWebp(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 16 || !b.Matches(0, "RIFF") || !b.Matches(8, "WEBPVP8")) return kNoSignatureType;
  return *b.Le32(4) >= 12 ? kWebpType : kNoSignatureType;
}

// The chunk size leaves out the eight bytes in front of it; an odd size is padded.
uint64_t MeasureWebp(CarveContext&, const uint8_t* buffer, size_t length) {
  const uint64_t size = ByteView({buffer, length}).Le32(4).value_or(0);
  return std::min(8 + size + (size & 1), kCap);
}

}  // namespace

extern const Format kWebp = {"webp", nullptr, kWebpType,    "photo",    "R",
                             1,      false,   IdentifyWebp, MeasureWebp};

}  // namespace velmora::formats
