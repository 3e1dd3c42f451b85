#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

using bytes::At;

int IdentifySwf(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 8) return kNoSignatureType;
  if (At(b, length, 0, "CWS") && b[3] >= 6 && b[3] <= 15) return 26;
  if (At(b, length, 0, "FWS") && b[3] < 6) return 26;
  return kNoSignatureType;
}

uint64_t MeasureSwf(CarveContext& context, const uint8_t* buffer, size_t length) {
  if (!bytes::At(buffer, length, 0, "FWS") || length < 8) return SectorBytes(context);
  return std::min<uint64_t>(ByteView({buffer, length}).Le32(4).value_or(0), 256 * kMiB);
}

}  // namespace

extern const Format kSwf = {"swf", nullptr, 26, "video", "CF", 2, false, IdentifySwf, MeasureSwf};

}  // namespace velmora::formats
