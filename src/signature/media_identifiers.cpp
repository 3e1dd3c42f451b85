#include <algorithm>

#include "signature/byte_search.h"
#include "signature/simple_identifiers.h"

namespace velmora::identify {

using bytes::At;

namespace {

constexpr std::string_view kAsfHeaderGuid{
    "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16};
constexpr std::string_view kMxfKey{
    "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00", 16};
constexpr std::string_view kMtsPat{"\x00\x00\xB0\x11\x00\x00\xC1\x00", 8};

}  // namespace

int Mpeg(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 16) return kNoSignatureType;
  const size_t head = std::min<size_t>(length, 32);
  if (At(b, length, 0, {"\x00\x00\x01\xBA", 4}) &&
      bytes::Find(b, head, {"\x00\x00\x01\xBB", 4}) != bytes::kNotFound) {
    return 15;
  }
  if (At(b, length, 0, {"\x00\x00\x01\xB3", 4}) &&
      bytes::Find(b, head, {"\x00\x00\x01\xB8", 4}) != bytes::kNotFound) {
    return 15;
  }
  return kNoSignatureType;
}

int Mp4(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 32 || !At(b, length, 4, "ftyp")) return kNoSignatureType;
  return At(b, length, 8, "iso") || At(b, length, 8, "mp42") ? 18 : kNoSignatureType;
}

int RealMedia(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 4 && At(b, length, 0, ".RMF") ? 23 : kNoSignatureType;
}

int Asf(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 24 && At(b, length, 0, kAsfHeaderGuid) ? 24 : kNoSignatureType;
}

int Swf(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 8) return kNoSignatureType;
  if (At(b, length, 0, "CWS") && b[3] >= 6 && b[3] <= 15) return 26;
  if (At(b, length, 0, "FWS") && b[3] < 6) return 26;
  return kNoSignatureType;
}

int Avi(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && At(b, length, 0, "RIFF") && At(b, length, 8, "AVI ") &&
                 At(b, length, 12, "LIST")
             ? 22
             : kNoSignatureType;
}

int Flv(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && At(b, length, 0, "FLV\x01") && At(b, length, 5, {"\x00\x00\x00\x09", 4})
             ? 27
             : kNoSignatureType;
}

int ThreeGp(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 32 && At(b, length, 4, "ftyp") && At(b, length, 8, "3gp") ? 16
                                                                             : kNoSignatureType;
}

int Matroska(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && At(b, length, 0, "\x1A\x45\xDF\xA3") ? 19 : kNoSignatureType;
}

// Once a stream of this kind is being measured, its later packets (nonzero leading
// bytes) are not taken for new files.
int Mts(CarveContext& context, const uint8_t* b, size_t length) {
  if (length < 16 || !At(b, length, 8, kMtsPat)) return kNoSignatureType;
  const bool leading_zero = b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0;
  return leading_zero || !context.mts_flag ? 47 : kNoSignatureType;
}

int Mxf(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && At(b, length, 0, kMxfKey) ? 48 : kNoSignatureType;
}

// The tag header is ten bytes: "ID3", version, revision, flags, four 7-bit size bytes.
int Mp3(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 10 || !At(b, length, 0, "ID3")) return kNoSignatureType;
  if (b[3] == 0xFF || b[4] == 0xFF || (b[5] & 0x1F) != 0) return kNoSignatureType;
  for (int i = 6; i <= 9; ++i) {
    if (b[i] >= 0x80) return kNoSignatureType;
  }
  return 12;
}

// The header chunk is 14 bytes; the first track chunk id follows at 14..17.
int Midi(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 18 && At(b, length, 0, "MThd") && At(b, length, 4, {"\x00\x00\x00\x06", 4}) &&
                 At(b, length, 14, "MTrk")
             ? 13
             : kNoSignatureType;
}

int Ape(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 4 && At(b, length, 0, "MAC ") ? 25 : kNoSignatureType;
}

int Wav(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && At(b, length, 0, "RIFF") && At(b, length, 8, "WAVE") &&
                 At(b, length, 12, "fmt ")
             ? 21
             : kNoSignatureType;
}

int QuickTime(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 16) return kNoSignatureType;
  if (At(b, length, 0, "moov")) return 17;
  return At(b, length, 4, "ftyp") && At(b, length, 8, "qt  ") ? 17 : kNoSignatureType;
}

int Mp2(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 4 && At(b, length, 0, {"\xFF\xFD\xE4\x00", 4}) ? 11 : kNoSignatureType;
}

int Mmf(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 4 && At(b, length, 0, "MMMD") ? 14 : kNoSignatureType;
}

// Only the first half of the compound-file signature: the full one belongs to the
// compound-file rows further down the table.
int Fla(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 16 || !At(b, length, 0, "\xD0\xCF\x11\xE0")) return kNoSignatureType;
  return At(b, length, 4, "\xA1\xB1\x1A\xE1") ? kNoSignatureType : 44;
}

}  // namespace velmora::identify
