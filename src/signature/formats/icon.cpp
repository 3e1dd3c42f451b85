#include <algorithm>
#include <vector>

#include "signature/byte_search.h"
#include "signature/formats/format.h"
#include "storage/byte_view.h"

namespace velmora::formats {

namespace {

constexpr size_t kIconHeaderBytes = 6;
constexpr size_t kIconEntryBytes = 16;
constexpr size_t kIconDirectoryRead = 65536;

// Images must follow the directory back to back; returns the end of the last one, 0 when not.
uint64_t IconImagesEnd(const uint8_t* data, size_t length) {
  const ByteView icon({data, length});
  const size_t count = icon.Le16(4).value_or(0);
  const size_t directory_end = kIconHeaderBytes + kIconEntryBytes * count;
  if (count == 0 || directory_end > length) return 0;
  uint64_t running = directory_end;
  for (size_t i = 0; i < count; ++i) {
    const ByteView entry = icon.Sub(kIconHeaderBytes + i * kIconEntryBytes, kIconEntryBytes);
    if (entry.U8(3) != 0 || entry.Le32(12) != running) return 0;
    running += entry.Le32(8).value_or(0);
  }
  return running;
}

int IdentifyIcon(CarveContext&, const uint8_t* buffer, size_t length) {
  if (length < 16 || !bytes::At(buffer, length, 0, {"\x00\x00\x01\x00", 4})) {
    return kNoSignatureType;
  }
  return IconImagesEnd(buffer, length) != 0 ? 46 : kNoSignatureType;
}

uint64_t MeasureIcon(CarveContext& context, const uint8_t* buffer, size_t length) {
  const uint64_t one_sector = static_cast<uint64_t>(context.sector_size);
  if (length < 16) return one_sector;
  const size_t directory_end =
      kIconHeaderBytes + kIconEntryBytes * ByteView({buffer, length}).Le16(4).value_or(0);
  if (directory_end <= length) return IconImagesEnd(buffer, length);
  std::vector<uint8_t> directory(kIconDirectoryRead);
  if (!context.ReadFileBytes(0, directory.size(), directory.data())) return one_sector;
  const uint64_t end = IconImagesEnd(directory.data(), directory.size());
  return end != 0 ? end : one_sector;
}

}  // namespace

extern const Format kIcon = {"ico", nullptr, 46,           "photo",    "\0",
                             1,     false,   IdentifyIcon, MeasureIcon};

}  // namespace velmora::formats
