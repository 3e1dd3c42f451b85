#pragma once

#include <functional>
#include <string>

#include "engine/scan_log_store.h"
#include "engine/scan_record.h"

namespace velmora::ntfs {

// Copies one file record to `path`.
using RecordFileCopier = std::function<int(const ScanRecord& record, const std::string& path)>;

// Copies the folders and files below `top` (at `level` in the store's tree)
// into `destination`, breadth first: a folder's files are copied before the
// folders below it. Sub-folders reuse an existing real folder of the name.
// When `level_limit` is above 0, folders at that level or deeper are not
// entered, so a tree with a loop in it still ends. A cancel stops at once;
// otherwise the last result is returned.
int CopyFolderTree(ScanLogStore& store, const ScanRecord& top, const std::string& destination,
                   int level, int level_limit, const RecordFileCopier& copy_file);

// Recovers `record` to `destination`, for either engine: a file into the folder part of it
// (created when missing); a folder by creating `destination` and copying the tree below it.
// The folder's level in the store's tree is the separators of `destination` less `base_depth`;
// a negative level, an empty destination or a folder without `store` are refused.
int RecoverRecordTo(ScanLogStore* store, const ScanRecord& record, const std::string& destination,
                    int base_depth, int level_limit, const RecordFileCopier& copy_file);

}  // namespace velmora::ntfs
