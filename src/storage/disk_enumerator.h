#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "storage/partition_entry.h"
#include "storage/partition_table.h"

namespace velmora {

// One whole disk as the enumeration found it.
struct DiskDescription {
  int number = -1;          // physical drive number
  std::string name;         // "sdb"
  std::string device_path;  // "/dev/sdb"
  std::string model;
  std::string backing_file;  // loop devices
  std::string bus;           // "usb", "sd", "nvme", "virtual", ... or ""
  uint64_t size_bytes = 0;
  uint64_t sectors = 0;  // in the logical sector size
  uint32_t sector_size = 512;
  uint64_t sectors_per_cylinder = 0;
  bool removable = false;
  PartitionScheme scheme = PartitionScheme::kNone;
  std::vector<std::string> table_warnings;  // damage noticed in the partition table
  // False when this user may not read the device: its table and volumes are then unknown,
  // not absent.
  bool readable = true;
};

// Every scannable region of every disk: volumes, unallocated gaps wider than one
// cylinder, and whole disks that hold nothing recognised. One refresh, then read.
class DiskEnumerator {
 public:
  // Clears and enumerates again. False, with nothing listed, when the block-device
  // list of the system cannot be read.
  bool Refresh();

  // Disk by disk in ascending number, within a disk by start sector; false at the end.
  bool Next(PartitionEntry* entry);
  void CopyAll(std::vector<PartitionEntry>* list) const;
  // Appends the entries of `old_list` that have no entry with the same disk and start now
  // (the same disk: the same device node when the entry names one, else the same number).
  void Vanished(const std::vector<PartitionEntry>& old_list,
                std::vector<PartitionEntry>* out) const;

  // Bytes per sector of the disk examined last (512 before any).
  uint32_t SectorSize() const { return sector_size_; }
  const std::map<int, std::vector<PartitionEntry>>& Entries() const { return entries_; }
  const std::map<int, DiskDescription>& Disks() const { return disks_; }

 private:
  uint32_t sector_size_ = 512;
  std::map<int, std::vector<PartitionEntry>> entries_;
  std::map<int, DiskDescription> disks_;
  int cursor_disk_ = 0;
  size_t cursor_index_ = 0;
};

// Sectors per cylinder assumed when a driver reports no geometry (255 heads x 63).
constexpr uint64_t kDefaultSectorsPerCylinder = 16065;

// Sorts the volumes of one disk and adds the unallocated gaps: a gap from sector 63
// (or the end of the previous volume) is listed only when it is wider than one
// cylinder. A disk without volumes becomes a single whole-disk entry.
std::vector<PartitionEntry> LayOutDisk(int disk_number, uint64_t disk_sectors, uint32_t sector_size,
                                       uint64_t sectors_per_cylinder, bool removable,
                                       std::vector<PartitionEntry> volumes);

// Gives every entry its 1-based position in the whole list, disk by disk.
void NumberEntries(std::map<int, std::vector<PartitionEntry>>* entries);

// "usb", "sd", "nvme", "virtio", "ata", "scsi", "virtual" from a /sys/devices path; "" otherwise.
std::string BusOfDevicePath(const std::string& sysfs_device);
bool IsRemovableBus(const std::string& bus);

// File-system name shown to the user and the partition type byte it implies
// (0 when the name implies none): ntfs -> NTFS/7, vfat FAT32 -> FAT32/11, other FAT -> 6.
std::string FileSystemDisplayName(const std::string& blkid_type, const std::string& version);
uint8_t PartitionTypeForFileSystem(const std::string& display_name);

// True when disk `number` carries the removable flag or sits on a USB or SD bus.
bool IsRemovableDisk(int disk_number);
// Byte length of disk `number`; 0 when there is no such disk.
uint64_t DiskLength(int disk_number);

}  // namespace velmora
