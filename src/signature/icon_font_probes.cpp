#include <algorithm>
#include <vector>

#include "signature/byte_search.h"
#include "signature/structured_probes.h"
#include "storage/byte_view.h"

namespace velmora::probe {

namespace {

constexpr size_t kIconHeaderBytes = 6;
constexpr size_t kIconEntryBytes = 16;
constexpr size_t kIconDirectoryRead = 65536;
constexpr size_t kFontHeaderBytes = 12;
constexpr size_t kFontEntryBytes = 16;

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

}  // namespace

int Icon(CarveContext&, const uint8_t* buffer, size_t length) {
  if (length < 16 || !bytes::At(buffer, length, 0, {"\x00\x00\x01\x00", 4})) {
    return kNoSignatureType;
  }
  return IconImagesEnd(buffer, length) != 0 ? 46 : kNoSignatureType;
}

uint64_t IconLength(CarveContext& context, const uint8_t* buffer, size_t length) {
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

int TrueTypeFont(CarveContext&, const uint8_t* buffer, size_t length) {
  if (length < 16 || !bytes::At(buffer, length, 0, {"\x00\x01\x00\x00", 4})) {
    return kNoSignatureType;
  }
  const ByteView font({buffer, length});
  const size_t tables = font.Be16(4).value_or(0);
  if (tables == 0 || font.Le16(6) == 0 || font.Le16(8) == 0 || font.Le16(10) == 0) {
    return kNoSignatureType;
  }
  if (16 + kFontEntryBytes * tables > length) return kNoSignatureType;
  return bytes::At(buffer, length, kFontHeaderBytes + kFontEntryBytes * tables,
                   {"\x00\x01\x00\x00", 4})
             ? 45
             : kNoSignatureType;
}

uint64_t TrueTypeFontLength(CarveContext&, const uint8_t* buffer, size_t length) {
  if (length < kFontHeaderBytes) return 0;
  const ByteView font({buffer, length});
  const size_t tables = font.Be16(4).value_or(0);
  uint64_t end = 0;
  for (size_t i = 0; i < tables; ++i) {
    const size_t at = kFontHeaderBytes + i * kFontEntryBytes;
    if (at + kFontEntryBytes > length) break;
    end = std::max<uint64_t>(
        end, uint64_t{font.Be32(at + 8).value_or(0)} + font.Be32(at + 12).value_or(0));
  }
  return end;
}

}  // namespace velmora::probe
