#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What Linux tells about block devices: /sys/block, libblkid, the mount table, statvfs.
// Only reads; nothing here opens a device for writing.
namespace velmora::platform {

struct BlockPartitionInfo {
  std::string name;         // "sdb1", "nvme0n1p2", "loop3p1"
  std::string device_path;  // "/dev/sdb1"
  std::string device_id;    // "major:minor"
  int number = -1;          // partition number the kernel gave it
  uint64_t start_512 = 0;   // sysfs counts in 512-byte units whatever the sector size
  uint64_t count_512 = 0;
};

struct BlockDiskInfo {
  std::string name;          // "sdb"
  std::string device_path;   // "/dev/sdb"
  std::string device_id;     // "major:minor"
  std::string sysfs_device;  // resolved /sys/devices/... path (tells the bus)
  uint64_t size_bytes = 0;
  uint32_t logical_sector_size = 512;
  uint32_t physical_sector_size = 512;
  bool removable_flag = false;
  bool read_only = false;
  std::string model;
  std::string backing_file;  // loop devices only
  uint32_t heads = 0;        // geometry when the driver reports one, else 0
  uint32_t sectors_per_track = 0;
  std::vector<BlockPartitionInfo> partitions;  // by kernel partition number
};

// Whole disks in physical-drive order (index = drive number). A disk whose sysfs
// entry vanishes while it is read is left out.
// `read_geometry` false skips opening the devices (for frequent change polling).
std::vector<BlockDiskInfo> ListWholeDisks(bool read_geometry = true);
// False when /sys/block cannot be read at all.
bool BlockDeviceListAvailable();

struct FileSystemProbe {
  bool found = false;
  std::string type;     // blkid TYPE: "ntfs", "vfat", "ext4", ...
  std::string version;  // blkid VERSION: "FAT32", "1.0", ...
  std::string label;
  std::string uuid;
};

// Looks for a file system in [offset, offset + length) of a device or image.
FileSystemProbe ProbeFileSystem(const std::string& path, uint64_t offset, uint64_t length,
                                uint32_t sector_size);

struct MountPoint {
  std::string device_id;    // "major:minor" as the mount table gives it
  std::string source;       // mount source, "/dev/sdb1"
  std::string mount_point;  // unescaped
  std::string fs_type;
};

std::vector<MountPoint> ReadMountTable();
// Parses the text of /proc/self/mountinfo (octal escapes such as \040 undone).
std::vector<MountPoint> ParseMountInfo(const std::string& text);

struct SpaceInfo {
  uint64_t total = 0;
  uint64_t free = 0;       // free for the superuser
  uint64_t available = 0;  // free for an ordinary user
};
int QueryFileSystemSpace(const std::string& path, SpaceInfo* space);

// Identity of the file system that holds `path` and of the file itself.
struct FileIdentity {
  uint64_t fs_device = 0;  // st_dev
  uint64_t inode = 0;
  uint64_t raw_device = 0;  // st_rdev for device nodes
  bool is_block_device = false;
  bool is_directory = false;
  bool exists = false;
  // What a node that is neither a file, a folder nor a block device is ("a pipe",
  // "a character device", "a socket"); "" for those three.
  const char* special_kind = "";
};
FileIdentity IdentifyFile(const std::string& path);
// Bytes a file occupies on its file system (blocks, not length); 0 when unknown.
uint64_t FileAllocatedBytes(const std::string& path);
// Whole-disk names beneath the file system that holds `path`: a partition leads to
// its disk, device-mapper and md devices to their member disks, a loop device to the
// disks holding its backing file.
std::vector<std::string> DisksBeneathPath(const std::string& path);
// Whole-disk names beneath a block device ("/dev/sdb1" -> {"sdb"}); empty when not a device.
// A loop device counts as its own disk here: its data is the backing file, which other
// files on the same file system do not overwrite.
std::vector<std::string> DisksBeneathDevice(const std::string& device_path);

// A stretch of a whole disk that a file system's data lives on.
struct DiskExtent {
  std::string disk;        // whole-disk name, "sdb"
  uint64_t start_512 = 0;  // in 512-byte units, as sysfs counts
  uint64_t count_512 = 0;
};
// A stretch of a regular file (an image) that a file system's data lives in.
struct FileExtent {
  uint64_t device = 0;  // the file's st_dev and st_ino
  uint64_t inode = 0;
  uint64_t offset = 0;
  uint64_t length = 0;  // 0: to the end of the file
};
// Everything a write into a file system can land on: the block devices beneath it (each
// level, as a stretch of its whole disk and as the device itself) and the image files
// that hold it.
struct StorageBeneath {
  std::vector<DiskExtent> disks;
  std::vector<FileExtent> files;
};
// What lies beneath the file system that holds `path`: its partition (or whole disk),
// device-mapper and md members, a loop device's backing file (with its offset and size
// limit) and the extents beneath that file's file system, and for a file system without
// a block device of its own (FUSE, btrfs) the mount source the mount table names.
StorageBeneath StorageBeneathPath(const std::string& path);
// StorageBeneathPath(path).disks.
std::vector<DiskExtent> DiskExtentsBeneathPath(const std::string& path);
// The block device `device_path` as a stretch of its whole disk (a partition's
// start within it); false when it is no block device sysfs knows.
bool WholeDiskExtentOf(const std::string& device_path, DiskExtent* extent);
// The backing file of loop device `name` ("loop3") as a file stretch; false when
// it is no loop device or has no backing file.
bool LoopBackingOf(const std::string& name, FileExtent* file);

// "major:minor" of a device number, as sysfs and the mount table write it.
std::string DeviceIdText(uint64_t device);

}  // namespace velmora::platform
