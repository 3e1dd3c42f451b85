#pragma once

#include <ctime>
#include <string>

namespace velmora::gui {

// "2014-5-3&14-7-9.dmp": the report's name for a local time, numbers without
// leading zeros.
std::string CrashReportName(const std::tm& local_time);

// On a fatal signal writes "D-Error/<name>" (the signal and a backtrace) under
// the current folder, or under `fallback_folder` when that cannot be written,
// then lets the signal end the process.
void InstallCrashHandler(const std::string& fallback_folder);

}  // namespace velmora::gui
