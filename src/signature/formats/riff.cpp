#include "signature/formats/format.h"

// RIFF files whose header gives their length: AVI video and WAV audio.
namespace velmora::formats {

namespace {

using bytes::At;

int IdentifyAvi(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && At(b, length, 0, "RIFF") && At(b, length, 8, "AVI ") &&
                 At(b, length, 12, "LIST")
             ? 22
             : kNoSignatureType;
}

int IdentifyWav(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 16 && At(b, length, 0, "RIFF") && At(b, length, 8, "WAVE") &&
                 At(b, length, 12, "fmt ")
             ? 21
             : kNoSignatureType;
}

uint64_t MeasureRiff(CarveContext&, const uint8_t* buffer, size_t length) {
  if (length < 8) return 0;
  return uint64_t{ByteView({buffer, length}).Le32(4).value_or(0)} + 8;
}

}  // namespace

extern const Format kAvi = {"avi", nullptr, 22, "video", "R", 1, false, IdentifyAvi, MeasureRiff};
extern const Format kWav = {"wav", nullptr, 21, "audio", "R", 1, false, IdentifyWav, MeasureRiff};

}  // namespace velmora::formats
