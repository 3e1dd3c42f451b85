#pragma once

#include <sys/types.h>

#include <string>

namespace velmora {

// Everything below the scan-log directory is ours: an entry there that is a symbolic link
// was planted, and following it would let a scan, a lock or an index save write anywhere.
// Paths below ScanLogDirectory() are walked one folder at a time from it, no link followed
// (kErrLinkInDataFolder names the refusal); folders are created 0700. Paths elsewhere (tests,
// tools) get the same treatment of their last component only.

// Creates `folder` (and its missing parents).
[[nodiscard]] int CreateDataFolder(const std::string& folder);
// open(2) of `path` without following a link anywhere below the scan-log directory; with
// O_CREAT the missing folders on the way are created. The descriptor, or -1 with `*error`
// set (when given).
int OpenDataFile(const std::string& path, int flags, mode_t mode, int* error = nullptr);
// Removes what stands at `path` when it is a symbolic link (our own temporary and lock files
// are never links); true when nothing link-like is left there.
bool RemovePlantedLink(const std::string& path);

}  // namespace velmora
