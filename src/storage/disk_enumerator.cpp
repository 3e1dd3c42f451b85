#include "storage/disk_enumerator.h"

#include <algorithm>
#include <cctype>

#include "storage/error_codes.h"
#include "storage/platform_device.h"
#include "storage/platform_disks.h"

namespace velmora {

namespace {

constexpr uint64_t kFirstUsableSector = 63;

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

PartitionTable ReadDiskTable(const std::string& device_path, uint64_t size_bytes,
                             uint32_t sector_size, bool* readable) {
  platform::FileHandle handle = platform::kInvalidHandle;
  const int err = platform::OpenSourceReadOnly(device_path, &handle);
  *readable = err != kErrAccessDenied;
  if (err != kSuccess) return {};
  const ByteReader read = [handle](uint64_t offset, void* buffer, size_t length) {
    size_t got = 0;
    return platform::ReadAt(handle, buffer, length, offset, &got) == kSuccess && got == length;
  };
  PartitionTable table = ReadPartitionTable(read, size_bytes, sector_size);
  platform::CloseHandle(&handle);
  return table;
}

const platform::MountPoint* FindMount(const std::vector<platform::MountPoint>& mounts,
                                      const std::string& device_id,
                                      const std::string& device_path) {
  for (const auto& mount : mounts) {
    if ((!device_id.empty() && mount.device_id == device_id) ||
        (!device_path.empty() && mount.source == device_path)) {
      return &mount;
    }
  }
  return nullptr;
}

// Fills name, label, type, mount point and sizes of a volume at [start, start + length).
void DescribeVolume(const DiskDescription& disk, const std::string& device_id,
                    const std::vector<platform::MountPoint>& mounts, PartitionEntry* entry) {
  const uint64_t offset = entry->start * disk.sector_size;
  const uint64_t bytes = entry->length * disk.sector_size;
  const platform::FileSystemProbe probe =
      platform::ProbeFileSystem(disk.device_path, offset, bytes, disk.sector_size);
  if (probe.found) {
    entry->file_system_name = FileSystemDisplayName(probe.type, probe.version);
    entry->volume_label = probe.label;
    const uint8_t implied = PartitionTypeForFileSystem(entry->file_system_name);
    if (implied != 0) entry->type = implied;
  }
  entry->total = bytes;
  entry->free = 0;
  if (const platform::MountPoint* mount = FindMount(mounts, device_id, entry->volume_path)) {
    entry->mount_point = mount->mount_point;
    if (entry->file_system_name.empty()) entry->file_system_name = mount->fs_type;
    platform::SpaceInfo space;
    if (platform::QueryFileSystemSpace(mount->mount_point, &space) == kSuccess && space.total) {
      entry->total = space.total;
      entry->free = space.free;
    }
  }
  entry->used = entry->total - std::min(entry->free, entry->total);
}

PartitionEntry VolumeEntry(const DiskDescription& disk, uint64_t start, uint64_t length) {
  PartitionEntry entry;
  entry.kind = RegionKind::kVolume;
  entry.disk = disk.number;
  entry.start = start;
  entry.length = length;
  entry.sector_size = disk.sector_size;
  entry.removable = disk.removable;
  entry.disk_path = disk.device_path;
  return entry;
}

std::vector<PartitionEntry> FindVolumes(const platform::BlockDiskInfo& info,
                                        const DiskDescription& disk, const PartitionTable& table,
                                        const std::vector<platform::MountPoint>& mounts) {
  std::vector<PartitionEntry> volumes;
  const uint64_t units_per_sector = disk.sector_size / 512;
  auto table_entry = [&table](uint64_t start) -> const TablePartition* {
    for (const auto& p : table.partitions) {
      if (p.start_sector == start) return &p;
    }
    return nullptr;
  };
  // The kernel's partitions first: they carry device nodes and mount points.
  for (const auto& part : info.partitions) {
    const uint64_t start = part.start_512 / units_per_sector;
    const uint64_t length = part.count_512 / units_per_sector;
    if (std::find(table.container_starts.begin(), table.container_starts.end(), start) !=
        table.container_starts.end()) {
      continue;  // an extended container, not a volume
    }
    if (length == 0) continue;
    PartitionEntry entry = VolumeEntry(disk, start, length);
    entry.partition = part.number;
    entry.volume_path = part.device_path;
    if (const TablePartition* p = table_entry(start)) entry.type = p->mbr_type;
    DescribeVolume(disk, part.device_id, mounts, &entry);
    volumes.push_back(std::move(entry));
  }
  // A table the kernel did not read (no support built in, or no rescan yet).
  if (volumes.empty()) {
    for (const auto& p : table.partitions) {
      // Table sectors may differ from the device's logical sectors only for GPT probes.
      if (table.sector_size != disk.sector_size) continue;
      PartitionEntry entry = VolumeEntry(disk, p.start_sector, p.sector_count);
      entry.partition = static_cast<int32_t>(p.slot);
      entry.type = p.mbr_type;
      DescribeVolume(disk, "", mounts, &entry);
      volumes.push_back(std::move(entry));
    }
  }
  // No table at all: a file system may sit on the whole disk (superfloppy, virtual disk).
  if (volumes.empty() && table.scheme == PartitionScheme::kNone && disk.sectors != 0) {
    PartitionEntry entry = VolumeEntry(disk, 0, disk.sectors);
    entry.volume_path = disk.device_path;
    DescribeVolume(disk, info.device_id, mounts, &entry);
    if (!entry.file_system_name.empty()) volumes.push_back(std::move(entry));
  }
  return volumes;
}

}  // namespace

const char* RegionKindName(RegionKind kind) {
  switch (kind) {
    case RegionKind::kVolume: return "volume";
    case RegionKind::kUnallocated: return "unallocated";
    case RegionKind::kWholeDisk: return "disk";
  }
  return "volume";
}

std::string BusOfDevicePath(const std::string& sysfs_device) {
  const std::string path = sysfs_device + "/";
  if (path.find("/usb") != std::string::npos) return "usb";
  if (path.find("/mmc_host/") != std::string::npos || path.find("/mmc") != std::string::npos) {
    return "sd";
  }
  if (path.find("/virtual/") != std::string::npos) return "virtual";
  if (path.find("/nvme") != std::string::npos) return "nvme";
  if (path.find("/virtio") != std::string::npos) return "virtio";
  if (path.find("/ata") != std::string::npos) return "ata";
  if (path.find("/host") != std::string::npos) return "scsi";
  return "";
}

bool IsRemovableBus(const std::string& bus) { return bus == "usb" || bus == "sd"; }

std::string FileSystemDisplayName(const std::string& blkid_type, const std::string& version) {
  const std::string type = Lower(blkid_type);
  if (type == "ntfs") return "NTFS";
  if (type == "exfat") return "exFAT";
  if (type == "vfat" || type == "msdos") {
    if (version == "FAT32" || version == "FAT16" || version == "FAT12") return version;
    return "FAT";
  }
  return blkid_type;
}

uint8_t PartitionTypeForFileSystem(const std::string& display_name) {
  const std::string name = Lower(display_name);
  if (name == "ntfs") return 7;
  if (name == "fat32") return 11;
  if (name == "fat" || name == "fat16" || name == "fat12") return 6;
  return 0;
}

std::vector<PartitionEntry> LayOutDisk(int disk_number, uint64_t disk_sectors, uint32_t sector_size,
                                       uint64_t sectors_per_cylinder, bool removable,
                                       std::vector<PartitionEntry> volumes) {
  auto by_start = [](const PartitionEntry& a, const PartitionEntry& b) {
    return a.start < b.start;
  };
  std::stable_sort(volumes.begin(), volumes.end(), by_start);
  auto blank = [&](RegionKind kind, uint64_t start, uint64_t length) {
    PartitionEntry entry;
    entry.kind = kind;
    entry.disk = disk_number;
    entry.start = start;
    entry.length = length;
    entry.sector_size = sector_size;
    entry.total = entry.free = length * sector_size;
    entry.removable = removable;
    return entry;
  };
  if (volumes.empty()) {
    if (disk_sectors == 0) return {};
    return {blank(RegionKind::kWholeDisk, 0, disk_sectors)};
  }
  std::vector<PartitionEntry> gaps;
  uint64_t cursor = kFirstUsableSector;
  for (const auto& volume : volumes) {
    // Only forward gaps: a volume before sector 63 or inside the previous one adds none.
    if (volume.start > cursor && volume.start - cursor > sectors_per_cylinder) {
      gaps.push_back(blank(RegionKind::kUnallocated, cursor, volume.start - cursor));
    }
    cursor = std::max(cursor, volume.start + volume.length);
  }
  if (disk_sectors > cursor && disk_sectors - cursor > sectors_per_cylinder) {
    gaps.push_back(blank(RegionKind::kUnallocated, cursor, disk_sectors - cursor));
  }
  volumes.insert(volumes.end(), gaps.begin(), gaps.end());
  std::stable_sort(volumes.begin(), volumes.end(), by_start);
  return volumes;
}

void NumberEntries(std::map<int, std::vector<PartitionEntry>>* entries) {
  uint32_t counter = 1;
  for (auto& [disk, list] : *entries) {
    for (auto& entry : list) entry.number = counter++;
  }
}

bool DiskEnumerator::Refresh() {
  entries_.clear();
  disks_.clear();
  cursor_disk_ = 0;
  cursor_index_ = 0;
  if (!platform::BlockDeviceListAvailable()) return false;

  const std::vector<platform::MountPoint> mounts = platform::ReadMountTable();
  const std::vector<platform::BlockDiskInfo> infos = platform::ListWholeDisks();
  for (size_t index = 0; index < infos.size(); ++index) {
    const platform::BlockDiskInfo& info = infos[index];
    if (info.size_bytes == 0) continue;  // no medium, or a detached loop device
    DiskDescription disk;
    disk.number = static_cast<int>(index);
    disk.name = info.name;
    disk.device_path = info.device_path;
    disk.model = info.model;
    disk.backing_file = info.backing_file;
    disk.bus = BusOfDevicePath(info.sysfs_device);
    disk.size_bytes = info.size_bytes;
    disk.sector_size = info.logical_sector_size;
    disk.sectors = info.size_bytes / info.logical_sector_size;
    disk.sectors_per_cylinder = info.heads && info.sectors_per_track
                                    ? uint64_t{info.heads} * info.sectors_per_track
                                    : kDefaultSectorsPerCylinder;
    disk.removable = info.removable_flag || IsRemovableBus(disk.bus);
    sector_size_ = disk.sector_size;

    const PartitionTable table =
        ReadDiskTable(disk.device_path, disk.size_bytes, disk.sector_size, &disk.readable);
    disk.scheme = table.scheme;
    disk.table_warnings = table.warnings;
    std::vector<PartitionEntry> volumes = FindVolumes(info, disk, table, mounts);
    entries_[disk.number] =
        LayOutDisk(disk.number, disk.sectors, disk.sector_size, disk.sectors_per_cylinder,
                   disk.removable, std::move(volumes));
    for (auto& entry : entries_[disk.number]) entry.disk_path = disk.device_path;
    disks_[disk.number] = std::move(disk);
  }
  NumberEntries(&entries_);
  return true;
}

bool DiskEnumerator::Next(PartitionEntry* entry) {
  for (auto it = entries_.lower_bound(cursor_disk_); it != entries_.end(); ++it) {
    if (it->first != cursor_disk_) {
      cursor_disk_ = it->first;
      cursor_index_ = 0;
    }
    if (cursor_index_ < it->second.size()) {
      *entry = it->second[cursor_index_++];
      return true;
    }
    cursor_disk_ = it->first + 1;
    cursor_index_ = 0;
  }
  return false;
}

void DiskEnumerator::CopyAll(std::vector<PartitionEntry>* list) const {
  list->clear();
  for (const auto& [disk, entries] : entries_)
    list->insert(list->end(), entries.begin(), entries.end());
}

void DiskEnumerator::Vanished(const std::vector<PartitionEntry>& old_list,
                              std::vector<PartitionEntry>* out) const {
  for (const auto& old_entry : old_list) {
    bool present = false;
    if (!old_entry.disk_path.empty()) {
      // Matched on the disk's device node: numbers of later disks shift when one leaves.
      for (const auto& [number, entries] : entries_) {
        present |= std::any_of(entries.begin(), entries.end(), [&](const PartitionEntry& e) {
          return e.disk_path == old_entry.disk_path && e.start == old_entry.start;
        });
      }
    } else if (auto it = entries_.find(old_entry.disk); it != entries_.end()) {
      present = std::any_of(it->second.begin(), it->second.end(),
                            [&](const PartitionEntry& e) { return e.start == old_entry.start; });
    }
    if (!present) out->push_back(old_entry);
  }
}

bool IsRemovableDisk(int disk_number) {
  const auto infos = platform::ListWholeDisks();
  if (disk_number < 0 || static_cast<size_t>(disk_number) >= infos.size()) return false;
  const auto& info = infos[static_cast<size_t>(disk_number)];
  return info.removable_flag || IsRemovableBus(BusOfDevicePath(info.sysfs_device));
}

uint64_t DiskLength(int disk_number) {
  const auto infos = platform::ListWholeDisks();
  if (disk_number < 0 || static_cast<size_t>(disk_number) >= infos.size()) return 0;
  return infos[static_cast<size_t>(disk_number)].size_bytes;
}

}  // namespace velmora
