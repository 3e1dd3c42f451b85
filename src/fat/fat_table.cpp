#include "fat/fat_table.h"

#include <algorithm>

#include "storage/error_codes.h"
#include "storage/sector_reader.h"

namespace velmora {

void FatTable::Attach(const FatVolume* volume, const FatGeometry& geometry) {
  volume_ = volume;
  geometry_ = geometry;
  switch (geometry.type) {
    case FatType::kFat12: end_marker_ = 0xFF8; break;
    case FatType::kFat16: end_marker_ = 0xFFF8; break;
    case FatType::kFat32: end_marker_ = 0x0FFFFFF8; break;
  }
  fat_bytes_ = static_cast<uint64_t>(geometry.sectors_per_fat) * geometry.bytes_per_sector;
  window_.clear();
  window_offset_ = 0;
  sectors_from_copy_ = 0;
}

int FatTable::LoadWindowAt(uint64_t byte_offset) {
  const uint32_t sector_size = geometry_.bytes_per_sector;
  const uint64_t first = byte_offset / sector_size;
  const uint64_t fat_sectors = geometry_.sectors_per_fat;
  const uint64_t volume_end = volume_->SectorCount();
  const uint64_t absolute = geometry_.FatStartSector() + first;
  if (first >= fat_sectors || absolute >= volume_end) return kErrReadFault;
  // The window stops at the end of the FAT and at the end of the volume.
  uint64_t count = std::min<uint64_t>(kWindowBytes / sector_size, fat_sectors - first);
  count = std::min<uint64_t>(count, volume_end - absolute);
  window_.assign(count * sector_size, 0);
  // Zeros read in place of a failing sector would pass for free clusters and ends of
  // chains: this scope keeps such sectors failed (and out of any file being copied).
  UnreadableSalvage faults;
  uint32_t got = 0;
  int result = volume_->Read(absolute, static_cast<uint32_t>(count), window_.data(), &got);
  if (result != kSuccess || faults.Bytes() != 0) {
    // Sector by sector: what this copy cannot give comes from the next copy of the table;
    // the window ends at the first sector no copy can give.
    const auto read_one = [&](uint64_t at, uint8_t* into) {
      const uint64_t before = faults.Bytes();
      return at < volume_end && volume_->Read(at, 1, into, nullptr) == kSuccess &&
             faults.Bytes() == before;
    };
    if (result == kSuccess) result = kErrReadFault;
    for (got = 0; got < count; ++got) {
      uint8_t* sector = window_.data() + static_cast<size_t>(got) * sector_size;
      bool read = read_one(absolute + got, sector);
      for (uint32_t copy = 1; !read && copy < geometry_.fat_count; ++copy) {
        read = read_one(absolute + got + copy * fat_sectors, sector);
        if (read) ++sectors_from_copy_;
      }
      if (!read) break;
    }
  }
  if (got == count) result = kSuccess;
  if (got == 0) {
    window_.clear();
    return result != kSuccess ? result : kErrReadFault;
  }
  window_.resize(static_cast<size_t>(got) * sector_size);
  window_offset_ = first * sector_size;
  return kSuccess;
}

int FatTable::EntryAnyWay(uint32_t cluster, uint32_t* value) {
  if (volume_ == nullptr) return kErrInvalidParameter;
  uint64_t offset = 0;
  uint32_t width = 0;
  if (!Place(cluster, &offset, &width)) return kErrInvalidParameter;
  const bool inside = !window_.empty() && offset >= window_offset_ &&
                      offset + width <= window_offset_ + window_.size();
  if (!inside) {
    const int result = LoadWindowAt(offset);
    if (result != kSuccess) return result;
    // The window starts at the entry; only a volume cut short can still miss its last byte.
    if (offset + width > window_offset_ + window_.size()) return kErrReadFault;
  }
  *value = Decode(cluster, ByteView(window_).Sub(offset - window_offset_, width));
  return kSuccess;
}

}  // namespace velmora
