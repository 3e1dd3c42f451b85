#include "signature/formats/format.h"

// Windows programs, libraries and drivers: named here, never carved (they only end other files).
namespace velmora::formats {

namespace {

using bytes::At;

// Characteristics word of a PE header in the first sector, or -1 when there is none.
int PeCharacteristics(const uint8_t* b, size_t length) {
  if (length < 512 || !At(b, length, 0, "MZ")) return -1;
  const ByteView image({b, length});
  const uint32_t header = image.Le32(60).value_or(0);
  if (header > 488 || !At(b, length, header, {"PE\x00\x00", 4})) return -1;
  return image.Le16(header + 22).value_or(0);
}

constexpr int kExecutableImage = 0x0002;
constexpr int kSystemFile = 0x1000;
constexpr int kDllFile = 0x2000;

int IdentifyExe(CarveContext&, const uint8_t* b, size_t length) {
  const int flags = PeCharacteristics(b, length);
  if (flags < 0) return kNoSignatureType;
  return (flags & kExecutableImage) && !(flags & kSystemFile) && !(flags & kDllFile)
             ? 41
             : kNoSignatureType;
}

int IdentifyDll(CarveContext&, const uint8_t* b, size_t length) {
  const int flags = PeCharacteristics(b, length);
  if (flags < 0) return kNoSignatureType;
  return (flags & kDllFile) && !(flags & kSystemFile) ? 42 : kNoSignatureType;
}

int IdentifySys(CarveContext&, const uint8_t* b, size_t length) {
  const int flags = PeCharacteristics(b, length);
  return flags >= 0 && (flags & kSystemFile) ? 43 : kNoSignatureType;
}

}  // namespace

extern const Format kExe = {"exe", nullptr, 41, "others", "M", 1, false, IdentifyExe, nullptr};
extern const Format kDll = {"dll", nullptr, 42, "others", "M", 1, false, IdentifyDll, nullptr};
extern const Format kSys = {"sys", nullptr, 43, "others", "M", 1, false, IdentifySys, nullptr};

}  // namespace velmora::formats
