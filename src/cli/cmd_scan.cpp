// velmora scan SOURCE [--quick | --deep] [--fresh] [--json]
#include <cstdio>
#include <map>
#include <nlohmann/json.hpp>

#include "cli/arguments.h"
#include "cli/result_listing.h"
#include "cli/scan_session.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"

namespace velmora::cli {

int RunScan(const Args& args) {
  const ParsedArgs parsed(args, {"--quick", "--deep", "--fresh", "--json"}, {});
  if (!parsed.ok() || parsed.Positionals().size() != 1 ||
      (parsed.Has("--quick") && parsed.Has("--deep"))) {
    std::fprintf(stderr, "%s%susage: velmora scan SOURCE [--quick | --deep] [--fresh] [--json]\n",
                 parsed.error().c_str(), parsed.ok() ? "" : "\n");
    return kExitUsage;
  }
  const bool deep = parsed.Has("--deep");
  ScanTarget target;
  std::string error;
  if (ResolveTarget(parsed.Positionals()[0], &target, &error) != 0) {
    std::fprintf(stderr, "velmora scan: %s\n", error.c_str());
    return kExitUsage;
  }
  std::unique_ptr<IFileRecoveryParse> engine;
  bool scanned = false;
  bool cancelled = false;
  DeepScanOutcome outcome;
  if (deep) {
    // A deep scan continues a saved one of the same unchanged source unless --fresh.
    if (RunDeepScan(target, parsed.Has("--fresh"), &engine, &outcome, &error) != 0) {
      std::fprintf(stderr, "velmora scan: %s\n", error.c_str());
      return kExitUsage;
    }
    cancelled = outcome.cancelled;
  } else if (OpenOrScan(target, deep, /*fresh=*/true, true, &engine, &scanned, &cancelled,
                        &error) != 0) {
    // `scan` always scans; a saved result is only reused by list and recover.
    std::fprintf(stderr, "velmora scan: %s\n", error.c_str());
    return kExitUsage;
  }

  ScanRecordList records;
  ListRecords(engine.get(), "all", &records, &error);
  std::map<std::string, uint64_t> per_category;
  for (const char* category : {"photo", "audio", "video", "document", "archive", "others"}) {
    per_category[category] = 0;
  }
  for (const auto& record : records) ++per_category[CategoryOfName(RecordName(record))];
  const std::string folder = ScanIndex::Instance().CurrentFolder();

  if (parsed.Has("--json")) {
    nlohmann::json out = {{"source", target.display},
                          {"mode", deep ? "deep" : "quick"},
                          {"cancelled", cancelled},
                          {"records", engine->GetRecordCount()},
                          {"files", records.size()},
                          {"categories", per_category},
                          {"result_folder", folder}};
    if (deep) {
      out["resumed"] = outcome.resumed;
      out["resumed_percent"] = outcome.resumed_percent;
      out["complete"] = outcome.complete;
      out["state_saved"] = outcome.saved;
      out["unreadable_sectors"] = outcome.unreadable_sectors;
      out["failed_buffers"] = outcome.failed_buffers;
    }
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  } else {
    if (cancelled && deep && outcome.saved) {
      std::printf("Deep scan stopped; its state is saved. Run the same command again to resume, "
                  "or add --fresh to start over.\n");
    } else if (cancelled) {
      std::printf("Scan cancelled; what was found so far is kept.\n");
    }
    if (deep && outcome.failed_buffers != 0) {
      std::printf("%llu buffers could not be examined and were skipped (first: %s).\n",
                  static_cast<unsigned long long>(outcome.failed_buffers),
                  outcome.first_buffer_failure.c_str());
    }
    if (deep && outcome.unreadable_sectors != 0) {
      std::printf("%llu sectors could not be read and were skipped.\n",
                  static_cast<unsigned long long>(outcome.unreadable_sectors));
    }
    std::printf("%s scan of %s: %llu records, %zu files\n", deep ? "Deep" : "Quick",
                target.display.c_str(), static_cast<unsigned long long>(engine->GetRecordCount()),
                records.size());
    for (const char* category : {"photo", "audio", "video", "document", "archive", "others"}) {
      std::printf("  %-9s %llu\n", category,
                  static_cast<unsigned long long>(per_category[category]));
    }
    std::printf("Results saved in %s; use 'velmora list' and 'velmora recover' to use them.\n",
                folder.c_str());
  }
  return cancelled ? kExitPartial : kExitOk;
}

}  // namespace velmora::cli
