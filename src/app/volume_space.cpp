#include "app/volume_space.h"

#include <algorithm>
#include <vector>

#include "deep/boot_area.h"
#include "deep/boot_sector_classifier.h"
#include "deep/engine_factory.h"
#include "fat/fat_boot_geometry.h"
#include "storage/byte_source.h"
#include "storage/error_codes.h"
#include "storage/platform_device.h"
#include "storage/sector_reader.h"

namespace velmora::app {

bool FillVolumeLabel(PartitionEntry* entry) {
  if (entry->kind == RegionKind::kUnallocated) return false;
  const std::string path = platform::PhysicalDrivePath(entry->disk);
  std::shared_ptr<ByteSource> source;
  if (path.empty() || OpenByteSource(path, &source) != kSuccess) return false;
  const uint64_t unit = source->SectorSize();
  const uint64_t offset = entry->start * unit;
  const uint64_t length = entry->length * unit;
  std::vector<uint8_t> area(16384);
  size_t got = 0;
  if (length < area.size() || source->ReadAt(offset, area.data(), area.size(), &got) != kSuccess ||
      got != area.size()) {
    return false;
  }
  const BootSectorChoice boot = ChooseBootSector(*source, offset, length, area.data());
  if (boot.kind != FileSystemKind::kNtfs && boot.kind != FileSystemKind::kFat) return false;
  if (entry->volume_label.empty())
    entry->volume_label = ReadVolumeLabel(source, offset, length, boot);
  if (entry->file_system_name.empty()) {
    FatGeometry geometry;
    entry->file_system_name = boot.kind == FileSystemKind::kNtfs ? "NTFS"
                              : ParseFatBootSector(boot.sector, 512, &geometry)
                                  ? FatTypeName(geometry.type)
                                  : "FAT";
    if (boot.backup) entry->file_system_name += " (backup boot)";
  }
  // A disk that seemed to hold nothing holds a volume whose first sector is damaged.
  entry->kind = RegionKind::kVolume;
  return true;
}

bool CountVolumeFreeBytes(int disk_number, uint64_t start_sector, uint64_t sector_count,
                          uint64_t* free_bytes) {
  SectorReader reader;
  if (OpenPhysicalDrive(&reader, disk_number) != kSuccess) return false;
  const int unit = reader.device_sector_size;
  constexpr int kBootArea = 16384;  // what the classification examines
  if (unit <= 0 || kBootArea % unit != 0 || sector_count * unit < kBootArea) return false;
  std::vector<uint8_t> boot(kBootArea);
  uint32_t read = 0;
  if (ReadSectors(&reader, kBootArea / unit, boot.data(), start_sector, unit, &read) != kSuccess) {
    return false;
  }
  // The engines count free ranges in the volume's sectors (FAT) or the device's (NTFS).
  uint64_t range_unit = static_cast<uint64_t>(unit);
  switch (ClassifyBootArea(boot.data())) {
    case FileSystemKind::kFat: {
      FatGeometry geometry;
      if (!ParseFatBootSector(boot.data(), boot.size(), &geometry)) return false;
      range_unit = geometry.bytes_per_sector;
      break;
    }
    case FileSystemKind::kNtfs: break;
    default: return false;
  }
  reader.Close();
  auto engine = CreateEngineForPartition(
      disk_number, static_cast<uint32_t>(start_sector), static_cast<uint32_t>(start_sector >> 32),
      static_cast<uint32_t>(sector_count), static_cast<uint32_t>(sector_count >> 32), u'*', false);
  if (!engine || engine->LoadClusterBitmap() != kSuccess) return false;
  uint64_t position = 0;
  uint64_t free_units = 0;
  for (;;) {
    uint64_t length = 0;
    const uint64_t before = position;
    engine->GetNextFreeRange(&position, &length);
    if (length == 0) break;
    free_units += length;
    position += length;
    if (position <= before) break;  // a damaged bitmap must not loop forever
  }
  *free_bytes = free_units * range_unit;
  return true;
}

bool FillUnmountedFreeSpace(PartitionEntry* entry) {
  if (entry->kind != RegionKind::kVolume || !entry->mount_point.empty()) return false;
  uint64_t free = 0;
  if (!CountVolumeFreeBytes(entry->disk, entry->start, entry->length, &free)) return false;
  entry->free = std::min(free, entry->total);
  entry->used = entry->total - entry->free;
  return true;
}

}  // namespace velmora::app
