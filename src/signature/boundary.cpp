#include "signature/boundary.h"

#include "fat/fat_entry_checks.h"
#include "signature/byte_search.h"
#include "signature/forward_scan.h"
#include "signature/identify_walk.h"

namespace velmora {

namespace {

bool IsBootSector(const uint8_t* sector, size_t length) {
  if (length < 11 || sector[0] != 0xEB || sector[2] != 0x90) return false;
  static constexpr const char* kOemNames[] = {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "NTFS    ",
                                              "EXFAT   "};
  for (const char* name : kOemNames) {
    if (bytes::At(sector, length, 3, name)) return true;
  }
  return false;
}

}  // namespace

int IsFileSystemStructure(const uint8_t* sector, int32_t sector_size) {
  if (sector == nullptr || sector_size < 32) return 0;
  const size_t length = static_cast<size_t>(sector_size);
  if (bytes::At(sector, length, 0, "FILE") || bytes::At(sector, length, 0, "INDX")) return 1;
  if (bytes::At(sector, length, 0, "RSTR") &&
      bytes::Find(sector, length, {"N\0T\0F\0S\0", 8}) != bytes::kNotFound) {
    return 1;
  }
  if (bytes::At(sector, length, 0, {"$\0S\0T\0A\0", 8})) return 1;
  if (IsBootSector(sector, length)) return 1;
  // A directory's first sector begins with its "." and ".." pair, which the plain
  // directory-sector test does not accept; both kinds end a carved file.
  if (IsDirectoryStartSector(sector, length)) return 1;
  return IsDirectorySector(sector, length) ? 1 : 0;
}

int FindNextBoundary(CarveContext& context, size_t byte_count, const uint8_t* data,
                     uint64_t* length, BoundaryMode mode) {
  const size_t sector_size = static_cast<size_t>(context.sector_size);
  if (data == nullptr || sector_size == 0) return 0;
  const int ignored = mode == BoundaryMode::kIgnoreMpeg ? 15 : kNoSignatureType;
  const size_t sectors = byte_count / sector_size;
  for (size_t index = 0; index < sectors; ++index) {
    ++context.cursor;
    const uint8_t* sector = data + index * sector_size;
    const bool new_file = mode != BoundaryMode::kFileSystemOnly &&
                          IdentifyType(context, sector, sector_size, ignored) != kNoSignatureType;
    if (new_file || IsFileSystemStructure(sector, context.sector_size)) {
      if (length != nullptr) *length += static_cast<uint64_t>(index) * sector_size;
      return 1;
    }
  }
  return 0;
}

int FindNextBoundary(CarveContext& context, size_t byte_count, const uint8_t* data,
                     uint64_t* length) {
  return FindNextBoundary(context, byte_count, data, length, BoundaryMode::kEveryType);
}

}  // namespace velmora
