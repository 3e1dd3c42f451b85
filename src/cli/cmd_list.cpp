// velmora list SOURCE [--quick | --deep] [--all] [CHOICE...] [--sort KEY] [--tree] [--json]
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/file_choice.h"
#include "app/source_session.h"
#include "cli/arguments.h"
#include "cli/partition_sources.h"
#include "cli/result_listing.h"
#include "cli/scan_session.h"
#include "engine/categories.h"
#include "engine/overwrite_estimate.h"
#include "engine/record_text.h"

namespace velmora::cli {

namespace {

nlohmann::json TimeValue(const ScanRecord& record, uint64_t filetime) {
  const std::string text = app::RecordTimeText(record, filetime);
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

// How to read the times: "local" (FAT: wall-clock, no zone), "utc" (NTFS), null (none kept).
nlohmann::json TimeZoneValue(const ScanRecord& record) {
  const app::RecordTimeZone zone = app::TimeZoneOf(record);
  return zone == app::RecordTimeZone::kNone ? nlohmann::json(nullptr)
                                            : nlohmann::json(app::TimeZoneName(zone));
}

// NTFS keeps two sets of times: the main fields are the ones the system keeps up to date
// ($STANDARD_INFORMATION), the set in the file's $FILE_NAME follows as "file_name_times".
void AddExtraTimes(const app::FoundFile& file, nlohmann::json* item) {
  if (!file.extra_times) return;
  const RecordTimesEntry& t = *file.extra_times;
  (*item)["changed"] = TimeValue(file.record, t.changed);
  (*item)["times_from"] =
      (t.flags & kTimesFromFileName) != 0 ? "$FILE_NAME" : "$STANDARD_INFORMATION";
  if ((t.flags & kTimesHasNameSet) == 0) return;
  (*item)["file_name_times"] = {{"modified", TimeValue(file.record, t.name_modified)},
                                {"created", TimeValue(file.record, t.name_created)},
                                {"accessed", TimeValue(file.record, t.name_accessed)},
                                {"changed", TimeValue(file.record, t.name_changed)}};
}

// One element at a time, indented as a whole-array dump would be, so the output
// never has to be held in memory.
void PrintJson(const std::vector<app::FoundFile>& files, bool with_entry) {
  if (files.empty()) {
    std::fputs("[]\n", stdout);
    return;
  }
  std::fputs("[\n", stdout);
  std::string element;
  for (size_t i = 0; i < files.size(); ++i) {
    const app::FoundFile& file = files[i];
    const ScanRecord& record = file.record;
    std::string path = file.volume_path;
    if (!path.empty() && path.back() == '/') path.pop_back();
    const bool known = file.state.state != app::FileState::kUnknown;
    nlohmann::json item = {
        {"id", file.id},
        {"name", file.name},
        {"path", path},
        {"size", record.size.get()},
        {"is_dir", record.is_directory != 0},
        {"source_kind", record.source_kind.get()},
        {"category", CategoryOfRecord(record)},
        {"name_category", CategoryOfName(file.name)},
        {"content_check", ContentAgrees(record) ? 1 : 0},
        {"content_type", ContentCategoryOf(record) != nullptr && !ContentExtensionOf(record).empty()
                             ? nlohmann::json(ContentExtensionOf(record))
                             : nlohmann::json(nullptr)},
        {"overwritten_percent",
         known ? nlohmann::json(OverwrittenPercent(file.state.estimate)) : nlohmann::json(nullptr)},
        {"state", known ? file.state.Text() : "unknown"},
        {"beyond_source_percent", known ? nlohmann::json(BeyondSourcePercent(file.state.estimate))
                                        : nlohmann::json(nullptr)},
        {"modified", TimeValue(record, record.last_write)},
        {"created", TimeValue(record, record.created)},
        {"accessed", TimeValue(record, record.last_access)},
        {"time_zone", TimeZoneValue(record)}};
    AddExtraTimes(file, &item);
    if (with_entry) item["entry"] = EntryStateText(EntryStateOf(record));
    element = item.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    std::string indented = "  ";
    indented.reserve(element.size() + 64);
    for (char c : element) {
      indented.push_back(c);
      if (c == '\n') indented.append("  ");
    }
    if (i + 1 < files.size()) indented.append(",\n");
    std::fwrite(indented.data(), 1, indented.size(), stdout);
  }
  std::fputs("\n]\n", stdout);
}

std::string OrDash(const std::string& text) { return text.empty() ? "-" : text; }

// "ok", "differs", or the type the content was found to be where it, not the name, gives the
// category ("=jpg").
std::string ContentText(const ScanRecord& record) {
  if (ContentCategoryOf(record) != nullptr) {
    const std::string extension = ContentExtensionOf(record);
    return "=" + (extension.empty() ? std::string(ContentCategoryOf(record)) : extension);
  }
  return ContentAgrees(record) ? "ok" : "differs";
}

// With `with_entry` an ENTRY column tells live files from deleted ones.
void PrintTable(const std::vector<app::FoundFile>& files, bool with_entry) {
  const char* entry_format = with_entry ? "%-8s " : "%s";
  std::printf("%-12s %12s  %-20s  %-9s ", "ID", "SIZE", "MODIFIED", "CATEGORY");
  std::printf(entry_format, with_entry ? "ENTRY" : "");
  std::printf("%-23s %-7s %s\n", "STATE", "CONTENT", "PATH");
  for (const app::FoundFile& file : files) {
    std::printf("%-12llu %12llu  %-20s  %-9s ", static_cast<unsigned long long>(file.id),
                static_cast<unsigned long long>(file.record.size),
                OrDash(app::RecordTimeText(file.record, file.record.last_write)).c_str(),
                CategoryOfRecord(file.record));
    std::printf(entry_format, with_entry ? EntryStateText(EntryStateOf(file.record)) : "");
    std::printf("%-23s %-7s %s%s\n", OrDash(file.state.Text()).c_str(),
                ContentText(file.record).c_str(), app::EscapeControl(file.volume_path).c_str(),
                app::EscapeControl(file.name).c_str());
  }
  // Counts go beside the rows, not among them: a script reads stdout row by row.
  std::fflush(stdout);
  std::fprintf(stderr, "%zu files\n", files.size());
  size_t by_content = 0;
  for (const app::FoundFile& file : files) by_content += ContentCategoryOf(file.record) != nullptr;
  if (by_content != 0) {
    std::fprintf(stderr,
                 "Note: %zu file(s) are listed under the category of their content, not of their "
                 "name; CONTENT \"=TYPE\" names what the content is.\n",
                 by_content);
  }
}

void PrintTree(const std::vector<app::FoundFile>& files) {
  std::printf("%8s  %s\n", "FILES", "FOLDER");
  for (const app::FolderCount& folder : app::FolderTree(files)) {
    const size_t slash = folder.path.rfind('/');
    const std::string name =
        folder.path.empty() ? "/"
                            : folder.path.substr(slash == std::string::npos ? 0 : slash + 1) + "/";
    std::printf("%8llu  %s%s\n", static_cast<unsigned long long>(folder.files),
                std::string(static_cast<size_t>(folder.depth) * 2, ' ').c_str(),
                app::EscapeControl(name).c_str());
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%zu files\n", files.size());
}

}  // namespace

int RunList(const Args& args) {
  std::set<std::string> valued(ChoiceOptions().begin(), ChoiceOptions().end());
  valued.insert("--sort");
  const ParsedArgs parsed(args, {"--quick", "--deep", "--json", "--tree", "--all"}, valued,
                          RepeatableChoiceOptions());
  if (const std::string reason = CheckArguments(parsed, {"SOURCE"}); !reason.empty()) {
    return UsageError("list", reason);
  }
  if (parsed.Has("--tree") && parsed.Has("--json")) {
    return UsageError("list", "--tree and --json exclude each other");
  }
  // A disk image or card dump with a partition table: each partition on its own.
  // A deep result covers the whole image, partitions and the space between them.
  if (const auto partitions =
          ResultPartitionsOf(parsed.Positionals()[0], parsed.Has("--quick"), parsed.Has("--deep"));
      !partitions.empty()) {
    return ListPartitions(args, parsed.Positionals()[0], partitions);
  }
  app::FileChoice choice;
  std::string error;
  if (!ReadChoice(parsed, &choice, &error)) return UsageError("list", error);
  app::FileOrder order = app::FileOrder::kFound;
  if (!parsed.Values("--sort").empty() &&
      !app::ParseOrder(parsed.Value("--sort"), &order, &error)) {
    return UsageError("list", error);
  }
  const std::string categories = CategoriesOption(parsed);

  app::SourceSession session;
  if (session.Resolve(parsed.Positionals()[0], &error) != 0) {
    std::fprintf(stderr, "velmora list: %s\n", error.c_str());
    return kExitUsage;
  }
  app::CancelToken cancel;
  std::vector<app::FoundFile> files;
  std::vector<app::IdSet::Range> unknown_ids;
  {
    TerminalObserver observer(parsed.Has("--deep") ? "deep scan" : "quick scan", cancel);
    app::ScanMode used;
    if (const int err = session.Open(ModeOption(parsed), observer, cancel, &used, &error);
        err != 0) {
      observer.Finish();
      std::fprintf(stderr, "velmora list: %s\n", error.c_str());
      return FailureExit(err);
    }
    observer.Finish();
  }
  const bool all = parsed.Has("--all");
  if (all && !ListExistingFiles(session, &error)) {
    std::fprintf(stderr, "velmora list: %s\n", error.c_str());
    return kExitPartial;
  }
  if (ChooseFiles(session.Engine(), categories, choice, &files, &unknown_ids, &error) != 0) {
    std::fprintf(stderr, "velmora list: %s\n", error.c_str());
    return kExitUsage;
  }
  app::SortFiles(&files, order);
  if (parsed.Has("--json")) {
    PrintJson(files, all);
  } else if (parsed.Has("--tree")) {
    PrintTree(files);
  } else {
    PrintTable(files, all);
  }
  ReportUnknownIds("list", unknown_ids);
  const bool partial = ReportPartialResult(session, parsed.Positionals()[0]);
  return unknown_ids.empty() && !partial ? kExitOk : kExitPartial;
}

}  // namespace velmora::cli
