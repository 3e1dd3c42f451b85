// velmora cat SOURCE --id ID [--quick | --deep]
#include <unistd.h>

#include <cstdio>

#include "app/file_choice.h"
#include "app/recovery_workflow.h"
#include "app/source_session.h"
#include "cli/arguments.h"
#include "cli/partition_sources.h"
#include "cli/result_listing.h"
#include "cli/scan_session.h"
#include "storage/error_codes.h"

namespace velmora::cli {

int RunCat(const Args& args) {
  const ParsedArgs parsed(args, {"--quick", "--deep"}, {"--id"});
  if (const std::string reason = CheckArguments(parsed, {"SOURCE"}); !reason.empty()) {
    return UsageError("cat", reason);
  }
  if (parsed.Values("--id").empty()) return UsageError("cat", "--id is required");
  app::IdSet ids;
  std::string error;
  if (!app::ParseIdList(parsed.Value("--id"), &ids, &error) || ids.Count() != 1) {
    return UsageError("cat", error.empty() ? "cat writes one file: give one --id" : error);
  }
  const uint64_t id = ids.Ranges().front().first;
  // A partitioned image has no file system of its own: its files belong to its partitions,
  // and the ids its listing showed lead to theirs.
  if (const auto partitions =
          ResultPartitionsOf(parsed.Positionals()[0], parsed.Has("--quick"), parsed.Has("--deep"));
      !partitions.empty()) {
    return RunOnPartitionOfIds(RunCat, "cat", args, parsed.Positionals()[0], partitions, ids,
                               parsed.Has("--quick"));
  }
  app::SourceSession session;
  if (session.Resolve(parsed.Positionals()[0], &error) != 0) {
    std::fprintf(stderr, "velmora cat: %s\n", error.c_str());
    return kExitUsage;
  }
  app::CancelToken cancel;
  ScanRecordList records;
  if (const int err = OpenAllRecords(parsed, session, cancel, &records, &error); err != 0) {
    std::fprintf(stderr, "velmora cat: %s\n", error.c_str());
    return FailureExit(err);
  }
  for (const ScanRecord& record : records) {
    if (app::RecordId(record) != id) continue;
    if (record.is_directory) {
      std::fprintf(stderr, "velmora cat: %llu is a folder, not a file\n",
                   static_cast<unsigned long long>(id));
      return kExitPartial;
    }
    const int err = app::CopyRecordTo(session.Engine(), record, STDOUT_FILENO, cancel);
    if (err != kSuccess) {
      std::fprintf(stderr, "velmora cat: file %llu: %s\n", static_cast<unsigned long long>(id),
                   DescribeError(err).c_str());
      return kExitPartial;
    }
    return kExitOk;
  }
  std::fprintf(stderr, "velmora cat: no file with id %llu in the scan result\n",
               static_cast<unsigned long long>(id));
  ReportPartialResult(session, parsed.Positionals()[0]);
  return kExitPartial;
}

}  // namespace velmora::cli
