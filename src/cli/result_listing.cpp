#include "cli/result_listing.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <set>

#include "app/error_text.h"
#include "cli/scan_session.h"
#include "engine/categories.h"
#include "storage/error_codes.h"

namespace velmora::cli {

namespace {

int ListInOrder(IFileRecoveryParse* engine, const std::string& categories, ScanRecordList* out,
                std::string* error, bool sorted) {
  std::string filter;
  if (!FilterForCategories(categories, &filter)) {
    *error = "unknown category in '" + categories +
             "' (use photo, audio, video, document, archive, others, all)";
    return kErrInvalidParameter;
  }
  ListFilesOf(engine, filter, out, sorted);
  return kSuccess;
}

}  // namespace

int ListRecords(IFileRecoveryParse* engine, const std::string& categories, ScanRecordList* out,
                std::string* error) {
  return ListInOrder(engine, categories, out, error, true);
}

int ListRecordsToCount(IFileRecoveryParse* engine, const std::string& categories,
                       ScanRecordList* out, std::string* error) {
  return ListInOrder(engine, categories, out, error, false);
}

std::string CategoriesOption(const ParsedArgs& parsed) {
  std::string categories;
  for (const auto& value : parsed.Values("--type")) {
    if (!categories.empty()) categories += ',';
    categories += value;
  }
  return categories.empty() ? "all" : categories;
}

std::string DescribeError(int code) { return app::ResultText(code); }

const std::vector<std::string>& ChoiceOptions() {
  static const std::vector<std::string> kOptions = {
      "--type",  "--name",  "--path", "--min-size", "--max-size",
      "--since", "--until", "--id",   "--ids-from", "--state"};
  return kOptions;
}

const std::set<std::string>& RepeatableChoiceOptions() {
  static const std::set<std::string> kRepeatable = {"--type", "--name",     "--path",
                                                    "--id",   "--ids-from", "--state"};
  return kRepeatable;
}

bool ReadChoice(const ParsedArgs& parsed, app::FileChoice* choice, std::string* error) {
  for (const auto& glob : parsed.Values("--name")) {
    if (glob.empty()) {
      *error = "--name needs a pattern";
      return false;
    }
    choice->names.push_back(glob);
  }
  for (const auto& folder : parsed.Values("--path")) choice->folders.push_back(folder);
  uint64_t value = 0;
  if (!parsed.Values("--min-size").empty()) {
    if (!app::ParseSize(parsed.Value("--min-size"), &value, error)) return false;
    choice->min_size = value;
  }
  if (!parsed.Values("--max-size").empty()) {
    if (!app::ParseSize(parsed.Value("--max-size"), &value, error)) return false;
    choice->max_size = value;
  }
  if (!parsed.Values("--since").empty()) {
    if (!app::ParseTime(parsed.Value("--since"), false, &value, error)) return false;
    choice->since = value;
  }
  if (!parsed.Values("--until").empty()) {
    if (!app::ParseTime(parsed.Value("--until"), true, &value, error)) return false;
    choice->until = value;
  }
  for (const auto& list : parsed.Values("--id")) {
    if (!app::ParseIdList(list, &choice->ids, error)) return false;
  }
  for (const auto& file : parsed.Values("--ids-from")) {
    std::string text;
    if (file == "-") {
      text.assign(std::istreambuf_iterator<char>(std::cin), {});
    } else {
      std::ifstream in(file);
      if (!in) {
        *error = "cannot read the id list '" + file + "'";
        return false;
      }
      text.assign(std::istreambuf_iterator<char>(in), {});
    }
    // One id, list or range per word; lines, blanks and commas all separate.
    std::string word;
    bool any = false;
    for (size_t i = 0; i <= text.size(); ++i) {
      const char c = i < text.size() ? text[i] : '\n';
      if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',') {
        if (!word.empty() && !app::ParseIdList(word, &choice->ids, error)) return false;
        any = any || !word.empty();
        word.clear();
      } else {
        word += c;
      }
    }
    if (!any) {
      *error = "'" + file + "' holds no ids";
      return false;
    }
  }
  for (const auto& state : parsed.Values("--state")) {
    app::FileState parsed_state;
    if (!app::ParseState(state, &parsed_state, error)) return false;
    choice->states.insert(parsed_state);
  }
  return true;
}

std::optional<app::ScanMode> ModeOption(const ParsedArgs& parsed) {
  if (parsed.Has("--deep")) return app::ScanMode::kDeep;
  if (parsed.Has("--quick")) return app::ScanMode::kQuick;
  return std::nullopt;
}

bool ListExistingFiles(app::SourceSession& session, std::string* error) {
  if (!session.ResultHoldsExistingFiles()) {
    const std::string source = ShellWord(session.Source().display);
    const bool deep = session.UsedMode() == app::ScanMode::kDeep;
    *error = "the saved " + std::string(app::ModeName(session.UsedMode())) + " scan of " +
             session.Source().Label() +
             " lists deleted files only (it was made before existing files were recorded); "
             "scan again to see every file: velmora scan " +
             source + (deep ? " --deep --fresh" : "");
    return false;
  }
  SetListExistingFiles(session.Engine(), true);
  return true;
}

int ChooseFiles(IFileRecoveryParse* engine, const std::string& categories,
                const app::FileChoice& choice, std::vector<app::FoundFile>* files,
                std::vector<app::IdSet::Range>* unknown_ids, std::string* error) {
  ScanRecordList records;
  int err = ListRecords(engine, categories, &records, error);
  if (err != kSuccess) return err;
  // Choosing by id alone leaves the states unasked: they cost a look at the volume.
  ScanRecordList chosen;
  for (const ScanRecord& record : records) {
    if (choice.ids.empty() || choice.ids.Contains(app::RecordId(record))) chosen.push_back(record);
  }
  for (app::FoundFile& file : app::DescribeFiles(engine, chosen)) {
    if (choice.Matches(file)) files->push_back(std::move(file));
  }
  if (!choice.ids.empty()) {
    if (categories != "all") {
      records.clear();
      ListRecords(engine, "all", &records, error);
    }
    std::vector<uint64_t> known;
    known.reserve(records.size());
    for (const ScanRecord& record : records) known.push_back(app::RecordId(record));
    std::sort(known.begin(), known.end());
    known.erase(std::unique(known.begin(), known.end()), known.end());
    *unknown_ids = choice.ids.Missing(known);
  }
  return kSuccess;
}

uint64_t CountIds(const std::vector<app::IdSet::Range>& ranges) {
  app::IdSet set;
  for (const auto& [first, last] : ranges) set.Add(first, last);
  return set.Count();
}

void ReportUnknownIds(const std::string& command,
                      const std::vector<app::IdSet::Range>& unknown_ids) {
  constexpr uint64_t kOneLineEach = 10;
  const uint64_t count = CountIds(unknown_ids);
  if (count == 0) return;
  if (count <= kOneLineEach) {
    for (const auto& [first, last] : unknown_ids) {
      for (uint64_t id = first;; ++id) {
        std::fprintf(stderr, "velmora %s: no file with id %llu in the scan result\n",
                     command.c_str(), static_cast<unsigned long long>(id));
        if (id == last) break;
      }
    }
    return;
  }
  std::fprintf(stderr,
               "velmora %s: %llu of the ids asked for name no file in the scan result (%s)\n",
               command.c_str(), static_cast<unsigned long long>(count),
               app::RangesText(unknown_ids, 20).c_str());
}

}  // namespace velmora::cli
