#include "fat/quick_fat_recovery.h"

#include <algorithm>
#include <vector>

#include "storage/error_codes.h"

namespace velmora {

namespace {

// The volume holds no FAT file system the engine can read.
constexpr int kErrUnrecognizedVolume = 1005;
constexpr size_t kBootAreaBytes = 4096;
constexpr uint64_t kBackupBootSector = 6;

}  // namespace

int CFastFatRecovery::OpenImage(const std::string& image_path, char16_t drive_tag) {
  if (open_) return kSuccess;
  const int err = OpenImageFile(&reader_, image_path);
  if (err != kSuccess) return err;
  volume_.Bind(&reader_, 0, reader_.total_sectors);
  return OpenBound(drive_tag);
}

int CFastFatRecovery::OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                                    char16_t drive_letter) {
  if (open_) return kSuccess;
  const int err = OpenPhysicalDrive(&reader_, disk_number);
  if (err != kSuccess) return err;
  if (start_sector > reader_.total_sectors) return kErrInvalidParameter;
  volume_.Bind(&reader_, start_sector,
               std::min(sector_count, reader_.total_sectors - start_sector));
  return OpenBound(drive_letter);
}

int CFastFatRecovery::OpenBound(char16_t drive_tag) {
  const size_t unit = static_cast<size_t>(reader_.device_sector_size);
  size_t boot_bytes = static_cast<size_t>(std::min<uint64_t>(kBootAreaBytes, volume_.ByteLength()));
  boot_bytes -= boot_bytes % unit;
  if (boot_bytes < 512) return kErrInvalidParameter;
  std::vector<uint8_t> boot(boot_bytes);
  int err = volume_.ReadBytes(0, boot.size(), boot.data());
  // Only the boot sector itself is needed: a fault in the sectors after it does not count.
  if (err != kSuccess)
    err = volume_.ReadBytes(0, boot_bytes = std::max<size_t>(512, unit), boot.data());
  bool parsed = err == kSuccess && ParseFatBootSector(boot.data(), boot_bytes, &geometry_);
  if (!parsed) {
    // FAT32 keeps a copy of its boot sector in sector 6.
    const uint64_t backup = kBackupBootSector * 512;
    if (backup % unit == 0 &&
        volume_.ReadBytes(backup, 512 > unit ? 512 : unit, boot.data()) == kSuccess) {
      parsed =
          ParseFatBootSector(boot.data(), 512, &geometry_) && geometry_.type == FatType::kFat32;
    }
  }
  // An unreadable boot sector without a readable copy is a read fault, not a foreign volume.
  if (!parsed) return err != kSuccess ? err : kErrUnrecognizedVolume;
  if (geometry_.bytes_per_sector % unit != 0) return kErrUnrecognizedVolume;
  volume_.SetSectorSize(geometry_.bytes_per_sector);
  volume_.SetDeclaredBytes(geometry_.total_sectors * geometry_.bytes_per_sector);
  table_.Attach(&volume_, geometry_);
  drive_tag_ = drive_tag;
  open_ = true;
  return kSuccess;
}

RelationKey CFastFatRecovery::KeyFor(const ScanRecord* directory, int depth) const {
  if (directory == nullptr || directory->object_id == 0) {
    return RelationKey{geometry_.root_cluster, static_cast<uint32_t>(depth)};
  }
  return RelationKey{directory->object_id, static_cast<uint32_t>(depth)};
}

int CFastFatRecovery::LoadClusterBitmap() {
  if (!open_) return kErrInvalidParameter;
  return bitmap_.Build(&table_);
}

int CFastFatRecovery::GetNextFreeRange(uint64_t* position, uint64_t* length) {
  if (position == nullptr || length == nullptr) return 1;
  *length = 0;
  if (!open_) return 1;
  if (bitmap_.Empty()) bitmap_.Build(&table_);
  const uint64_t sectors = std::min<uint64_t>(volume_.SectorCount(), geometry_.total_sectors);
  bitmap_.NextFreeRange(geometry_, sectors, position, length);
  return 1;
}

bool CFastFatRecovery::EstimateOverwrite(const ScanRecord& record, OverwriteEstimate* out) {
  if (record.source_kind != kSourceFatQuick && record.source_kind != kSourceFatDeep) return false;
  if (record.is_directory || !open_) return false;
  // A deep record may come from an older volume of another layout.
  if (record.cluster_size != static_cast<int32_t>(geometry_.ClusterBytes()) ||
      record.data_area_start != geometry_.first_data_sector ||
      record.partition_start != volume_.StartSector()) {
    return false;
  }
  *out = OverwriteEstimate{};
  if (record.size == 0) return true;
  if (!geometry_.IsDataCluster(record.object_id)) return false;
  // A deleted file's chain is released, so its data is read as one run of clusters.
  const uint64_t wanted = (record.size + geometry_.ClusterBytes() - 1) / geometry_.ClusterBytes();
  for (uint64_t i = 0; i < wanted; ++i) {
    const uint64_t cluster = record.object_id + i;
    if (cluster > UINT32_MAX || !geometry_.IsDataCluster(static_cast<uint32_t>(cluster))) break;
    uint32_t value = 0;
    ++out->clusters;
    uint64_t sector = 0;
    if (geometry_.ClusterToSector(static_cast<uint32_t>(cluster), &sector) &&
        sector + geometry_.sectors_per_cluster > volume_.SectorCount()) {
      ++out->beyond_source;
      continue;
    }
    if (table_.Entry(static_cast<uint32_t>(cluster), &value) == kSuccess && !table_.IsFree(value)) {
      ++out->in_use;
    }
  }
  return true;
}

}  // namespace velmora
