#include "ntfs/folder_tree_copy.h"

#include <algorithm>
#include <deque>

#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "storage/error_codes.h"

namespace velmora::ntfs {

int CopyFolderTree(ScanLogStore& store, const ScanRecord& top, const std::string& destination,
                   int level, int level_limit, const RecordFileCopier& copy_file) {
  struct Pending {
    ScanRecord record;
    std::string folder;
    int level;
  };
  int rc = store.Flush();
  if (rc != kSuccess) return rc;
  std::deque<Pending> queue;
  queue.push_back({top, destination, level});
  int result = kSuccess;
  while (!queue.empty()) {
    Pending entry = std::move(queue.front());
    queue.pop_front();
    ScanRecordList children;
    rc =
        store.ListChildren({entry.record.object_id, static_cast<uint32_t>(entry.level)}, &children);
    if (rc != kSuccess) {
      result = rc;
      continue;
    }
    for (const ScanRecord& child : children) {
      const std::string name = SafeComponentName(RecordName(child));
      if (child.is_directory) {
        std::string folder;
        result = MakeRecoveredSubfolder(entry.folder, name, &folder);
        if (result == kSuccess && (level_limit <= 0 || entry.level + 1 < level_limit)) {
          queue.push_back({child, folder, entry.level + 1});
        }
        continue;
      }
      result = copy_file(child, JoinPath(entry.folder, name));
      if (result == kCancelledByUser) return result;
    }
  }
  return result;
}

int RecoverRecordTo(ScanLogStore* store, const ScanRecord& record, const std::string& destination,
                    int base_depth, int level_limit, const RecordFileCopier& copy_file) {
  if (destination.empty()) return kErrInvalidParameter;
  if (!record.is_directory) {
    const int rc = CreateFolderTree(ParentFolderOf(destination));
    if (rc != kSuccess) return rc;
    return copy_file(record, destination);
  }
  if (!store) return kErrInvalidParameter;
  std::string folder = destination;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const int rc = CreateFolderTree(folder);
  if (rc != kSuccess) return rc;
  const int level = static_cast<int>(std::count(folder.begin(), folder.end(), '/')) - base_depth;
  if (level < 0) return kErrInvalidParameter;
  return CopyFolderTree(*store, record, folder, level, level_limit, copy_file);
}

}  // namespace velmora::ntfs
