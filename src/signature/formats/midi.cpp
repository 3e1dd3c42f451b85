#include <algorithm>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

using bytes::At;

// The header chunk is 14 bytes; the first track chunk id follows at 14..17.
int IdentifyMidi(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 18 && At(b, length, 0, "MThd") && At(b, length, 4, {"\x00\x00\x00\x06", 4}) &&
                 At(b, length, 14, "MTrk")
             ? 13
             : kNoSignatureType;
}

// Header chunk, then one "MTrk" chunk per track, each with a big-endian length.
uint64_t MeasureMidi(CarveContext& context, const uint8_t* buffer, size_t length) {
  const uint64_t scanned = ForwardScan(context, 8 * kMiB);
  if (length < 14) return scanned;
  const uint32_t tracks = ByteView({buffer, length}).Be16(10).value_or(0);
  uint64_t total = 14;
  for (uint32_t track = 0; track < tracks; ++track) {
    if (total >= scanned) return scanned;
    uint8_t header[8];
    if (total + 8 <= length) {
      std::copy(buffer + total, buffer + total + 8, header);
    } else if (!context.ReadFileBytes(total, sizeof header, header)) {
      return scanned;
    }
    if (!bytes::At(header, sizeof header, 0, "MTrk")) return scanned;
    total += 8 + uint64_t{ByteView(header).Be32(4).value_or(0)};
  }
  return std::min(total, scanned);
}

}  // namespace

extern const Format kMidi = {"mid", nullptr, 13, "audio", "M", 1, true, IdentifyMidi, MeasureMidi};

}  // namespace velmora::formats
