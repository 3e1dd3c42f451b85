#include <algorithm>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kWoffType = 79;
constexpr uint64_t kCap = 1 * kGiB;

// WOFF and WOFF2 web fonts: the whole length stands at offset 8.
int IdentifyWoff(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 44 || !(b.Matches(0, "wOFF") || b.Matches(0, "wOF2"))) return kNoSignatureType;
  const uint32_t flavour = *b.Be32(4);
  if (flavour != 0x00010000 && flavour != 0x4F54544F && flavour != 0x74727565) {
    return kNoSignatureType;
  }
  return *b.Be32(8) >= 44 && *b.Be16(12) > 0 ? kWoffType : kNoSignatureType;
}

uint64_t MeasureWoff(CarveContext&, const uint8_t* buffer, size_t length) {
  return std::min<uint64_t>(ByteView({buffer, length}).Be32(8).value_or(0), kCap);
}

}  // namespace

extern const Format kWoff = {"woff", "woff2", kWoffType,    "others",   "w",
                             1,      false,   IdentifyWoff, MeasureWoff};

}  // namespace velmora::formats
