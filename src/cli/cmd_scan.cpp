// velmora scan SOURCE [--quick | --deep] [--fresh] [--json]
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "app/source_session.h"
#include "cli/arguments.h"
#include "cli/partition_sources.h"
#include "cli/result_listing.h"
#include "cli/scan_session.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "storage/error_codes.h"
#include "storage/text_codec.h"

namespace velmora::cli {

int RunScan(const Args& args) {
  const ParsedArgs parsed(args, {"--quick", "--deep", "--fresh", "--json"}, {});
  if (const std::string reason = CheckArguments(parsed, {"SOURCE"}); !reason.empty()) {
    return UsageError("scan", reason);
  }
  // A disk image or card dump with a partition table: each partition on its own.
  // A deep scan reads the whole image instead: the space between partitions (a deleted
  // partition) holds files too.
  if (const auto partitions = PartitionsOf(parsed.Positionals()[0]);
      !partitions.empty() && !parsed.Has("--deep")) {
    return ScanPartitions(args, parsed.Positionals()[0], partitions);
  }
  const bool deep = parsed.Has("--deep");
  const app::ScanMode mode = deep ? app::ScanMode::kDeep : app::ScanMode::kQuick;
  app::SourceSession session;
  std::string error;
  const std::string source_text = parsed.Positionals()[0];
  if (session.Resolve(source_text, &error) != 0) {
    std::fprintf(stderr, "velmora scan: %s\n", error.c_str());
    return kExitUsage;
  }
  app::CancelToken cancel;
  int result = kSuccess;
  {
    TerminalObserver observer(deep ? "deep scan" : "quick scan", cancel);
    // `scan` always scans; a deep scan continues a saved one of the same unchanged
    // source unless --fresh. A saved result is only reused by the other commands.
    result = session.Scan(mode, parsed.Has("--fresh"), observer, cancel, &error);
  }
  const bool cancelled = result == kCancelledByUser;
  if (deep && session.LastDeepOutcome().finished_before && session.LastDeepOutcome().complete) {
    std::fprintf(stderr, "(--fresh scans it again)\n");
  }
  if (result != kSuccess && !cancelled) {
    std::fprintf(stderr, "velmora scan: %s\n", error.c_str());
    return FailureExit(result);
  }
  IFileRecoveryParse* engine = session.Engine();
  const app::DeepScanOutcome& outcome = session.LastDeepOutcome();
  // Metadata that could not be read leaves files out of the result: a partial result.
  const MetadataReadFaults& faults = session.LastReadFaults();
  const bool partial = cancelled || faults.count != 0;

  ScanRecordList records;
  // Only counted here: the order of a listing is not needed.
  ListRecordsToCount(engine, "all", &records, &error);
  std::map<std::string, uint64_t> per_category;
  for (const char* category : {"photo", "audio", "video", "document", "archive", "others"}) {
    per_category[category] = 0;
  }
  for (const auto& record : records) ++per_category[CategoryOfRecord(record)];
  const std::string folder = ScanIndex::Instance().CurrentFolder();

  if (parsed.Has("--json")) {
    nlohmann::json out = {{"source", source_text},   {"mode", deep ? "deep" : "quick"},
                          {"cancelled", cancelled},  {"records", engine->GetRecordCount()},
                          {"files", records.size()}, {"categories", per_category},
                          {"result_folder", folder}, {"unreadable_metadata", faults.count}};
    if (faults.count != 0) out["unreadable_metadata_notice"] = faults.notice;
    if (deep) {
      out["resumed"] = outcome.resumed;
      out["resumed_percent"] = outcome.resumed_percent;
      out["complete"] = outcome.complete;
      out["reopened_finished"] = outcome.finished_before && outcome.complete;
      const app::PartialResult stopped_at = session.Partial();
      out["partial"] = stopped_at.partial;
      if (stopped_at.partial) {
        out["stopped_at_sector"] = stopped_at.position;
        out["finish_command"] = FinishCommand(source_text);
      }
      out["state_saved"] = outcome.saved;
      out["unreadable_sectors"] = outcome.unreadable_sectors;
      out["failed_buffers"] = outcome.failed_buffers;
    }
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return partial ? kExitPartial : kExitOk;
  }
  // stdout holds the counts; notices and the next commands go to stderr.
  if (cancelled && deep && outcome.saved) {
    std::fprintf(stderr,
                 "Deep scan stopped; its state is saved. Run the same command again to "
                 "resume, or add --fresh to start over.\n");
  } else if (deep && !cancelled) {
    ReportPartialResult(session, source_text);
  } else if (cancelled) {
    std::fprintf(stderr, "Scan cancelled; what was found so far is kept.\n");
  }
  if (deep && outcome.failed_buffers != 0) {
    std::fprintf(stderr, "%llu buffers could not be examined and were skipped (first: %s).\n",
                 static_cast<unsigned long long>(outcome.failed_buffers),
                 outcome.first_buffer_failure.c_str());
  }
  if (deep && outcome.unreadable_sectors != 0) {
    std::fprintf(stderr, "%llu sectors could not be read and were skipped.\n",
                 static_cast<unsigned long long>(outcome.unreadable_sectors));
  }
  std::printf("%s scan of %s: %llu records, %zu files\n", deep ? "Deep" : "Quick",
              EscapeControl(source_text).c_str(),
              static_cast<unsigned long long>(engine->GetRecordCount()), records.size());
  for (const char* category : {"photo", "audio", "video", "document", "archive", "others"}) {
    std::printf("  %-9s %llu\n", category, static_cast<unsigned long long>(per_category[category]));
  }
  std::fflush(stdout);
  std::fprintf(stderr,
               "Results saved in %s; use 'velmora list' and 'velmora recover' to use them.\n",
               EscapeControl(folder).c_str());
  const std::string word = ShellWord(source_text);
  const char* mode_option = deep ? " --deep" : " --quick";
  if (!deep && records.empty() && !cancelled) {
    std::fprintf(stderr,
                 "The quick scan found no deleted files; after a format, or to find more, "
                 "scan deeper:\n  velmora scan %s --deep\n",
                 word.c_str());
  } else {
    std::fprintf(stderr, "  velmora list %s%s\n  velmora recover %s%s --to DIR\n", word.c_str(),
                 mode_option, word.c_str(), mode_option);
  }
  return partial ? kExitPartial : kExitOk;
}

}  // namespace velmora::cli
