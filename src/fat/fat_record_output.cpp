#include "fat/fat_record_output.h"

#include <unistd.h>

#include <cstring>
#include <deque>
#include <set>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

int CopyFatFolderTree(const ScanRecord& top, const std::string& destination, int depth,
                      IFileRecoveryParse& engine, const FatFileCopier& copy_file) {
  struct Pending {
    ScanRecord record;
    std::string folder;
    int depth;
  };
  std::deque<Pending> work{{top, destination, depth}};
  std::set<uint32_t> copied_directories{top.object_id};
  int first_error = kSuccess;
  while (!work.empty()) {
    Pending item = std::move(work.front());
    work.pop_front();
    ScanRecordList children;
    int result = engine.GetChildren(&item.record, item.depth, &children);
    if (result != kSuccess) {
      if (first_error == kSuccess) first_error = result;
      continue;
    }
    for (const ScanRecord& child : children) {
      const std::string name = SafeComponentName(RecordName(child));
      if (child.is_directory) {
        const uint32_t id = child.object_id;                  // packed field: copy before binding
        if (!copied_directories.insert(id).second) continue;  // a damaged tree loops
        const std::string folder = UniquePathIn(item.folder, name);
        result = CreateFolderTree(folder);
        if (result == kSuccess) work.push_back({child, folder, item.depth + 1});
      } else {
        result = copy_file(child, JoinPath(item.folder, name));
      }
      if (result < 0) return result;  // cancelled, or worse
      if (result != kSuccess && first_error == kSuccess) first_error = result;
    }
  }
  return first_error;
}

int FolderChildDepth(ScanLogStore* store, const ScanRecord& folder, const std::string& destination,
                     int base_depth) {
  ScanRecordList ancestors;
  if (store && store->GetAncestors(folder, &ancestors) == kSuccess) {
    return static_cast<int>(ancestors.size()) + 1;
  }
  int separators = 0;
  for (size_t i = 0; i + 1 < destination.size(); ++i) separators += destination[i] == '/';
  return separators - base_depth;
}

}  // namespace

int CopyFatFileOut(const FatRecordReader& read, uint64_t size, const std::string& path,
                   FileProgressCallback progress, void* context, const uint64_t* own_bytes) {
  int fd = -1;
  std::string written_path;
  int result = CreateOutputFile(path, &fd, &written_path);
  if (result != kSuccess) {
    if (progress) progress(context, 100, 100, result, path.c_str());
    return result;
  }
  uint64_t done = 0;
  bool stopped = false;
  result = read(size, [&](const uint8_t* data, size_t length) {
    int err = WriteAll(fd, data, length);
    if (err != kSuccess) return err;
    done += length;
    if (progress) {
      err = progress(context, PercentDone(done, size), 100, 0, written_path.c_str());
      if (err != kSuccess) stopped = true;
    }
    return err;
  });
  if (result != kSuccess && !stopped && own_bytes != nullptr && *own_bytes < done &&
      ::ftruncate(fd, static_cast<off_t>(*own_bytes)) != 0 && result > 0) {
    result = LastError();
  }
  ::close(fd);
  if (size == 0 && progress) {
    result = progress(context, 100, 100, 0, written_path.c_str());
  } else if (result != kSuccess && !stopped && progress) {
    progress(context, 100, 100, result, written_path.c_str());
  }
  return result;
}

int RecoverFatRecord(IFileRecoveryParse& engine, ScanLogStore* store, const ScanRecord& record,
                     const std::string& destination, int base_depth,
                     const FatFileCopier& copy_file) {
  if (destination.empty()) return kErrInvalidParameter;
  if (!record.is_directory) {
    const std::string folder = ParentFolderOf(destination);
    const int result = CreateFolderTree(folder);
    if (result != kSuccess) return result;
    return copy_file(record, JoinPath(folder, SafeComponentName(LastPathComponent(destination))));
  }
  const int result = CreateFolderTree(destination);
  if (result != kSuccess) return result;
  int depth = FolderChildDepth(store, record, destination, base_depth);
  if (depth < 1) depth = 1;
  return CopyFatFolderTree(record, destination, depth, engine, copy_file);
}

int PreviewFatRecord(const ScanRecord& record, int checked, const FatRecordReader& read,
                     std::string* path, uint8_t* memory, int* bytes,
                     PreviewProgressCallback callback, void* context) {
  auto finish = [&](int result) {
    if (callback && result >= 0) callback(context, 100, result);
    return result;
  };
  int result = checked;
  if (result == kSuccess && record.is_directory) result = kErrInvalidParameter;
  if (result != kSuccess || bytes == nullptr) {
    return finish(result != kSuccess ? result : kErrInvalidParameter);
  }

  if (memory != nullptr) {
    const uint64_t capacity = *bytes > 0 ? static_cast<uint64_t>(*bytes) : 0;
    const uint64_t size = record.size;
    const uint64_t amount = size < capacity ? size : capacity;
    uint64_t copied = 0;
    result = read(amount, [&](const uint8_t* data, size_t length) {
      std::memcpy(memory + copied, data, length);
      copied += length;
      return callback ? callback(context, PercentDone(copied, amount), 0) : kSuccess;
    });
    *bytes = static_cast<int>(copied);
    return finish(result);
  }

  if (path == nullptr) return finish(kErrInvalidParameter);
  *bytes = 0;
  std::string target = *path;
  if (target.empty()) {
    const std::string folder = ScanLogDirectory();
    const int err = CreateFolderTree(folder);
    if (err != kSuccess) return finish(err);
    const std::string category = CategoryOfRecord(record);
    std::string name = SafeComponentName(RecordName(record));
    if (category == "photo") name = "tmp.jpg";
    if (category == "audio" || category == "video") name = "tmp.avi";
    // A found file may be named like the scan-log folder's own files ("config").
    if (category == "others") name = "preview-" + name;
    target = JoinPath(folder, name);
  }
  ::unlink(target.c_str());  // the previous preview
  int fd = -1;
  std::string written;
  result = CreateOutputFile(target, &fd, &written);
  if (result != kSuccess) return finish(result);
  *path = written;
  uint64_t done = 0;
  const uint64_t size = record.size;
  result = read(size, [&](const uint8_t* data, size_t length) {
    const int err = WriteAll(fd, data, length);
    if (err != kSuccess) return err;
    done += length;
    return callback ? callback(context, PercentDone(done, size), 0) : kSuccess;
  });
  ::close(fd);
  if (result != kSuccess) ::unlink(written.c_str());
  return finish(result);
}

}  // namespace velmora
