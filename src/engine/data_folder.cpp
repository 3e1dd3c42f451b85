#include "engine/data_folder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

std::vector<std::string> Components(const std::string& relative) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= relative.size()) {
    const size_t slash = relative.find('/', start);
    const size_t end = slash == std::string::npos ? relative.size() : slash;
    if (end > start) parts.push_back(relative.substr(start, end - start));
    if (slash == std::string::npos) break;
    start = slash + 1;
  }
  return parts;
}

bool IsLinkAt(int folder_fd, const std::string& name) {
  struct stat st {};
  return ::fstatat(folder_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// The error of a failed openat/mkdirat of `name`: a link found there is named as such.
int FailureAt(int folder_fd, const std::string& name) {
  const int saved = errno;
  if (IsLinkAt(folder_fd, name)) return kErrLinkInDataFolder;
  errno = saved;
  return LastError();
}

// The folder of the first `count` of `parts` below `base` (which is followed as it is: the
// user's choice), opened one step at a time; created 0700 where missing when `create`.
int OpenFolderBelow(const std::string& base, const std::vector<std::string>& parts, size_t count,
                    bool create, int* out) {
  int current = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (current < 0 && create && errno == ENOENT) {
    const int err = CreateFolderTree(base);
    if (err != kSuccess) return err;
    current = ::open(base.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  if (current < 0) return LastError();
  for (size_t i = 0; i < count; ++i) {
    const std::string& name = parts[i];
    if (name == "." || name == "..") {
      ::close(current);
      return kErrInvalidParameter;
    }
    int next = ::openat(current, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0 && errno == ENOENT && create) {
      if (::mkdirat(current, name.c_str(), 0700) != 0 && errno != EEXIST) {
        const int err = FailureAt(current, name);
        ::close(current);
        return err;
      }
      next = ::openat(current, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (next < 0) {
      const int err = FailureAt(current, name);
      ::close(current);
      return err;
    }
    ::close(current);
    current = next;
  }
  *out = current;
  return kSuccess;
}

std::string Trimmed(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Splits `path` into the folder holding the scan-log directory and the components from the
// scan-log directory down (or, outside it, the path's own folder and its last component).
std::string BaseOf(const std::string& path, std::vector<std::string>* parts) {
  const std::string root = Trimmed(ScanLogDirectory());
  const std::string trimmed = Trimmed(path);
  if (trimmed.size() >= root.size() && trimmed.compare(0, root.size(), root) == 0 &&
      (trimmed.size() == root.size() || trimmed[root.size()] == '/')) {
    *parts = Components(trimmed.substr(ParentFolderOf(root).size()));
    return ParentFolderOf(root);
  }
  parts->assign(1, LastPathComponent(trimmed));
  return ParentFolderOf(trimmed);
}

}  // namespace

int CreateDataFolder(const std::string& folder) {
  std::vector<std::string> parts;
  const std::string base = BaseOf(folder, &parts);
  int fd = -1;
  const int err = OpenFolderBelow(base, parts, parts.size(), true, &fd);
  if (err == kSuccess) ::close(fd);
  return err;
}

int OpenDataFile(const std::string& path, int flags, mode_t mode, int* error) {
  std::vector<std::string> parts;
  const std::string base = BaseOf(path, &parts);
  int folder = -1;
  int err = parts.empty()
                ? kErrInvalidParameter
                : OpenFolderBelow(base, parts, parts.size() - 1, (flags & O_CREAT) != 0, &folder);
  if (err != kSuccess) {
    if (error) *error = err;
    errno = err == kErrLinkInDataFolder ? ELOOP : errno;
    return -1;
  }
  const int fd = ::openat(folder, parts.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
  if (fd < 0) {
    const int saved = errno;
    err = FailureAt(folder, parts.back());
    if (error) *error = err;
    errno = saved;
  }
  ::close(folder);
  return fd;
}

bool RemovePlantedLink(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
  return ::unlink(path.c_str()) == 0;
}

}  // namespace velmora
