#include "signature/byte_search.h"
#include "signature/simple_identifiers.h"

namespace velmora::identify {

using bytes::At;

int Bmp(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 40 || !(At(b, length, 0, "BM") || At(b, length, 0, "BA"))) return kNoSignatureType;
  return bytes::Le16(b + 6) == 0 && bytes::Le16(b + 8) == 0 && bytes::Le32(b + 14) == 40
             ? 29
             : kNoSignatureType;
}

}  // namespace velmora::identify
