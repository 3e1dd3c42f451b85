// velmora list SOURCE [--quick | --deep] [--type CATEGORY[,CATEGORY...]] [--json]
#include <cstdio>
#include <nlohmann/json.hpp>

#include "cli/arguments.h"
#include "cli/result_listing.h"
#include "cli/scan_session.h"
#include "engine/categories.h"
#include "engine/overwrite_estimate.h"
#include "engine/record_text.h"

namespace velmora::cli {

namespace {

nlohmann::json TimeValue(uint64_t filetime) {
  const std::string text = FiletimeToIso(filetime);
  return text.empty() ? nlohmann::json(nullptr) : nlohmann::json(text);
}

// What is left of a file: "intact", "partly overwritten NN%", "overwritten", or
// "-" when the engine cannot tell (carved files).
struct LeftOfFile {
  bool known = false;
  OverwriteEstimate estimate;
};

LeftOfFile EstimateFor(IFileRecoveryParse* engine, const ScanRecord& record) {
  LeftOfFile left;
  auto* estimator = dynamic_cast<IOverwriteEstimator*>(engine);
  left.known = estimator != nullptr && estimator->EstimateOverwrite(record, &left.estimate);
  return left;
}

}  // namespace

int RunList(const Args& args) {
  const ParsedArgs parsed(args, {"--quick", "--deep", "--json"}, {"--type"});
  if (!parsed.ok() || parsed.Positionals().size() != 1 ||
      (parsed.Has("--quick") && parsed.Has("--deep"))) {
    std::fprintf(stderr,
                 "%s%susage: velmora list SOURCE [--quick | --deep] [--type CATEGORY[,...]] "
                 "[--json]\n",
                 parsed.error().c_str(), parsed.ok() ? "" : "\n");
    return kExitUsage;
  }
  const bool deep = parsed.Has("--deep");
  const std::string categories = CategoriesOption(parsed);

  ScanTarget target;
  std::string error;
  if (ResolveTarget(parsed.Positionals()[0], &target, &error) != 0) {
    std::fprintf(stderr, "velmora list: %s\n", error.c_str());
    return kExitUsage;
  }
  std::unique_ptr<IFileRecoveryParse> engine;
  if (OpenSavedResult(target, deep, &engine, &error) != 0) {
    std::fprintf(stderr, "velmora list: %s\n", error.c_str());
    return kExitUsage;
  }
  ScanRecordList records;
  if (ListRecords(engine.get(), categories, &records, &error) != 0) {
    std::fprintf(stderr, "velmora list: %s\n", error.c_str());
    return kExitUsage;
  }

  if (parsed.Has("--json")) {
    // One element at a time, indented as a whole-array dump would be, so the output never
    // has to be held in memory.
    if (records.empty()) {
      std::fputs("[]\n", stdout);
      return kExitOk;
    }
    std::fputs("[\n", stdout);
    std::string path;
    std::string element;
    for (size_t i = 0; i < records.size(); ++i) {
      const ScanRecord& record = records[i];
      path.clear();
      engine->GetFullPath(record, &path);
      if (!path.empty() && path.back() == '/') path.pop_back();
      const LeftOfFile left = EstimateFor(engine.get(), record);
      const nlohmann::json item = {{"id", RecordId(record)},
                                   {"name", std::string(RecordName(record))},
                                   {"path", path},
                                   {"size", record.size.get()},
                                   {"is_dir", record.is_directory != 0},
                                   {"source_kind", record.source_kind.get()},
                                   {"category", CategoryOfName(RecordName(record))},
                                   {"content_check", record.content_check.get()},
                                   {"overwritten_percent",
                                    left.known ? nlohmann::json(OverwrittenPercent(left.estimate))
                                               : nlohmann::json(nullptr)},
                                   {"state", left.known ? OverwriteStateText(left.estimate) : "unknown"},
                                   {"modified", TimeValue(record.last_write)},
                                   {"created", TimeValue(record.created)}};
      element = item.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
      std::string indented = "  ";
      indented.reserve(element.size() + 64);
      for (char c : element) {
        indented.push_back(c);
        if (c == '\n') indented.append("  ");
      }
      if (i + 1 < records.size()) indented.append(",\n");
      std::fwrite(indented.data(), 1, indented.size(), stdout);
    }
    std::fputs("\n]\n", stdout);
    return kExitOk;
  }
  std::printf("%-12s %12s  %-20s  %-9s %-23s %-7s %s\n", "ID", "SIZE", "MODIFIED", "CATEGORY",
              "STATE", "CONTENT", "PATH");
  for (const auto& record : records) {
    std::string path;
    engine->GetFullPath(record, &path);
    const LeftOfFile left = EstimateFor(engine.get(), record);
    std::printf("%-12llu %12llu  %-20s  %-9s %-23s %-7s %s%s\n",
                static_cast<unsigned long long>(RecordId(record)),
                static_cast<unsigned long long>(record.size),
                FiletimeToIso(record.last_write).c_str(), CategoryOfName(RecordName(record)),
                left.known ? OverwriteStateText(left.estimate).c_str() : "-",
                record.content_check ? "ok" : "differs", path.c_str(),
                std::string(RecordName(record)).c_str());
  }
  std::printf("%zu files\n", records.size());
  return kExitOk;
}

}  // namespace velmora::cli
