#include <algorithm>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

using bytes::At;

int IdentifyCab(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 36 && At(b, length, 0, "MSCF") ? 33 : kNoSignatureType;
}

uint64_t MeasureCab(CarveContext& context, const uint8_t* buffer, size_t length) {
  if (length < 36) return SectorBytes(context);
  return std::min<uint64_t>(ByteView({buffer, length}).Le32(8).value_or(0), 1 * kGiB);
}

}  // namespace

extern const Format kCab = {"cab", nullptr, 33, "archive", "M", 1, false, IdentifyCab, MeasureCab};

}  // namespace velmora::formats
