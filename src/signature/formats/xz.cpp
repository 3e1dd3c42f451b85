#include "signature/formats/format.h"
#include "signature/formats/lzma_streams.h"

namespace velmora::formats {

namespace {

constexpr int kXzType = 64;
constexpr uint64_t kCap = 4 * kGiB;

int IdentifyXz(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  // Magic, then stream flags: a zero byte and a check type of 0 to 15.
  if (length < 12 || !b.Matches(0, {"\xFD"
                                    "7zXZ\0\0",
                                    7}))
    return kNoSignatureType;
  return *b.U8(7) < 16 ? kXzType : kNoSignatureType;
}

uint64_t MeasureXz(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, XzStreamLength(context, kCap), kCap);
}

}  // namespace

extern const Format kXz = {"xz", "txz", kXzType, "archive", "\xFD", 1, true, IdentifyXz, MeasureXz};

}  // namespace velmora::formats
