#include <algorithm>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kBmpType = 80;

// Bitmaps with the header versions the original row does not take (core, v2 to v5).
int IdentifyNewerBmp(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 54 || !b.Matches(0, "BM") || *b.Le32(6) != 0) return kNoSignatureType;
  const uint32_t header = *b.Le32(14);
  if (header != 12 && header != 52 && header != 56 && header != 64 && header != 108 &&
      header != 124) {
    return kNoSignatureType;
  }
  const uint32_t size = *b.Le32(2);
  const uint32_t pixels = *b.Le32(10);
  return pixels >= 14 + header && pixels < size ? kBmpType : kNoSignatureType;
}

uint64_t MeasureBmp(CarveContext&, const uint8_t* buffer, size_t length) {
  return std::min<uint64_t>(ByteView({buffer, length}).Le32(2).value_or(0), 128 * kMiB);
}

int IdentifyBmp(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 40 || !(bytes::At(b, length, 0, "BM") || bytes::At(b, length, 0, "BA"))) {
    return kNoSignatureType;
  }
  const ByteView header({b, length});
  return header.Le16(6) == 0 && header.Le16(8) == 0 && header.Le32(14) == 40u ? 29
                                                                              : kNoSignatureType;
}

}  // namespace

extern const Format kNewerBmp = {"bmp", nullptr, kBmpType,         "photo",   "B",
                                 1,     false,   IdentifyNewerBmp, MeasureBmp};

extern const Format kBmp = {"bmp", "dib", 29, "photo", "B", 1, false, IdentifyBmp, MeasureBmp};

}  // namespace velmora::formats
