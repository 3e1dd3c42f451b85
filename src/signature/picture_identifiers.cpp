#include "signature/byte_search.h"
#include "signature/simple_identifiers.h"
#include "storage/byte_view.h"

namespace velmora::identify {

using bytes::At;

int Bmp(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 40 || !(At(b, length, 0, "BM") || At(b, length, 0, "BA"))) return kNoSignatureType;
  const ByteView header({b, length});
  return header.Le16(6) == 0 && header.Le16(8) == 0 && header.Le32(14) == 40u ? 29
                                                                              : kNoSignatureType;
}

}  // namespace velmora::identify
