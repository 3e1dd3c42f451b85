#include "signature/byte_search.h"
#include "signature/simple_identifiers.h"
#include "storage/byte_view.h"

namespace velmora::identify {

using bytes::At;

namespace {

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

}  // namespace

int Pdf(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 5 && At(b, length, 0, "%PDF-") ? 8 : kNoSignatureType;
}

int Gzip(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 16 || !At(b, length, 0, "\x1F\x8B\x08")) return kNoSignatureType;
  if (b[3] != 0x00 && b[3] != 0x08) return kNoSignatureType;
  if (b[8] != 0x02 && b[8] != 0x04) return kNoSignatureType;
  return b[9] < 14 || b[9] == 0xFF ? 36 : kNoSignatureType;
}

int SevenZip(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 5 && At(b, length, 0, "7z\xBC\xAF\x27") ? 34 : kNoSignatureType;
}

int PlainZip(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 48 && At(b, length, 0, "PK\x03\x04") ? 35 : kNoSignatureType;
}

int Rar(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 7 && At(b, length, 0, {"Rar!\x1A\x07\x00", 7}) ? 37 : kNoSignatureType;
}

int Cab(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 36 && At(b, length, 0, "MSCF") ? 33 : kNoSignatureType;
}

int Exe(CarveContext&, const uint8_t* b, size_t length) {
  const int flags = PeCharacteristics(b, length);
  if (flags < 0) return kNoSignatureType;
  return (flags & kExecutableImage) && !(flags & kSystemFile) && !(flags & kDllFile)
             ? 41
             : kNoSignatureType;
}

int Dll(CarveContext&, const uint8_t* b, size_t length) {
  const int flags = PeCharacteristics(b, length);
  if (flags < 0) return kNoSignatureType;
  return (flags & kDllFile) && !(flags & kSystemFile) ? 42 : kNoSignatureType;
}

int Sys(CarveContext&, const uint8_t* b, size_t length) {
  const int flags = PeCharacteristics(b, length);
  return flags >= 0 && (flags & kSystemFile) ? 43 : kNoSignatureType;
}

int Ghost(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 4 && At(b, length, 0, {"\xFE\xEF\x00\x00", 4}) ? 9 : kNoSignatureType;
}

int Sqlite(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && At(b, length, 0, {"SQLite format 3\x00", 16}) ? 39 : kNoSignatureType;
}

int Dbx(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && At(b, length, 0, "\xCF\xAD\x12\xFE") ? 40 : kNoSignatureType;
}

int Pst(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && At(b, length, 0, "!BDN") && At(b, length, 8, "SM") ? 38 : kNoSignatureType;
}

}  // namespace velmora::identify
