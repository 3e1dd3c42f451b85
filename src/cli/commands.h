#pragma once

#include <string>
#include <vector>

namespace velmora::cli {

// Exit statuses shared by every command.
constexpr int kExitOk = 0;
constexpr int kExitPartial = 1;  // some files failed / nothing found
constexpr int kExitUsage = 2;    // usage error or unreadable source
constexpr int kExitBusy = 3;     // another velmora process scans the source or reads its result

// The status of a command that could not open or scan its source for `error`.
int FailureExit(int error);

using Args = std::vector<std::string>;

int RunInfo(const Args& args);
int RunScan(const Args& args);
int RunList(const Args& args);
int RunRecover(const Args& args);
int RunDisks(const Args& args);
int RunImage(const Args& args);
int RunIdentify(const Args& args);
int RunPreview(const Args& args);
int RunCat(const Args& args);

}  // namespace velmora::cli
