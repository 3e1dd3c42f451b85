#include "signature/byte_search.h"
#include "signature/simple_identifiers.h"

namespace velmora::identify {

using bytes::At;

int Gif(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 8 || !At(b, length, 0, "GIF")) return kNoSignatureType;
  const auto digit = [](uint8_t c) { return c >= '0' && c <= '9'; };
  return digit(b[3]) && digit(b[4]) && b[5] >= 'a' && b[5] <= 'z' ? 31 : kNoSignatureType;
}

int Bmp(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 40 || !(At(b, length, 0, "BM") || At(b, length, 0, "BA"))) return kNoSignatureType;
  return bytes::Le16(b + 6) == 0 && bytes::Le16(b + 8) == 0 && bytes::Le32(b + 14) == 40
             ? 29
             : kNoSignatureType;
}

int Jpeg(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 16) return kNoSignatureType;
  if (At(b, length, 0, "\xFF\xD8\xFF\xE0") && At(b, length, 6, "JFIF")) return 10;
  if (At(b, length, 0, "\xFF\xD8\xFF\xE1") && At(b, length, 6, "Exif")) return 10;
  return kNoSignatureType;
}

int Png(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 8 && At(b, length, 0, "\x89PNG\r\n\x1A\n") ? 30 : kNoSignatureType;
}

int Psd(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 40 && At(b, length, 0, "8BPS") ? 28 : kNoSignatureType;
}

int Tiff(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 4) return kNoSignatureType;
  return At(b, length, 0, {"MM\x00\x2A", 4}) || At(b, length, 0, {"II\x2A\x00", 4})
             ? 32
             : kNoSignatureType;
}

}  // namespace velmora::identify
