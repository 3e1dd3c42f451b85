#include "storage/platform_disks.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/hdreg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifdef VELMORA_HAVE_BLKID
#include <blkid/blkid.h>
#endif

#include "storage/error_codes.h"
#include "storage/platform_device.h"

namespace velmora::platform {

namespace {

const char kSysBlock[] = "/sys/block";

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string ReadFirstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (file) std::getline(file, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
  return line;
}

uint64_t ReadNumber(const std::string& path, uint64_t fallback = 0) {
  const std::string text = ReadFirstLine(path);
  if (text.empty()) return fallback;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
  return end == text.c_str() ? fallback : static_cast<uint64_t>(value);
}

std::vector<std::string> DirectoryNames(const std::string& path) {
  std::vector<std::string> names;
  if (DIR* dir = ::opendir(path.c_str())) {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (!name.empty() && name[0] != '.') names.push_back(name);
    }
    ::closedir(dir);
  }
  return names;
}

// Internal buses before removable ones, loop devices last, so that attaching a
// loop device never renumbers a real disk.
int KindRank(const std::string& name) {
  static const char* const kPrefixes[] = {"nvme", "sd", "hd", "vd", "xvd", "mmcblk", "loop"};
  int rank = 0;
  for (const char* prefix : kPrefixes) {
    if (StartsWith(name, prefix)) return rank;
    ++rank;
  }
  return rank;
}

// Natural order: digit runs by value, letter runs by length first (sdz before sdaa).
bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const bool digit_a = std::isdigit(static_cast<unsigned char>(a[i])) != 0;
    const bool digit_b = std::isdigit(static_cast<unsigned char>(b[j])) != 0;
    size_t end_a = i, end_b = j;
    while (end_a < a.size() && (std::isdigit(static_cast<unsigned char>(a[end_a])) != 0) == digit_a)
      ++end_a;
    while (end_b < b.size() && (std::isdigit(static_cast<unsigned char>(b[end_b])) != 0) == digit_b)
      ++end_b;
    std::string run_a = a.substr(i, end_a - i), run_b = b.substr(j, end_b - j);
    if (digit_a != digit_b) return digit_a;
    if (digit_a) {
      run_a.erase(0, std::min(run_a.find_first_not_of('0'), run_a.size() - 1));
      run_b.erase(0, std::min(run_b.find_first_not_of('0'), run_b.size() - 1));
    }
    if (run_a.size() != run_b.size()) return run_a.size() < run_b.size();
    if (run_a != run_b) return run_a < run_b;
    i = end_a;
    j = end_b;
  }
  return a.size() - i < b.size() - j;
}

bool IsWholeDiskName(const std::string& name) {
  if (StartsWith(name, "loop")) {
    return !ReadFirstLine(std::string(kSysBlock) + "/" + name + "/loop/backing_file").empty();
  }
  return StartsWith(name, "sd") || StartsWith(name, "nvme") || StartsWith(name, "mmcblk") ||
         StartsWith(name, "vd") || StartsWith(name, "xvd") || StartsWith(name, "hd");
}

void ReadGeometry(const std::string& device_path, BlockDiskInfo* disk) {
  const int fd = ::open(device_path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  hd_geometry geometry{};
  if (::ioctl(fd, HDIO_GETGEO, &geometry) == 0 && geometry.heads != 0 && geometry.sectors != 0) {
    disk->heads = geometry.heads;
    disk->sectors_per_track = geometry.sectors;
  }
  ::close(fd);
}

std::string Unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() &&
        std::isdigit(static_cast<unsigned char>(text[i + 1])) &&
        std::isdigit(static_cast<unsigned char>(text[i + 2])) &&
        std::isdigit(static_cast<unsigned char>(text[i + 3]))) {
      out.push_back(static_cast<char>(((text[i + 1] - '0') << 6) | ((text[i + 2] - '0') << 3) |
                                      (text[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> ListWholeDiskNames() {
  std::vector<std::string> names;
  for (auto& name : DirectoryNames(kSysBlock)) {
    if (IsWholeDiskName(name)) names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    const int rank_a = KindRank(a), rank_b = KindRank(b);
    if (rank_a != rank_b) return rank_a < rank_b;
    return NaturalLess(a, b);
  });
  return names;
}

bool BlockDeviceListAvailable() { return ::access(kSysBlock, R_OK | X_OK) == 0; }

std::vector<BlockDiskInfo> ListWholeDisks(bool read_geometry) {
  std::vector<BlockDiskInfo> disks;
  for (const auto& name : ListWholeDiskNames()) {
    const std::string sys = std::string(kSysBlock) + "/" + name;
    BlockDiskInfo disk;
    disk.name = name;
    disk.device_path = "/dev/" + name;
    disk.device_id = ReadFirstLine(sys + "/dev");
    if (disk.device_id.empty()) continue;  // vanished meanwhile
    char resolved[PATH_MAX];
    if (::realpath(sys.c_str(), resolved)) disk.sysfs_device = resolved;
    disk.logical_sector_size =
        static_cast<uint32_t>(ReadNumber(sys + "/queue/logical_block_size", 512));
    disk.physical_sector_size =
        static_cast<uint32_t>(ReadNumber(sys + "/queue/physical_block_size", 512));
    if (disk.logical_sector_size < 512) disk.logical_sector_size = 512;
    disk.size_bytes = ReadNumber(sys + "/size") * 512;
    disk.removable_flag = ReadNumber(sys + "/removable") != 0;
    disk.read_only = ReadNumber(sys + "/ro") != 0;
    disk.model = ReadFirstLine(sys + "/device/model");
    if (StartsWith(name, "loop")) disk.backing_file = ReadFirstLine(sys + "/loop/backing_file");
    for (const auto& child : DirectoryNames(sys)) {
      if (!StartsWith(child, name.c_str())) continue;
      const std::string part_sys = sys + "/" + child;
      if (ReadFirstLine(part_sys + "/partition").empty()) continue;
      BlockPartitionInfo part;
      part.name = child;
      part.device_path = "/dev/" + child;
      part.device_id = ReadFirstLine(part_sys + "/dev");
      part.number = static_cast<int>(ReadNumber(part_sys + "/partition"));
      part.start_512 = ReadNumber(part_sys + "/start");
      part.count_512 = ReadNumber(part_sys + "/size");
      disk.partitions.push_back(std::move(part));
    }
    std::sort(disk.partitions.begin(), disk.partitions.end(),
              [](const BlockPartitionInfo& a, const BlockPartitionInfo& b) {
                return a.number < b.number;
              });
    if (read_geometry) ReadGeometry(disk.device_path, &disk);
    disks.push_back(std::move(disk));
  }
  return disks;
}

FileSystemProbe ProbeFileSystem(const std::string& path, uint64_t offset, uint64_t length,
                                uint32_t sector_size) {
  FileSystemProbe probe;
#ifdef VELMORA_HAVE_BLKID
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return probe;
  blkid_probe pr = blkid_new_probe();
  if (pr && blkid_probe_set_device(pr, fd, static_cast<blkid_loff_t>(offset),
                                   static_cast<blkid_loff_t>(length)) == 0) {
    if (sector_size >= 512) blkid_probe_set_sectorsize(pr, sector_size);
    blkid_probe_enable_partitions(pr, 0);
    blkid_probe_enable_superblocks(pr, 1);
    blkid_probe_set_superblocks_flags(
        pr, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION | BLKID_SUBLKS_UUID);
    if (blkid_do_safeprobe(pr) == 0) {
      auto value = [pr](const char* key) {
        const char* data = nullptr;
        size_t size = 0;
        if (blkid_probe_lookup_value(pr, key, &data, &size) != 0 || !data) return std::string();
        return std::string(data, strnlen(data, size));
      };
      probe.type = value("TYPE");
      probe.version = value("VERSION");
      probe.label = value("LABEL");
      probe.uuid = value("UUID");
      probe.found = !probe.type.empty();
    }
  }
  if (pr) blkid_free_probe(pr);
  ::close(fd);
#endif
  return probe;
}

std::vector<MountPoint> ParseMountInfo(const std::string& text) {
  std::vector<MountPoint> mounts;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::vector<std::string> parts;
    std::string field;
    while (fields >> field) parts.push_back(field);
    // id parent major:minor root mount-point options [optional...] - fstype source options
    const auto separator = std::find(parts.begin(), parts.end(), "-");
    if (parts.size() < 7 || separator == parts.end() || parts.end() - separator < 3) continue;
    MountPoint mount;
    mount.device_id = parts[2];
    mount.mount_point = Unescape(parts[4]);
    mount.fs_type = *(separator + 1);
    mount.source = Unescape(*(separator + 2));
    mounts.push_back(std::move(mount));
  }
  return mounts;
}

std::vector<MountPoint> ReadMountTable() {
  std::ifstream file("/proc/self/mountinfo");
  std::stringstream text;
  text << file.rdbuf();
  return ParseMountInfo(text.str());
}

int QueryFileSystemSpace(const std::string& path, SpaceInfo* space) {
  struct statvfs info {};
  if (::statvfs(path.c_str(), &info) != 0) return LastError();
  const uint64_t unit = info.f_frsize ? info.f_frsize : info.f_bsize;
  space->total = static_cast<uint64_t>(info.f_blocks) * unit;
  space->free = static_cast<uint64_t>(info.f_bfree) * unit;
  space->available = static_cast<uint64_t>(info.f_bavail) * unit;
  return kSuccess;
}

FileIdentity IdentifyFile(const std::string& path) {
  FileIdentity identity;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return identity;
  identity.exists = true;
  identity.fs_device = st.st_dev;
  identity.inode = st.st_ino;
  identity.raw_device = st.st_rdev;
  identity.is_block_device = S_ISBLK(st.st_mode);
  identity.is_directory = S_ISDIR(st.st_mode);
  identity.special_kind = S_ISFIFO(st.st_mode)   ? "a pipe"
                          : S_ISCHR(st.st_mode)  ? "a character device"
                          : S_ISSOCK(st.st_mode) ? "a socket"
                                                 : "";
  return identity;
}

uint64_t FileAllocatedBytes(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_blocks) * 512;
}

namespace {

void CollectDisks(const std::string& device_id, int depth, bool follow_backing_files,
                  std::vector<std::string>* disks);

void CollectDisksOfName(const std::string& name, int depth, bool follow_backing_files,
                        std::vector<std::string>* disks) {
  const std::string sys = "/sys/class/block/" + name;
  std::string disk = name;
  if (!ReadFirstLine(sys + "/partition").empty()) {
    char resolved[PATH_MAX];
    if (!::realpath(sys.c_str(), resolved)) return;
    std::string parent = resolved;
    parent = parent.substr(0, parent.rfind('/'));
    disk = parent.substr(parent.rfind('/') + 1);
  }
  const std::vector<std::string> slaves = DirectoryNames("/sys/class/block/" + disk + "/slaves");
  for (const auto& slave : slaves) {
    CollectDisksOfName(slave, depth + 1, follow_backing_files, disks);
  }
  const std::string backing = ReadFirstLine("/sys/class/block/" + disk + "/loop/backing_file");
  if (follow_backing_files && !backing.empty()) {
    struct stat st {};
    if (::stat(backing.c_str(), &st) == 0) {
      CollectDisks(DeviceIdText(st.st_dev), depth + 1, follow_backing_files, disks);
    }
  }
  if (slaves.empty() && std::find(disks->begin(), disks->end(), disk) == disks->end()) {
    disks->push_back(disk);
  }
}

void CollectDisks(const std::string& device_id, int depth, bool follow_backing_files,
                  std::vector<std::string>* disks) {
  if (depth > 8) return;  // stacked devices deeper than this are not followed
  char resolved[PATH_MAX];
  const std::string link = "/sys/dev/block/" + device_id;
  if (!::realpath(link.c_str(), resolved)) return;
  std::string name = resolved;
  name = name.substr(name.rfind('/') + 1);
  CollectDisksOfName(name, depth, follow_backing_files, disks);
}

// The device at sysfs folder `sys` as a stretch of its whole disk.
DiskExtent ExtentOfSysfs(const std::string& sys) {
  DiskExtent extent;
  extent.count_512 = ReadNumber(sys + "/size");
  if (!ReadFirstLine(sys + "/partition").empty()) {
    const std::string parent = sys.substr(0, sys.rfind('/'));
    extent.disk = parent.substr(parent.rfind('/') + 1);
    extent.start_512 = ReadNumber(sys + "/start");
  } else {
    extent.disk = sys.substr(sys.rfind('/') + 1);
  }
  return extent;
}

void CollectBeneath(const std::string& device_id, int depth, StorageBeneath* beneath);

// A regular file that holds a file system: the file itself, and what lies beneath its own
// file system (writes into the file land there).
void CollectFile(const std::string& path, uint64_t offset, uint64_t length, int depth,
                 StorageBeneath* beneath) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  beneath->files.push_back({st.st_dev, st.st_ino, offset, length});
  CollectBeneath(DeviceIdText(st.st_dev), depth + 1, beneath);
}

void CollectBeneath(const std::string& device_id, int depth, StorageBeneath* beneath) {
  if (depth > 8) return;  // stacked devices deeper than this are not followed
  char resolved[PATH_MAX];
  const std::string link = "/sys/dev/block/" + device_id;
  if (!::realpath(link.c_str(), resolved)) {
    // No block device of its own (FUSE, btrfs subvolumes): the mount source says what it
    // is made of, a device node or an image file.
    for (const MountPoint& mount : ReadMountTable()) {
      if (mount.device_id != device_id || mount.source.empty() || mount.source[0] != '/') continue;
      struct stat st {};
      if (::stat(mount.source.c_str(), &st) != 0) continue;
      if (S_ISBLK(st.st_mode)) {
        CollectBeneath(DeviceIdText(st.st_rdev), depth + 1, beneath);
      } else {
        CollectFile(mount.source, 0, 0, depth, beneath);
      }
      return;
    }
    return;
  }
  const std::string sys = resolved;
  const std::string name = sys.substr(sys.rfind('/') + 1);
  const DiskExtent extent = ExtentOfSysfs(sys);
  beneath->disks.push_back(extent);
  if (extent.disk != name) {
    // The partition as a device of its own too, for sources named by the partition's node.
    beneath->disks.push_back({name, 0, extent.count_512});
  }
  for (const auto& slave : DirectoryNames(sys + "/slaves")) {
    CollectBeneath(ReadFirstLine("/sys/class/block/" + slave + "/dev"), depth + 1, beneath);
  }
  // A loop device (or a partition of one) is a stretch of its backing file.
  FileExtent backing;
  if (LoopBackingOf(extent.disk, &backing)) {
    backing.offset += extent.start_512 * 512;
    if (extent.disk != name || backing.length == 0) backing.length = extent.count_512 * 512;
    const std::string file =
        ReadFirstLine("/sys/class/block/" + extent.disk + "/loop/backing_file");
    CollectFile(file, backing.offset, backing.length, depth, beneath);
  }
}

}  // namespace

bool WholeDiskExtentOf(const std::string& device_path, DiskExtent* extent) {
  struct stat st {};
  if (::stat(device_path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  char resolved[PATH_MAX];
  const std::string link = "/sys/dev/block/" + DeviceIdText(st.st_rdev);
  if (!::realpath(link.c_str(), resolved)) return false;
  *extent = ExtentOfSysfs(resolved);
  return true;
}

bool LoopBackingOf(const std::string& name, FileExtent* file) {
  const std::string loop = "/sys/class/block/" + name + "/loop/";
  const std::string path = ReadFirstLine(loop + "backing_file");
  struct stat st {};
  // A backing file deleted since shows as "PATH (deleted)" and no longer matches a source.
  if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  *file = {st.st_dev, st.st_ino, ReadNumber(loop + "offset"), ReadNumber(loop + "sizelimit")};
  return true;
}

StorageBeneath StorageBeneathPath(const std::string& path) {
  StorageBeneath beneath;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) CollectBeneath(DeviceIdText(st.st_dev), 0, &beneath);
  return beneath;
}

std::vector<DiskExtent> DiskExtentsBeneathPath(const std::string& path) {
  return StorageBeneathPath(path).disks;
}

std::vector<std::string> DisksBeneathPath(const std::string& path) {
  std::vector<std::string> disks;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) CollectDisks(DeviceIdText(st.st_dev), 0, true, &disks);
  return disks;
}

std::vector<std::string> DisksBeneathDevice(const std::string& device_path) {
  std::vector<std::string> disks;
  struct stat st {};
  if (::stat(device_path.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
    CollectDisks(DeviceIdText(st.st_rdev), 0, false, &disks);
  }
  return disks;
}

std::string DeviceIdText(uint64_t device) {
  return std::to_string(major(device)) + ":" + std::to_string(minor(device));
}

}  // namespace velmora::platform
