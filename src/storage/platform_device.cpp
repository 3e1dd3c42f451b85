#include "storage/platform_device.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>

#include "storage/error_codes.h"

namespace velmora::platform {

namespace {

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<int, std::string>& Registry() {
  static std::map<int, std::string> registry;
  return registry;
}

// Registrations of image drives per number; an explicit registration counts once.
std::map<int, int>& RegistrationCounts() {
  static std::map<int, int> counts;
  return counts;
}

}  // namespace

int OpenSourceReadOnly(const std::string& path, FileHandle* out) {
  *out = kInvalidHandle;
  // Without O_NONBLOCK the open of a pipe waits for a writer, for ever.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return LastError();
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = LastError();
    ::close(fd);
    return err;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    return kErrAccessDenied;
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    ::close(fd);
    return kErrNotSupported;
  }
  if (const int flags = ::fcntl(fd, F_GETFL);
      flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
    const int err = LastError();
    ::close(fd);
    return err;
  }
  *out = fd;
  return kSuccess;
}

void CloseHandle(FileHandle* handle) {
  if (*handle != kInvalidHandle) {
    ::close(*handle);
    *handle = kInvalidHandle;
  }
}

bool IsBlockDevice(FileHandle handle) {
  struct stat st {};
  return ::fstat(handle, &st) == 0 && S_ISBLK(st.st_mode);
}

int QuerySourceSize(FileHandle handle, uint64_t* bytes) {
  struct stat st {};
  if (::fstat(handle, &st) != 0) return LastError();
  if (S_ISBLK(st.st_mode)) {
    uint64_t size = 0;
    if (::ioctl(handle, BLKGETSIZE64, &size) != 0) return LastError();
    *bytes = size;
    return kSuccess;
  }
  *bytes = static_cast<uint64_t>(st.st_size);
  return kSuccess;
}

int QueryLogicalSectorSize(FileHandle handle, int* bytes) {
  *bytes = 512;
  if (!IsBlockDevice(handle)) return kSuccess;
  int size = 0;
  if (::ioctl(handle, BLKSSZGET, &size) != 0) return LastError();
  if (size > 0) *bytes = size;
  return kSuccess;
}

int ReadAt(FileHandle handle, void* buffer, size_t length, uint64_t offset, size_t* got) {
  size_t done = 0;
  auto* out = static_cast<uint8_t*>(buffer);
  int result = kSuccess;
  while (done < length) {
    const ssize_t n = ::pread(handle, out + done, length - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      result = kErrReadFault;
      break;
    }
    if (n == 0) {
      result = kErrReadFault;
      break;
    }
    done += static_cast<size_t>(n);
  }
  if (got) *got = done;
  return result;
}

int CreateImageFile(const std::string& path, bool replace, FileHandle* out) {
  *out = kInvalidHandle;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) return kErrAccessDenied;
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (replace ? O_TRUNC : O_EXCL);
  const int fd = ::open(path.c_str(), flags, 0644);
  if (fd < 0) return LastError();
  *out = fd;
  return kSuccess;
}

namespace {

// Writes until everything is out; `offset` < 0 writes at the file position.
int WriteEverything(FileHandle handle, const void* data, size_t length, int64_t offset) {
  const auto* in = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = offset < 0
                          ? ::write(handle, in + done, length - done)
                          : ::pwrite(handle, in + done, length - done,
                                     static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      // Past the file-size limit is as full as a full disk.
      if (errno == EFBIG) return kErrDiskFull;
      // EIO while writing is a write fault, not the read fault the generic mapping gives.
      const int code = ErrorFromErrno(errno);
      return code == kSuccess || code == kErrReadFault ? kErrWriteFault : code;
    }
    if (n == 0) return kErrWriteFault;
    done += static_cast<size_t>(n);
  }
  return kSuccess;
}

}  // namespace

int WriteAll(FileHandle handle, const void* data, size_t length) {
  return WriteEverything(handle, data, length, -1);
}

int WriteAllAt(FileHandle handle, const void* data, size_t length, uint64_t offset) {
  return WriteEverything(handle, data, length, static_cast<int64_t>(offset));
}

int SyncFile(FileHandle handle) { return ::fsync(handle) == 0 ? kSuccess : LastError(); }

int OpenDeviceUncached(const std::string& path, FileHandle* out) {
  *out = kInvalidHandle;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
  if (fd < 0) return LastError();
  if (!IsBlockDevice(fd)) {
    ::close(fd);
    return kErrNotSupported;
  }
  *out = fd;
  return kSuccess;
}

int ReadAtUncached(FileHandle handle, void* buffer, size_t length, uint64_t offset,
                   size_t alignment, size_t* got) {
  if (got) *got = 0;
  if (alignment == 0 || length % alignment != 0 || offset % alignment != 0) {
    return kErrInvalidParameter;
  }
  void* bounce = nullptr;
  if (::posix_memalign(&bounce, std::max<size_t>(alignment, 4096), length) != 0) {
    return kErrNotEnoughMemory;
  }
  size_t done = 0;
  const int result = ReadAt(handle, bounce, length, offset, &done);
  std::memcpy(buffer, bounce, done);
  std::free(bounce);
  if (got) *got = done;
  return result;
}

void FlushDevice(const std::string& device_path) {
  const int fd = ::open(device_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISBLK(st.st_mode)) {
    ::fsync(fd);
    ::ioctl(fd, BLKFLSBUF, 0);
  }
  ::close(fd);
}

int FileLastWriteTime(const std::string& path, uint64_t* filetime) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return LastError();
  constexpr uint64_t kEpochDifference = 11644473600ULL;  // seconds from 1601 to 1970
  *filetime = (static_cast<uint64_t>(st.st_mtim.tv_sec) + kEpochDifference) * 10000000ULL +
              static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
  return kSuccess;
}

std::vector<std::string> ListWholeDiskPaths() {
  const std::vector<std::string> names = ListWholeDiskNames();
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const auto& name : names) paths.push_back("/dev/" + name);
  return paths;
}

std::string PhysicalDrivePath(int number) {
  {
    std::lock_guard<std::mutex> lock(RegistryMutex());
    auto it = Registry().find(number);
    if (it != Registry().end()) return it->second;
  }
  if (number < 0) return {};
  const auto disks = ListWholeDiskPaths();
  if (static_cast<size_t>(number) >= disks.size()) return {};
  return disks[static_cast<size_t>(number)];
}

void RegisterPhysicalDrive(int number, const std::string& path) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Registry()[number] = path;
  RegistrationCounts()[number] = 1;
}

int RegisterImageDrive(const std::string& path, int first_number) {
  char resolved[PATH_MAX];
  const std::string absolute = ::realpath(path.c_str(), resolved) ? resolved : path;
  // FNV-1a of the absolute path, spread over 9000 numbers.
  uint64_t hash = 14695981039346656037ull;
  for (const unsigned char c : absolute) hash = (hash ^ c) * 1099511628211ull;
  constexpr int kSpread = 9000;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  int number = first_number + static_cast<int>(hash % kSpread);
  for (;;) {
    const auto it = Registry().find(number);
    if (it == Registry().end() || it->second == absolute) break;
    ++number;
  }
  Registry()[number] = absolute;
  ++RegistrationCounts()[number];
  return number;
}

void ForgetPhysicalDrive(int number) {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  if (--RegistrationCounts()[number] > 0) return;
  RegistrationCounts().erase(number);
  Registry().erase(number);
}

}  // namespace velmora::platform
