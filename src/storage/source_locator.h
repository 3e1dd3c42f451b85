#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/partition_table.h"

namespace velmora {

// What a source text names, in the terms the engine factory takes.
struct LocatedSource {
  enum class Kind {
    kImage,       // open `image_path` with CreateEngineForImage
    kDiskRegion,  // open with CreateEngineForPartition(disk_number, start_sector, sector_count)
  };
  Kind kind = Kind::kImage;
  std::string image_path;
  int disk_number = -1;
  uint64_t start_sector = 0;  // in `sector_size` units of the opened drive
  uint64_t sector_count = 0;
  uint32_t sector_size = 512;
  // The file or device that holds the bytes ("/dev/sdb", "disk.img").
  std::string device_path;
  // Position of the region in `velmora disks` (1-based), 0 when it has none there.
  uint32_t list_number = 0;
  std::string description;  // "partition 2 of disk.img (sectors 2048-4095)"

  uint64_t ByteLength() const { return sector_count * sector_size; }
};

// Turns what a user typed into a source:
//   /dev/sdb, /dev/sdb1      a disk or partition of the disk list (other block devices: as images)
//   disk.img                 an image file
//   disk.img@K, /dev/sdb@K   the K-th partition (1-based, by start) of an image or disk
//   disk:N, disk:N:K         disk N of `velmora disks`, or its K-th entry (gaps included)
//   disk:N@K                 the K-th partition of disk N, as `velmora info disk:N` lists them
// An image partition is reached as a numbered physical drive (numbers from 1000 up, the
// same for the same image in every run);
// the locator owns those registrations and drops them when destroyed, so keep it
// alive while an engine reads the source.
class SourceLocator {
 public:
  SourceLocator() = default;
  ~SourceLocator();
  SourceLocator(const SourceLocator&) = delete;
  SourceLocator& operator=(const SourceLocator&) = delete;

  // 0 on success; otherwise an error code and a message fit to show as it stands.
  int Locate(const std::string& text, LocatedSource* out, std::string* error);

 private:
  int LocateDisk(const std::string& text, LocatedSource* out, std::string* error);
  int LocateBlockDevice(const std::string& path, LocatedSource* out, std::string* error);
  int LocateImagePartition(const std::string& path, const std::string& index_text,
                           LocatedSource* out, std::string* error);

  std::vector<int> registered_drives_;
};

// First drive number given to image partitions.
constexpr int kFirstImageDriveNumber = 1000;

// Reads the partition table of an image file or device (sector size found by probing).
int ReadSourcePartitionTable(const std::string& path, PartitionTable* table, uint64_t* bytes);

}  // namespace velmora
