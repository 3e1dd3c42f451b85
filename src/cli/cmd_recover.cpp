// velmora recover SOURCE --to DIR [--quick | --deep] [--all] [CHOICE...] [--keep-paths] [--again]
//                 [--allow-same-device] [--quiet] [--json]
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/file_choice.h"
#include "app/recovery_workflow.h"
#include "app/same_volume.h"
#include "app/source_session.h"
#include "cli/arguments.h"
#include "cli/partition_sources.h"
#include "cli/result_listing.h"
#include "cli/scan_session.h"
#include "engine/recovery_output.h"
#include "storage/error_codes.h"

namespace velmora::cli {

namespace {

// Prints a line per file as it finishes; failures and suspect contents go to
// stderr whatever else is asked.
class RecoveryPrinter : public TerminalObserver {
 public:
  RecoveryPrinter(app::CancelToken& cancel, bool per_file)
      : TerminalObserver("recover", cancel), per_file_(per_file) {}

  void OnRecoveryLine(const app::RecoveryLine& line) override {
    lines.push_back(line);
    const std::string target = app::EscapeControl(line.target);
    if (line.failed) {
      std::fprintf(
          stderr, "failed: %s: %s%s\n", target.c_str(), DescribeError(line.error).c_str(),
          line.kept.empty()
              ? ""
              : ("; what could be read is kept as " + app::EscapeControl(line.kept)).c_str());
      return;
    }
    if (per_file_) {
      std::printf("%-9s %-12llu %s\n", line.skipped ? "skipped" : "recovered",
                  static_cast<unsigned long long>(line.id), target.c_str());
      std::fflush(stdout);
    }
    if (line.unreadable_bytes != 0) {
      ++partly_unreadable;
      // Kept, with zeros where the medium could not be read.
      std::string ranges;
      for (size_t i = 0; i < line.unreadable.size() && i < 8; ++i) {
        const auto& range = line.unreadable[i];
        ranges +=
            (i ? ", " : "") + std::to_string(range.offset) + "+" + std::to_string(range.length);
      }
      if (line.unreadable.size() > 8) ranges += ", ...";
      std::fprintf(stderr, "partly unreadable: %s: %llu bytes written as zeros (source bytes %s)\n",
                   target.c_str(), static_cast<unsigned long long>(line.unreadable_bytes),
                   ranges.c_str());
    }
    if (line.content_contradicts_result && !line.skipped) {
      ++contradicted;
      // The result said these bytes were what the name says: it, or the medium, changed since.
      std::fprintf(stderr,
                   "content differs: %s: its bytes do not match its type, though the scan found "
                   "they did; the saved result or the source changed since the scan\n",
                   target.c_str());
    } else if (line.content_differs && !line.skipped) {
      ++suspect;
      // Written as it is on the medium, but its bytes are not what its name says.
      std::fprintf(stderr,
                   "content differs: %s: its bytes do not match its type; probably overwritten\n",
                   target.c_str());
    }
  }

  std::vector<app::RecoveryLine> lines;
  size_t suspect = 0;
  size_t contradicted = 0;
  size_t partly_unreadable = 0;

 private:
  bool per_file_;
};

}  // namespace

int RunRecover(const Args& args) {
  std::set<std::string> valued(ChoiceOptions().begin(), ChoiceOptions().end());
  valued.insert("--to");
  const ParsedArgs parsed(args,
                          {"--quick", "--deep", "--keep-paths", "--again", "--quiet", "--json",
                           "--all", "--allow-same-device"},
                          valued, RepeatableChoiceOptions());
  if (const std::string reason = CheckArguments(parsed, {"SOURCE"}); !reason.empty()) {
    return UsageError("recover", reason);
  }
  if (parsed.Value("--to").empty()) return UsageError("recover", "--to is required");
  app::FileChoice choice;
  std::string error;
  if (!ReadChoice(parsed, &choice, &error)) return UsageError("recover", error);
  const bool json = parsed.Has("--json");
  const std::string categories = CategoriesOption(parsed);

  // A partitioned image has no file system of its own: its files belong to its partitions,
  // and the ids its listing showed lead to theirs.
  if (const auto partitions =
          ResultPartitionsOf(parsed.Positionals()[0], parsed.Has("--quick"), parsed.Has("--deep"));
      !partitions.empty()) {
    return RunOnPartitionOfIds(RunRecover, "recover", args, parsed.Positionals()[0], partitions,
                               choice.ids, parsed.Has("--quick"));
  }
  app::SourceSession session;
  const std::string source_text = parsed.Positionals()[0];
  if (session.Resolve(source_text, &error) != 0) {
    std::fprintf(stderr, "velmora recover: %s\n", error.c_str());
    return kExitUsage;
  }
  std::string destination = parsed.Value("--to");
  while (destination.size() > 1 && destination.back() == '/') destination.pop_back();
  // Asked before anything is written: files recovered onto the scanned volume can overwrite
  // the ones still to be recovered.
  if (app::DestinationOnSource(session.Source(), destination)) {
    if (!parsed.Has("--allow-same-device")) {
      std::fprintf(stderr,
                   "velmora recover: '%s' lies on %s, the source being recovered; recovered "
                   "files could overwrite the files still to be recovered. Choose a folder on "
                   "another device, or give --allow-same-device to write there anyway\n",
                   app::EscapeControl(destination).c_str(),
                   app::EscapeControl(source_text).c_str());
      return kExitUsage;
    }
    std::fprintf(stderr,
                 "velmora recover: warning: '%s' lies on the scanned source; recovered files may "
                 "overwrite data that is still to be recovered\n",
                 app::EscapeControl(destination).c_str());
  }
  if (CreateFolderTree(destination) != 0) {
    std::fprintf(stderr, "velmora recover: cannot create the destination '%s'\n",
                 EscapeControl(destination).c_str());
    return kExitUsage;
  }

  app::CancelToken cancel;
  RecoveryPrinter printer(cancel, !json && !parsed.Has("--quiet"));
  printer.SetLabel(parsed.Has("--deep") ? "deep scan" : "quick scan");
  app::ScanMode used;
  if (const int err = session.Open(ModeOption(parsed), printer, cancel, &used, &error); err != 0) {
    printer.Finish();
    std::fprintf(stderr, "velmora recover: %s\n", error.c_str());
    return FailureExit(err);
  }
  printer.Finish();
  if (parsed.Has("--all") && !ListExistingFiles(session, &error)) {
    std::fprintf(stderr, "velmora recover: %s\n", error.c_str());
    return kExitPartial;
  }
  std::vector<app::FoundFile> files;
  std::vector<app::IdSet::Range> unknown_ids;
  if (ChooseFiles(session.Engine(), categories, choice, &files, &unknown_ids, &error) != 0) {
    std::fprintf(stderr, "velmora recover: %s\n", error.c_str());
    return kExitUsage;
  }
  ReportUnknownIds("recover", unknown_ids);
  ScanRecordList records;
  for (const app::FoundFile& file : files) records.push_back(file.record);

  app::RecoveryWorkflow workflow(session.Sources(), {});
  app::RecoveryOptions options;
  options.keep_paths = parsed.Has("--keep-paths");
  options.keep_partial = true;
  options.manifest = true;
  options.again = parsed.Has("--again");
  options.source_name = session.Source().IsImage() ? session.Source().image_path : source_text;
  options.engine = session.Engine();
  workflow.SetOptions(options);
  const app::RunResult run = workflow.Run(records, destination, printer, cancel);
  printer.Finish();
  const bool stopped = run == app::RunResult::kCancelled;
  const app::RecoveryCounts& counts = workflow.Counts();
  if (workflow.ManifestError() != kSuccess) {
    std::fprintf(stderr, "velmora recover: cannot write %s in '%s': %s\n", app::kManifestName,
                 EscapeControl(destination).c_str(),
                 DescribeError(workflow.ManifestError()).c_str());
  }
  // A stopped deep scan's result lacks the files past where it stopped.
  const app::PartialResult stopped_scan = session.Partial();
  const bool partial = counts.failed > 0 || stopped || !unknown_ids.empty() ||
                       printer.partly_unreadable > 0 || printer.contradicted > 0 ||
                       workflow.ManifestError() != kSuccess || stopped_scan.partial;
  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (const app::RecoveryLine& line : printer.lines) {
      list.push_back(
          {{"id", line.id},
           {"source_path", line.source_path},
           {"output", line.target},
           {"size", line.size},
           {"sha256", line.sha256.empty() ? nlohmann::json(nullptr) : nlohmann::json(line.sha256)},
           {"skipped", line.skipped},
           {"content_differs", line.content_differs},
           {"content_contradicts_result", line.content_contradicts_result},
           {"error",
            line.failed ? nlohmann::json(DescribeError(line.error)) : nlohmann::json(nullptr)},
           {"kept", line.kept.empty() ? nlohmann::json(nullptr) : nlohmann::json(line.kept)}});
      if (line.unreadable_bytes != 0) {
        nlohmann::json ranges = nlohmann::json::array();
        for (const auto& range : line.unreadable) ranges.push_back({range.offset, range.length});
        list.back()["unreadable"] = std::move(ranges);
      }
    }
    // The ids themselves while they are few; their count always.
    constexpr size_t kListedIds = 1000;
    nlohmann::json unknown = nlohmann::json::array();
    for (const auto& [first, last] : unknown_ids) {
      for (uint64_t id = first; unknown.size() < kListedIds; ++id) {
        unknown.push_back(id);
        if (id == last) break;
      }
    }
    const nlohmann::json out = {{"destination", destination},
                                {"manifest", JoinPath(destination, app::kManifestName)},
                                {"cancelled", stopped},
                                {"processed", counts.processed},
                                {"succeeded", counts.processed - counts.failed},
                                {"failed", counts.failed},
                                {"skipped", workflow.Skipped()},
                                {"unknown_ids", unknown},
                                {"unknown_id_count", CountIds(unknown_ids)},
                                {"partial_result", stopped_scan.partial},
                                {"files", list}};
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    ReportPartialResult(session, source_text);
    return partial ? kExitPartial : kExitOk;
  }
  // stdout holds the line per file; the summary goes to stderr.
  std::fflush(stdout);
  if (stopped) std::fprintf(stderr, "Recovery cancelled.\n");
  std::fprintf(stderr, "Recovered into %s: %d processed, %d succeeded, %d failed\n",
               EscapeControl(destination).c_str(), counts.processed,
               counts.processed - counts.failed, counts.failed);
  if (workflow.Skipped() > 0) {
    std::fprintf(stderr,
                 "%d files were recovered into %s before and are unchanged there; skipped "
                 "(--again writes copies)\n",
                 workflow.Skipped(), EscapeControl(destination).c_str());
  }
  if (printer.suspect > 0) {
    std::fprintf(stderr,
                 "%zu of the recovered files do not match their type (probably overwritten)\n",
                 printer.suspect);
  }
  if (printer.contradicted > 0) {
    std::fprintf(stderr,
                 "%zu of the recovered files are not what the scan found (their bytes contradict "
                 "it); scan the source again before trusting them\n",
                 printer.contradicted);
  }
  if (printer.partly_unreadable > 0) {
    std::fprintf(stderr,
                 "%zu of the recovered files lie partly on unreadable sectors; those bytes are "
                 "zeros\n",
                 printer.partly_unreadable);
  }
  ReportPartialResult(session, source_text);
  return partial ? kExitPartial : kExitOk;
}

}  // namespace velmora::cli
