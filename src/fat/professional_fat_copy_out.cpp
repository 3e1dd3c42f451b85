// Copy-out and preview of the FAT deep engine's records. Without a trusted FAT,
// a file's data is read from consecutive clusters from its first cluster on.
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <set>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "fat/professional_fat_recovery.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

// Clusters above this size cannot come from a real FAT volume.
constexpr uint64_t kMaxClusterBytes = 104857600;

}  // namespace

int CProfessionalFatRecovery::CheckRecord(const ScanRecord& record) const {
  if (!open_ || record.source_kind != kSourceFatDeep) return kErrInvalidParameter;
  if (record.is_directory) return kSuccess;
  if (record.cluster_size <= 0 || static_cast<uint64_t>(record.cluster_size) > kMaxClusterBytes) {
    return kErrWriteFault;
  }
  if (record.cluster_size % static_cast<int32_t>(bytes_per_sector_) != 0) {
    return kErrInvalidParameter;
  }
  // The record must come from the region this engine is open on.
  if (record.partition_start < volume_start_ ||
      record.partition_start - volume_start_ > volume_sectors_) {
    return kErrInvalidParameter;
  }
  return kSuccess;
}

int CProfessionalFatRecovery::ReadFileData(
    const ScanRecord& record, uint64_t size,
    const std::function<int(const uint8_t*, size_t)>& sink) const {
  if (size == 0) return kSuccess;
  const uint32_t sectors_per_cluster =
      static_cast<uint32_t>(record.cluster_size) / bytes_per_sector_;
  if (record.object_id < 2 || sectors_per_cluster == 0) return kErrInvalidParameter;
  const uint64_t data_start = record.partition_start + record.data_area_start;
  const uint64_t offset = static_cast<uint64_t>(record.object_id - 2) * sectors_per_cluster;
  if (data_start >= VolumeEnd() || offset >= VolumeEnd() - data_start) return kErrInvalidParameter;
  uint64_t sector = data_start + offset;
  std::vector<uint8_t> buffer(static_cast<size_t>(sectors_per_cluster) * bytes_per_sector_);
  uint64_t remaining = size;
  while (remaining > 0) {
    // The last cluster of the volume may be cut short by its end.
    const uint64_t left_on_volume = VolumeEnd() > sector ? VolumeEnd() - sector : 0;
    if (left_on_volume == 0) return kErrHandleEof;
    const uint32_t count = static_cast<uint32_t>(
        std::min<uint64_t>({sectors_per_cluster, left_on_volume,
                            (remaining + bytes_per_sector_ - 1) / bytes_per_sector_}));
    int result = ReadAbsolute(sector, count, buffer.data());
    if (result != kSuccess) return result;
    const size_t length =
        static_cast<size_t>(std::min<uint64_t>(remaining, uint64_t{count} * bytes_per_sector_));
    result = sink(buffer.data(), length);
    if (result != kSuccess) return result;
    remaining -= length;
    sector += count;
  }
  return kSuccess;
}

int CProfessionalFatRecovery::CopyFileTo(const ScanRecord& record, const std::string& path) {
  int fd = -1;
  std::string written_path;
  int result = CreateOutputFile(path, &fd, &written_path);
  if (result != kSuccess) {
    if (file_progress_) file_progress_(callback_context_, 100, 100, result, path.c_str());
    return result;
  }
  const uint64_t size = record.size;
  uint64_t done = 0;
  bool stopped = false;
  result = ReadFileData(record, size, [&](const uint8_t* data, size_t length) {
    int err = WriteAll(fd, data, length);
    if (err != kSuccess) return err;
    done += length;
    if (file_progress_) {
      err = file_progress_(callback_context_, PercentDone(done, size), 100, 0, written_path.c_str());
      if (err != kSuccess) stopped = true;
    }
    return err;
  });
  ::close(fd);
  if (size == 0 && file_progress_) {
    result = file_progress_(callback_context_, 100, 100, 0, written_path.c_str());
  } else if (result != kSuccess && !stopped && file_progress_) {
    file_progress_(callback_context_, 100, 100, result, written_path.c_str());
  }
  return result;
}

int CProfessionalFatRecovery::DirectoryDepth(const ScanRecord& directory) {
  ScanRecordList ancestors;
  if (!store_ || store_->GetAncestors(directory, &ancestors) != kSuccess) return -1;
  return static_cast<int>(ancestors.size()) + 1;
}

int CProfessionalFatRecovery::RecoverFile(const ScanRecord& record, const std::string& destination,
                                          int base_depth) {
  int result = CheckRecord(record);
  if (result != kSuccess) return result;
  if (destination.empty()) return kErrInvalidParameter;
  if (!record.is_directory) {
    const std::string folder = ParentFolderOf(destination);
    result = CreateFolderTree(folder);
    if (result != kSuccess) return result;
    return CopyFileTo(record, JoinPath(folder, SafeComponentName(LastPathComponent(destination))));
  }

  result = CreateFolderTree(destination);
  if (result != kSuccess) return result;
  // The depth of the record's children in the store, from its ancestors.
  int depth = DirectoryDepth(record);
  if (depth < 0) {
    int separators = 0;
    for (size_t i = 0; i + 1 < destination.size(); ++i) separators += destination[i] == '/';
    depth = separators - base_depth;
  }
  if (depth < 1) depth = 1;

  struct Pending {
    ScanRecord record;
    std::string folder;
    int depth;
  };
  std::deque<Pending> work{{record, destination, depth}};
  std::set<uint32_t> copied_directories{record.object_id};
  int first_error = kSuccess;
  // Breadth first: a folder's files are written before its subfolders' contents.
  while (!work.empty()) {
    Pending item = std::move(work.front());
    work.pop_front();
    ScanRecordList children;
    result = GetChildren(&item.record, item.depth, &children);
    if (result != kSuccess) {
      if (first_error == kSuccess) first_error = result;
      continue;
    }
    for (const ScanRecord& child : children) {
      const std::string name = SafeComponentName(RecordName(child));
      if (child.is_directory) {
        if (!copied_directories.insert(child.object_id).second) continue;  // a damaged tree loops
        const std::string folder = UniquePathIn(item.folder, name);
        result = CreateFolderTree(folder);
        if (result == kSuccess) work.push_back({child, folder, item.depth + 1});
      } else {
        result = CheckRecord(child);
        if (result == kSuccess) result = CopyFileTo(child, JoinPath(item.folder, name));
      }
      if (result < 0) return result;
      if (result != kSuccess && first_error == kSuccess) first_error = result;
    }
  }
  return first_error;
}

int CProfessionalFatRecovery::PreviewFile(const ScanRecord& record, std::string* path,
                                          uint8_t* memory, int* bytes,
                                          PreviewProgressCallback callback, void* context) {
  auto finish = [&](int result) {
    if (callback && result >= 0) callback(context, 100, result);
    return result;
  };
  int result = CheckRecord(record);
  if (result == kSuccess && record.is_directory) result = kErrInvalidParameter;
  if (result != kSuccess || bytes == nullptr) {
    return finish(result != kSuccess ? result : kErrInvalidParameter);
  }

  if (memory != nullptr) {
    const uint64_t capacity = *bytes > 0 ? static_cast<uint64_t>(*bytes) : 0;
    const uint64_t amount = std::min<uint64_t>(record.size, capacity);
    uint64_t copied = 0;
    result = ReadFileData(record, amount, [&](const uint8_t* data, size_t length) {
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
    const std::string category = CategoryOfName(RecordName(record));
    std::string name = SafeComponentName(RecordName(record));
    if (category == "photo") name = "tmp.jpg";
    if (category == "audio" || category == "video") name = "tmp.avi";
    target = JoinPath(folder, name);
  }
  ::unlink(target.c_str());  // the previous preview
  int fd = -1;
  std::string written;
  result = CreateOutputFile(target, &fd, &written);
  if (result != kSuccess) return finish(result);
  *path = written;
  uint64_t done = 0;
  result = ReadFileData(record, record.size, [&](const uint8_t* data, size_t length) {
    const int err = WriteAll(fd, data, length);
    if (err != kSuccess) return err;
    done += length;
    return callback ? callback(context, PercentDone(done, record.size), 0) : kSuccess;
  });
  ::close(fd);
  if (result != kSuccess) ::unlink(written.c_str());
  return finish(result);
}

}  // namespace velmora
