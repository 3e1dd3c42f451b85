#include "signature/boundary.h"

#include "signature/byte_search.h"
#include "signature/forward_scan.h"
#include "signature/identify_walk.h"

namespace velmora {

bool IsBootSector(const uint8_t* sector, size_t length) {
  if (length < 11 || sector[0] != 0xEB || sector[2] != 0x90) return false;
  static constexpr const char* kOemNames[] = {"MSDOS5.0", "MSWIN4.0", "MSWIN4.1", "NTFS    ",
                                              "EXFAT   "};
  for (const char* name : kOemNames) {
    if (bytes::At(sector, length, 3, name)) return true;
  }
  return false;
}

int IsFileSystemStructure(const std::vector<StructureTest>& tests, const uint8_t* sector,
                          int32_t sector_size) {
  if (sector == nullptr || sector_size < 32) return 0;
  const size_t length = static_cast<size_t>(sector_size);
  if (IsBootSector(sector, length)) return 1;
  for (StructureTest test : tests) {
    if (test(sector, length)) return 1;
  }
  return 0;
}

int IsFileSystemStructure(const CarveContext& context, const uint8_t* sector, int32_t sector_size) {
  return IsFileSystemStructure(context.structure_tests, sector, sector_size);
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
    if (new_file || IsFileSystemStructure(context, sector, context.sector_size)) {
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
