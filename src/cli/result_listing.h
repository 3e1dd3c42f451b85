#pragma once

#include <string>

#include "cli/arguments.h"
#include "engine/file_recovery_parse.h"

namespace velmora::cli {

// Files of a scan result in the given categories ("photo,video", "all", ...).
int ListRecords(IFileRecoveryParse* engine, const std::string& categories, ScanRecordList* out,
                std::string* error);

// The --type values joined with ","; "all" when none was given.
std::string CategoriesOption(const ParsedArgs& parsed);

// Human text for the error codes engines return.
std::string DescribeError(int code);

}  // namespace velmora::cli
