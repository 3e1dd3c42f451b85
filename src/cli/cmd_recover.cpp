// velmora recover SOURCE --to DIR [--quick | --deep] [--type ...] [--id ID ...] [--keep-paths]
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

#include "cli/arguments.h"
#include "cli/result_listing.h"
#include "cli/scan_session.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "storage/error_codes.h"

namespace velmora::cli {

namespace {

struct CopyState {
  int last_error = 0;
};

int OnFileProgress(void* context, int percent, int, int error, const char*) {
  auto* state = static_cast<CopyState*>(context);
  if (ProgressPrinter::Interrupted()) return kCancelledByUser;
  if (percent >= 100) state->last_error = error;
  return 0;
}

// Whole disk that holds block device `dev` (itself when it is not a partition).
dev_t DiskOf(dev_t dev) {
  const std::string sys = "/sys/dev/block/" + std::to_string(major(dev)) + ":" +
                          std::to_string(minor(dev));
  struct stat st {};
  if (::stat((sys + "/partition").c_str(), &st) != 0) return dev;
  std::ifstream parent_dev(sys + "/../dev");
  unsigned maj = 0, min = 0;
  char colon = 0;
  if (parent_dev >> maj >> colon >> min && colon == ':') return makedev(maj, min);
  return dev;
}

// Writing recovered files onto the scanned disk can overwrite what is being recovered.
// The same rule as the CONTENT column of `list`.
bool FailsContentCheck(const ScanRecord& record) {
  return record.content_check == 0 && record.is_directory == 0;
}

bool DestinationOnSource(const std::string& source, const std::string& destination) {
  struct stat src {};
  struct stat dst {};
  if (::stat(source.c_str(), &src) != 0 || ::stat(destination.c_str(), &dst) != 0) return false;
  if (!S_ISBLK(src.st_mode)) return false;
  return dst.st_dev == src.st_rdev || DiskOf(dst.st_dev) == DiskOf(src.st_rdev);
}

std::string FolderFromVolumePath(const std::string& root, const std::string& volume_path) {
  std::string folder = root;
  size_t start = 0;
  while (start < volume_path.size()) {
    size_t end = volume_path.find('/', start);
    if (end == std::string::npos) end = volume_path.size();
    if (end > start) folder = JoinPath(folder, SafeComponentName(volume_path.substr(start, end - start)));
    start = end + 1;
  }
  return folder;
}

}  // namespace

int RunRecover(const Args& args) {
  const ParsedArgs parsed(args, {"--quick", "--deep", "--keep-paths"}, {"--to", "--type", "--id"});
  const std::string destination_arg = parsed.Value("--to");
  if (!parsed.ok() || parsed.Positionals().size() != 1 || destination_arg.empty() ||
      (parsed.Has("--quick") && parsed.Has("--deep"))) {
    std::fprintf(stderr,
                 "%s%susage: velmora recover SOURCE --to DIR [--quick | --deep] [--type CATEGORY[,...]] "
                 "[--id ID ...] [--keep-paths]\n",
                 parsed.error().c_str(), parsed.ok() ? "" : "\n");
    return kExitUsage;
  }
  const bool deep = parsed.Has("--deep");
  std::set<uint64_t> ids;
  for (const auto& value : parsed.Values("--id")) {
    char* end = nullptr;
    const unsigned long long id = std::strtoull(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0') {
      std::fprintf(stderr, "velmora recover: '%s' is not a record id\n", value.c_str());
      return kExitUsage;
    }
    ids.insert(id);
  }
  const std::string categories = CategoriesOption(parsed);

  ScanTarget target;
  std::string error;
  if (ResolveTarget(parsed.Positionals()[0], &target, &error) != 0) {
    std::fprintf(stderr, "velmora recover: %s\n", error.c_str());
    return kExitUsage;
  }
  std::string destination = destination_arg;
  while (destination.size() > 1 && destination.back() == '/') destination.pop_back();
  if (CreateFolderTree(destination) != 0) {
    std::fprintf(stderr, "velmora recover: cannot create the destination '%s'\n", destination.c_str());
    return kExitUsage;
  }
  if (DestinationOnSource(target.device_path, destination)) {
    std::fprintf(stderr,
                 "velmora recover: warning: '%s' lies on the scanned device; recovered files may "
                 "overwrite data that is still to be recovered\n",
                 destination.c_str());
  }

  std::unique_ptr<IFileRecoveryParse> engine;
  if (OpenSavedResult(target, deep, &engine, &error) != 0) {
    std::fprintf(stderr, "velmora recover: %s\n", error.c_str());
    return kExitUsage;
  }
  ScanRecordList records;
  if (ListRecords(engine.get(), ids.empty() ? categories : "all", &records, &error) != 0) {
    std::fprintf(stderr, "velmora recover: %s\n", error.c_str());
    return kExitUsage;
  }
  if (!ids.empty()) {
    ScanRecordList chosen;
    for (const auto& record : records) {
      if (ids.count(RecordId(record))) chosen.push_back(record);
    }
    if (chosen.size() != ids.size()) {
      std::fprintf(stderr, "velmora recover: %zu of the given ids are not in the scan result\n",
                   ids.size() - chosen.size());
    }
    records.swap(chosen);
  }

  ProgressPrinter interrupt_guard("recover");
  CopyState state;
  engine->SetScanCallback(nullptr, &OnFileProgress, &state, 100);
  size_t processed = 0;
  size_t failed = 0;
  size_t suspect = 0;
  bool stopped = false;
  for (const auto& record : records) {
    std::string folder;
    if (parsed.Has("--keep-paths")) {
      std::string volume_path;
      engine->GetFullPath(record, &volume_path);
      folder = FolderFromVolumePath(destination, volume_path);
    } else {
      folder = JoinPath(destination, CategoryOfName(RecordName(record)));
    }
    ++processed;
    int result = CreateFolderTree(folder);
    const std::string target_path = UniquePathIn(folder, SafeComponentName(RecordName(record)));
    if (result == 0) {
      state.last_error = 0;
      result = engine->RecoverFile(record, target_path, 0);
      if (result == 0) result = state.last_error;
    }
    if (result != 0) {
      std::string kept;
      SettleFailedOutput(target_path, result, &kept);
      if (result == kCancelledByUser) {
        stopped = true;
        --processed;
        break;
      }
      ++failed;
      std::fprintf(stderr, "failed: %s: %s%s\n", target_path.c_str(), DescribeError(result).c_str(),
                   kept.empty() ? "" : ("; what could be read is kept as " + kept).c_str());
    } else if (FailsContentCheck(record)) {
      // Written as it is on the medium, but its bytes are not what its name says.
      ++suspect;
      std::fprintf(stderr, "content differs: %s: its bytes do not match its type; probably overwritten\n",
                   target_path.c_str());
    }
  }
  interrupt_guard.Finish();
  if (stopped) std::printf("Recovery cancelled.\n");
  std::printf("Recovered into %s: %zu processed, %zu succeeded, %zu failed\n", destination.c_str(),
              processed, processed - failed, failed);
  if (suspect > 0) {
    std::printf("%zu of the recovered files do not match their type (probably overwritten)\n",
                suspect);
  }
  return (failed > 0 || stopped) ? kExitPartial : kExitOk;
}

}  // namespace velmora::cli
