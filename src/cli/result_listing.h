#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/file_choice.h"
#include "app/scan_source.h"
#include "app/source_session.h"
#include "cli/arguments.h"
#include "engine/file_recovery_parse.h"

namespace velmora::cli {

// Files of a scan result in the given categories ("photo,video", "all", ...).
int ListRecords(IFileRecoveryParse* engine, const std::string& categories, ScanRecordList* out,
                std::string* error);
// The same files in no particular order, for counting them by kind.
int ListRecordsToCount(IFileRecoveryParse* engine, const std::string& categories,
                       ScanRecordList* out, std::string* error);

// The --type values joined with ","; "all" when none was given.
std::string CategoriesOption(const ParsedArgs& parsed);

// Human text for the error codes engines return.
std::string DescribeError(int code);

// The valued options that choose files (list and recover), and those of them that may be
// given more than once.
const std::vector<std::string>& ChoiceOptions();
const std::set<std::string>& RepeatableChoiceOptions();
// Reads them; false with the reason in `error`.
bool ReadChoice(const ParsedArgs& parsed, app::FileChoice* choice, std::string* error);

// --quick / --deep, or none (the newest saved result).
std::optional<app::ScanMode> ModeOption(const ParsedArgs& parsed);

// --all: makes the session's engine list existing files beside deleted ones. False, with the
// reason and the command that helps, when its result was made before existing files were
// recorded: it would silently show deleted files only.
bool ListExistingFiles(app::SourceSession& session, std::string* error);

// The chosen files of the result `engine` holds, with the ids of `choice`
// that name no file of the result at all in `unknown_ids`.
int ChooseFiles(IFileRecoveryParse* engine, const std::string& categories,
                const app::FileChoice& choice, std::vector<app::FoundFile>* files,
                std::vector<app::IdSet::Range>* unknown_ids, std::string* error);

// Names the ids that name no file on stderr: a line each while they are few, else one line
// with their count and ranges, so a wide --id range cannot flood the terminal.
void ReportUnknownIds(const std::string& command,
                      const std::vector<app::IdSet::Range>& unknown_ids);
// How many ids the ranges hold (UINT64_MAX when more).
uint64_t CountIds(const std::vector<app::IdSet::Range>& ranges);

}  // namespace velmora::cli
