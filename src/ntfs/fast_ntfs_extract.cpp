// Copying files, folder trees and previews out of an NTFS volume.
#include <algorithm>

#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "ntfs/attribute_stream.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/folder_tree_copy.h"
#include "ntfs/record_extraction.h"
#include "ntfs/stream_output.h"
#include "storage/error_codes.h"

namespace velmora {

using namespace ntfs;

namespace {

int SeparatorsIn(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  return static_cast<int>(std::count(trimmed.begin(), trimmed.end(), '/'));
}

}  // namespace

int CFastNtfsRecovery::RecoverOne(const ScanRecord& record, const std::string& path) {
  if (!volume_.IsOpen()) return kErrInvalidParameter;
  return ExtractRecordToFile(volume_, record, path, file_progress_, callback_context_);
}

int CFastNtfsRecovery::RecoverTree(const ScanRecord& top, const std::string& destination,
                                   int level) {
  return CopyFolderTree(*store_, top, destination, level, 0,
                        [this](const ScanRecord& child, const std::string& path) {
                          return RecoverOne(child, path);
                        });
}

int CFastNtfsRecovery::RecoverFile(const ScanRecord& record, const std::string& destination,
                                   int base_depth) {
  if (!volume_.IsOpen() || destination.empty()) return kErrInvalidParameter;
  if (!record.is_directory) {
    const int rc = CreateFolderTree(ParentFolderOf(destination));
    if (rc != kSuccess) return rc;
    return RecoverOne(record, destination);
  }
  if (!store_) return kErrInvalidParameter;
  const int rc = CreateFolderTree(destination);
  if (rc != kSuccess) return rc;
  // The folder's level in the volume's tree: separators in the destination minus the base.
  const int level = SeparatorsIn(destination) - base_depth;
  if (level < 0) return kErrInvalidParameter;
  return RecoverTree(record, destination, level);
}

int CFastNtfsRecovery::PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory,
                                   int* bytes, PreviewProgressCallback callback, void* context) {
  auto finish = [&](int result) {
    if (callback) callback(context, 100, result);
    return result;
  };
  if (!volume_.IsOpen() || record.is_directory || (memory && (!bytes || *bytes < 0))) {
    if (path) path->clear();
    return finish(kErrInvalidParameter);
  }
  NtfsStream stream;
  int rc = LoadRecordStream(volume_, record, &stream);
  if (rc != kSuccess) {
    if (path) path->clear();
    return finish(rc);
  }
  uint64_t size = std::min(uint64_t{record.size}, stream.Size());

  int fd = -1;
  std::string target;
  if (!memory) {
    const std::string folder = ScanLogDirectory();
    rc = CreateFolderTree(folder);
    if (rc != kSuccess) return finish(rc);
    rc = CreatePreviewFile(folder, record, &fd, &target);
    if (rc != kSuccess) {
      if (path) path->clear();
      return finish(rc);
    }
  } else {
    size = std::min<uint64_t>(size, static_cast<uint64_t>(*bytes));
  }

  return DeliverPreview(
      stream, size,
      [this](const NtfsStream& loaded, uint64_t limit, const StreamSink& sink) {
        return CopyStreamData(volume_, loaded, limit, sink);
      },
      fd, target, path, memory, bytes, callback, context);
}

}  // namespace velmora
