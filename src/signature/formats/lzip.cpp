#include "signature/formats/format.h"
#include "signature/formats/lzma_streams.h"

namespace velmora::formats {

namespace {

constexpr int kLzipType = 65;
constexpr uint64_t kCap = 4 * kGiB;

int IdentifyLzip(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 20 || !b.Matches(0, "LZIP\x01")) return kNoSignatureType;
  // Dictionary size: a power of two from 4 KiB to 512 MiB, less up to 7/16 of it.
  const uint8_t coded = *b.U8(5);
  const uint32_t base_log = coded & 0x1F;
  return base_log >= 12 && base_log <= 29 ? kLzipType : kNoSignatureType;
}

uint64_t MeasureLzip(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, LzipStreamLength(context, kCap), kCap);
}

}  // namespace

extern const Format kLzip = {"lz", nullptr, kLzipType,    "archive",  "L",
                             1,    true,    IdentifyLzip, MeasureLzip};

}  // namespace velmora::formats
