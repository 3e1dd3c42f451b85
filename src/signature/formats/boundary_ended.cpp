#include <string_view>

#include "signature/byte_search.h"
#include "signature/formats/format.h"

// Formats known by their first bytes alone whose structure says nothing of their length: a
// file runs to the next boundary, at most the format's cap.
namespace velmora::formats {

namespace {

constexpr std::string_view kMxfKey{
    "\x06\x0E\x2B\x34\x02\x05\x01\x01\x0D\x01\x02\x01\x01\x02\x04\x00", 16};

int IdentifyMxf(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && bytes::At(b, length, 0, kMxfKey) ? 48 : kNoSignatureType;
}

int IdentifyMp2(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 4 && bytes::At(b, length, 0, {"\xFF\xFD\xE4\x00", 4}) ? 11 : kNoSignatureType;
}

int IdentifyMmf(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 4 && bytes::At(b, length, 0, "MMMD") ? 14 : kNoSignatureType;
}

// Only the first half of the compound-file signature: the full one belongs to the
// compound-file rows further down the table.
int IdentifyFla(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 16 || !bytes::At(b, length, 0, "\xD0\xCF\x11\xE0")) return kNoSignatureType;
  return bytes::At(b, length, 4, "\xA1\xB1\x1A\xE1") ? kNoSignatureType : 44;
}

int IdentifyDbx(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && bytes::At(b, length, 0, "\xCF\xAD\x12\xFE") ? 40 : kNoSignatureType;
}

int IdentifyPst(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && bytes::At(b, length, 0, "!BDN") && bytes::At(b, length, 8, "SM")
             ? 38
             : kNoSignatureType;
}

}  // namespace

extern const Format kMxf = {"mxf", nullptr, 48,          "video",       "\x06",
                            1,     true,    IdentifyMxf, ToBoundary4GiB};
extern const Format kMp2 = {"mp2", nullptr, 11,          "others",        "\xFF",
                            1,     true,    IdentifyMp2, ToBoundary256MiB};
extern const Format kMmf = {"mmf", nullptr, 14,          "others",        "M",
                            1,     true,    IdentifyMmf, ToBoundary256MiB};
extern const Format kFla = {"fla", nullptr, 44,          "video",         "\xD0",
                            1,     true,    IdentifyFla, ToBoundary256MiB};
extern const Format kDbx = {"dbx", nullptr, 40,          "document",    "\xCF",
                            1,     true,    IdentifyDbx, ToBoundary2GiB};
extern const Format kPst = {"pst", nullptr, 38,          "document",    "!",
                            1,     true,    IdentifyPst, ToBoundary2GiB};

}  // namespace velmora::formats
