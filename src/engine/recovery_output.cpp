#include "engine/recovery_output.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <limits>
#include <vector>

#include "engine/record_text.h"
#include "storage/error_codes.h"

namespace velmora {

std::string SafeComponentName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (char c : name) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) {
      out.push_back('_');
    } else {
      out.push_back(c);
    }
  }
  if (out.empty() || out == "." || out == "..") return "_unnamed" + out;
  // Keep within the usual 255-byte component limit, with room for a "(n)".
  return CutName(out, kMaxComponentBytes);
}

std::string JoinPath(const std::string& folder, std::string_view name) {
  if (folder.empty()) return std::string(name);
  if (folder.back() == '/') return folder + std::string(name);
  return folder + "/" + std::string(name);
}

std::string ParentFolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string LastPathComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

int PercentDone(uint64_t done, uint64_t total) {
  return total == 0 ? 100 : static_cast<int>(done * 100 / total);
}

namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string NumberedName(const std::string& name, int n) {
  const size_t dot = name.rfind('.');
  const std::string suffix = "(" + std::to_string(n) + ")";
  if (dot == std::string::npos || dot == 0) return name + suffix;
  return name.substr(0, dot) + suffix + name.substr(dot);
}

int FirstFreeNumber(const std::function<bool(int)>& taken) {
  // Numbers are given out in order, so the taken ones are mostly 1..k: doubling finds a
  // free one past k, halving the gap finds the first free one after the last taken.
  int low = 0;  // taken (or nothing below)
  int high = 1;
  while (taken(high)) {
    low = high;
    if (high > std::numeric_limits<int>::max() / 2) return high + 1;
    high *= 2;
  }
  while (high - low > 1) {
    const int middle = low + (high - low) / 2;
    (taken(middle) ? low : high) = middle;
  }
  return high;
}

std::string UniquePathIn(const std::string& folder, const std::string& name) {
  const std::string candidate = JoinPath(folder, name);
  if (!Exists(candidate)) return candidate;
  const int n =
      FirstFreeNumber([&](int k) { return Exists(JoinPath(folder, NumberedName(name, k))); });
  return JoinPath(folder, NumberedName(name, n));
}

int CreateFolderTree(const std::string& folder) {
  if (folder.empty()) return kSuccess;
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = folder.find('/', pos + 1);
    partial = folder.substr(0, pos);
    if (partial.empty()) continue;
    if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) return LastError();
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kErrPathNotFound;
  return kSuccess;
}

int CreateOutputFile(const std::string& path, int* fd, std::string* final_path) {
  const size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  int first_number = 0;
  for (int attempt = 0; attempt < 100000; ++attempt) {
    if (attempt == 1) {
      first_number =
          FirstFreeNumber([&](int k) { return Exists(JoinPath(folder, NumberedName(name, k))); }) -
          1;
    }
    const std::string candidate =
        attempt == 0 ? JoinPath(folder, name)
                     : JoinPath(folder, NumberedName(name, first_number + attempt));
    const int opened = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (opened >= 0) {
      *fd = opened;
      if (final_path) *final_path = candidate;
      return kSuccess;
    }
    if (errno != EEXIST) return LastError();
  }
  return kErrFileExists;
}

namespace {

bool IsRealDirectory(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int MakeRecoveredSubfolder(const std::string& parent, const std::string& name, std::string* out) {
  std::string path = JoinPath(parent, name);
  if (IsRealDirectory(path)) {
    *out = path;
    return kSuccess;
  }
  path = UniquePathIn(parent, name);
  if (::mkdir(path.c_str(), 0755) != 0) return LastError();
  *out = path;
  return kSuccess;
}

namespace {

constexpr int kMostLeftoverDepth = 64;

// Removes everything below the folder open as `fd`, then closes it.
void EmptyFolder(int fd, int depth) {
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return;
  }
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  for (const std::string& name : names) {
    if (::unlinkat(::dirfd(dir), name.c_str(), 0) == 0 || depth >= kMostLeftoverDepth) continue;
    const int child =
        ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) continue;
    EmptyFolder(child, depth + 1);
    ::unlinkat(::dirfd(dir), name.c_str(), AT_REMOVEDIR);
  }
  ::closedir(dir);
}

int RemoveLeftoversBelow(int folder_fd, int depth) {
  const int fd = ::openat(folder_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return 0;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return 0;
  }
  std::vector<std::string> leftovers;
  std::vector<std::string> folders;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (name.rfind(kTemporaryOutputPrefix, 0) == 0) {
      leftovers.push_back(name);
    } else if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
      folders.push_back(name);
    }
  }
  int removed = 0;
  for (const std::string& name : leftovers) {
    struct stat st {};
    if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      const int child =
          ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child >= 0) EmptyFolder(child, 0);
      removed += ::unlinkat(::dirfd(dir), name.c_str(), AT_REMOVEDIR) == 0;
    } else {
      removed += ::unlinkat(::dirfd(dir), name.c_str(), 0) == 0;
    }
  }
  if (depth < kMostLeftoverDepth) {
    for (const std::string& name : folders) {
      const int child =
          ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (child < 0) continue;
      removed += RemoveLeftoversBelow(child, depth + 1);
      ::close(child);
    }
  }
  ::closedir(dir);
  return removed;
}

}  // namespace

int RemoveTemporaryLeftovers(int folder_fd) { return RemoveLeftoversBelow(folder_fd, 0); }

int RenameWithoutReplacing(int folder_fd, const std::string& from, const std::string& to) {
  if (::renameat2(folder_fd, from.c_str(), folder_fd, to.c_str(), RENAME_NOREPLACE) == 0) {
    return kSuccess;
  }
  if (errno == EEXIST) return kErrFileExists;
  if (errno != EINVAL && errno != ENOSYS) return LastError();
  // A file system without the flag: a hard link fails where the name is taken.
  if (::linkat(folder_fd, from.c_str(), folder_fd, to.c_str(), 0) != 0) {
    if (errno == EEXIST) return kErrFileExists;
    if (errno != EPERM) return LastError();
    // Folders have no hard links: checked, then renamed.
    struct stat st {};
    if (::fstatat(folder_fd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) return kErrFileExists;
    return ::renameat(folder_fd, from.c_str(), folder_fd, to.c_str()) == 0 ? kSuccess : LastError();
  }
  ::unlinkat(folder_fd, from.c_str(), 0);
  return kSuccess;
}

void SettleFailedOutput(const std::string& path, int error, std::string* kept) {
  kept->clear();
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  const bool useless = st.st_size == 0 || error == kErrDiskFull || error == kErrWriteFault ||
                       error == kCancelledByUser;
  if (useless) {
    ::unlink(path.c_str());
    return;
  }
  const std::string partial =
      UniquePathIn(ParentFolderOf(path), LastPathComponent(path) + ".partial");
  if (::rename(path.c_str(), partial.c_str()) == 0) {
    *kept = partial;
  } else {
    ::unlink(path.c_str());
  }
}

}  // namespace velmora
