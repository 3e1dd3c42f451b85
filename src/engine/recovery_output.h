#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "storage/platform_device.h"

namespace velmora {

// Names come from the scanned disk and are untrusted: the result is one path
// component that cannot leave its folder ("/", "\\", NUL and control
// characters replaced, "." and ".." and empty names given a placeholder).
std::string SafeComponentName(std::string_view name);

// Longest name SafeComponentName gives: a "(n)" still fits the 255-byte limit.
constexpr size_t kMaxComponentBytes = 240;

// `folder`/`name`, or `name(n).ext` with the n after the last one taken (numbers are
// given out in order; found in a logarithmic number of look-ups).
std::string UniquePathIn(const std::string& folder, const std::string& name);

// A number n >= 1 with `taken(n)` false, the first one when the taken numbers are
// 1..k; asks `taken` about 2·log2(k) times.
int FirstFreeNumber(const std::function<bool(int)>& taken);

// "name(n).ext", or "name(n)" without an extension: the form every numbered copy takes.
std::string NumberedName(const std::string& name, int n);

// Creates `folder` and its missing parents.
int CreateFolderTree(const std::string& folder);

// Creates a new file for recovered data; never replaces an existing one
// (O_EXCL). On success `final_path` is the path actually created, which gets
// a "(n)" suffix when `path` is taken.
int CreateOutputFile(const std::string& path, int* fd, std::string* final_path);

// Writes all bytes, retrying partial writes; 29 or the mapped errno on failure.
using platform::WriteAll;

// Joins with a single "/".
std::string JoinPath(const std::string& folder, std::string_view name);

// The folder part of `path`: "." without a "/", "/" for a top-level name.
std::string ParentFolderOf(const std::string& path);

// What follows the last "/" of `path` (all of it without one).
std::string LastPathComponent(const std::string& path);

// After a copy into `path` failed part way with `error`: what was written must
// not pass for a recovered file. An empty file, or one cut short by a full or
// failing destination or a cancel, is removed; data read before a source read
// failure is kept as "<name>.partial". `kept` tells that name ("" when removed).
void SettleFailedOutput(const std::string& path, int error, std::string* kept);

// Recovered files and folders are written under a name with this prefix in their folder and
// take their own name only when complete and synced, so a run killed part way never leaves a
// short file under a real name.
inline constexpr char kTemporaryOutputPrefix[] = ".velmora-part-";

// Removes what earlier runs left under kTemporaryOutputPrefix in the folder open as
// `folder_fd` and in its sub-folders (no link followed; nothing else is touched). The count
// of entries removed.
int RemoveTemporaryLeftovers(int folder_fd);

// Renames `from` to `to` inside the folder open as `folder_fd`, never replacing what stands
// at `to`. 0, kErrFileExists when `to` is taken, or the error.
int RenameWithoutReplacing(int folder_fd, const std::string& from, const std::string& to);

// Progress in whole percent; an empty total counts as finished.
int PercentDone(uint64_t done, uint64_t total);

// A sub-folder for a recovered directory: an existing real folder of that name
// is used again (its files get "(n)" names); a link or a file of that name is
// never followed or replaced, the folder gets a "(n)" name instead.
int MakeRecoveredSubfolder(const std::string& parent, const std::string& name, std::string* out);

}  // namespace velmora
