#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

using bytes::At;

int IdentifyRar(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 7 && At(b, length, 0, {"Rar!\x1A\x07\x00", 7}) ? 37 : kNoSignatureType;
}

uint64_t MeasureRar(CarveContext& context, const uint8_t*, size_t) {
  return ScanUntilFooter(context, 4 * kGiB, BoundaryMode::kEveryType,
                         {"\xC4\x3D\x7B\x00\x40\x07\x00", 7}, true);
}

}  // namespace

extern const Format kRar = {"rar", nullptr, 37, "archive", "R", 1, true, IdentifyRar, MeasureRar};

}  // namespace velmora::formats
