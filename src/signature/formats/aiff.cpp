#include <algorithm>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kAiffType = 59;
constexpr uint64_t kCap = 1 * kGiB;

int IdentifyAiff(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 16 || !b.Matches(0, "FORM")) return kNoSignatureType;
  if (!b.Matches(8, "AIFF") && !b.Matches(8, "AIFC")) return kNoSignatureType;
  return *b.Be32(4) >= 12 ? kAiffType : kNoSignatureType;
}

uint64_t MeasureAiff(CarveContext&, const uint8_t* buffer, size_t length) {
  const uint64_t size = ByteView({buffer, length}).Be32(4).value_or(0);
  return std::min(8 + size + (size & 1), kCap);
}

}  // namespace

extern const Format kAiff = {"aiff", "aif aifc", kAiffType,    "audio",    "F",
                             1,      false,      IdentifyAiff, MeasureAiff};

}  // namespace velmora::formats
