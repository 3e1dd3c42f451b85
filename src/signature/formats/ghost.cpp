#include "signature/formats/format.h"

// Disk-image files: named, never carved (they only end other files).
namespace velmora::formats {

namespace {

using bytes::At;

int IdentifyGhost(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 4 && At(b, length, 0, {"\xFE\xEF\x00\x00", 4}) ? 9 : kNoSignatureType;
}

}  // namespace

extern const Format kGhost = {"gho", nullptr,       9,      "others", "\xFE", 1,
                              false, IdentifyGhost, nullptr};

}  // namespace velmora::formats
