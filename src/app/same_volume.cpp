#include "app/same_volume.h"

#include <sys/stat.h>

#include "engine/recovery_output.h"
#include "storage/platform_disks.h"

namespace velmora::app {

namespace {

bool Overlap(uint64_t a_start, uint64_t a_length, uint64_t b_start, uint64_t b_length) {
  // A length of 0 runs to the end.
  const bool a_before_b = a_length != 0 && a_start + a_length <= b_start;
  const bool b_before_a = b_length != 0 && b_start + b_length <= a_start;
  return !a_before_b && !b_before_a;
}

bool FileOverlaps(const std::vector<platform::FileExtent>& files,
                  const platform::FileExtent& file) {
  for (const platform::FileExtent& other : files) {
    if (other.device == file.device && other.inode == file.inode &&
        Overlap(other.offset, other.length, file.offset, file.length)) {
      return true;
    }
  }
  return false;
}

bool DiskOverlaps(const std::vector<platform::DiskExtent>& disks,
                  const platform::DiskExtent& disk) {
  for (const platform::DiskExtent& other : disks) {
    if (other.disk == disk.disk &&
        Overlap(other.start_512, other.count_512, disk.start_512, disk.count_512)) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool DestinationOnSource(const ScanSource& source, const std::string& destination) {
  // A destination still to be made lands on the file system of its nearest existing folder.
  std::string existing = destination.empty() ? std::string(".") : destination;
  struct stat st {};
  while (::stat(existing.c_str(), &st) != 0 && existing != "/" && existing != ".") {
    existing = ParentFolderOf(existing);
  }
  const platform::StorageBeneath beneath = platform::StorageBeneathPath(existing);
  const std::string& path = source.IsImage() ? source.image_path : source.entry->disk_path;
  struct stat src {};
  if (::stat(path.c_str(), &src) != 0) return false;
  // The source's bytes within its device or file.
  uint64_t start = 0;
  uint64_t length = 0;  // 0: all of it
  if (!source.IsImage()) {
    const uint64_t sector_size = source.entry->sector_size != 0 ? source.entry->sector_size : 512;
    start = source.entry->start * sector_size;
    length = source.entry->length * sector_size;
  }
  if (S_ISREG(src.st_mode)) {
    return FileOverlaps(beneath.files, {src.st_dev, src.st_ino, start, length});
  }
  if (!S_ISBLK(src.st_mode)) return false;
  platform::DiskExtent device;
  if (!platform::WholeDiskExtentOf(path, &device)) return false;
  platform::DiskExtent region = device;
  region.start_512 = device.start_512 + start / 512;
  region.count_512 = length != 0 ? length / 512 : device.count_512;
  if (DiskOverlaps(beneath.disks, region)) return true;
  // A loop device's bytes are its backing file's: a file system made of that file (mounted
  // from it directly) is the same volume.
  platform::FileExtent backing;
  if (platform::LoopBackingOf(device.disk, &backing)) {
    platform::FileExtent bytes{backing.device, backing.inode,
                               backing.offset + region.start_512 * 512, region.count_512 * 512};
    if (FileOverlaps(beneath.files, bytes)) return true;
  }
  return false;
}

}  // namespace velmora::app
