#include <string_view>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

using bytes::At;
using bytes::kNotFound;

constexpr std::string_view kAsfHeaderGuid{
    "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16};

int IdentifyAsf(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 24 && At(b, length, 0, kAsfHeaderGuid) ? 24 : kNoSignatureType;
}

// The file-properties object holds the file size, valid unless the broadcast flag is set.
uint64_t MeasureAsf(CarveContext& context, const uint8_t* buffer, size_t length) {
  static constexpr std::string_view kFileProperties{
      "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16};
  const size_t at = bytes::Find(buffer, length, kFileProperties, 30);
  if (at == kNotFound || at + 92 > length) return SectorBytes(context);
  const ByteView properties = ByteView({buffer, length}).Sub(at, 92);
  if ((properties.Le32(88).value_or(0) & 1) != 0) return SectorBytes(context);
  const uint64_t size = properties.Le64(40).value_or(0);
  if (size == 0) return SectorBytes(context);
  return std::min<uint64_t>(size, 256 * kMiB);
}

}  // namespace

extern const Format kAsf = {"wmv", "asf wma", 24,          "video",   "\x30",
                            1,     false,     IdentifyAsf, MeasureAsf};

}  // namespace velmora::formats
