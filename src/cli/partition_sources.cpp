#include "cli/partition_sources.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <optional>
#include <nlohmann/json.hpp>

#include "app/file_choice.h"
#include "app/saved_scans.h"
#include "app/source_session.h"
#include "cli/result_listing.h"
#include "cli/scan_session.h"
#include "deep/boot_sector_classifier.h"
#include "storage/byte_source.h"
#include "storage/error_codes.h"
#include "storage/partition_table.h"
#include "storage/platform_disks.h"
#include "storage/source_locator.h"

namespace velmora::cli {

namespace {

// Runs one command with its standard output caught, so that the partitions' JSON documents
// can be joined into one.
std::string CaptureOutput(int (*command)(const Args&), const Args& args, int* status) {
  std::fflush(stdout);
  // In memory: no temporary file in a folder the user did not choose.
  const int memory = ::memfd_create("velmora-capture", MFD_CLOEXEC);
  FILE* sink = memory >= 0 ? ::fdopen(memory, "w+") : nullptr;
  if (sink == nullptr && memory >= 0) ::close(memory);
  const int saved = ::dup(STDOUT_FILENO);
  if (sink == nullptr || saved < 0 || ::dup2(::fileno(sink), STDOUT_FILENO) < 0) {
    if (sink) std::fclose(sink);
    if (saved >= 0) ::close(saved);
    *status = kExitUsage;
    return {};
  }
  *status = command(args);
  std::fflush(stdout);
  ::dup2(saved, STDOUT_FILENO);
  ::close(saved);
  std::string text;
  std::rewind(sink);
  char buffer[65536];
  for (size_t n; (n = std::fread(buffer, 1, sizeof(buffer), sink)) > 0;) text.append(buffer, n);
  std::fclose(sink);
  return text;
}

Args WithSource(const Args& args, const std::string& source_text, const std::string& replacement,
                bool add_json) {
  Args out;
  bool replaced = false;
  for (const std::string& arg : args) {
    if (!replaced && arg == source_text) {
      out.push_back(replacement);
      replaced = true;
    } else {
      out.push_back(arg);
    }
  }
  if (add_json && std::find(out.begin(), out.end(), "--json") == out.end()) out.push_back("--json");
  return out;
}

bool Has(const Args& args, const char* option) {
  return std::find(args.begin(), args.end(), option) != args.end();
}

// The worst of the partitions' statuses, but a source whose partitions partly worked is no
// usage error: 2 only when every partition failed.
int Combine(const std::vector<int>& statuses) {
  const bool all_failed =
      std::all_of(statuses.begin(), statuses.end(), [](int s) { return s == kExitUsage; });
  if (all_failed) return kExitUsage;
  const bool any_short =
      std::any_of(statuses.begin(), statuses.end(), [](int s) { return s != kExitOk; });
  return any_short ? kExitPartial : kExitOk;
}

// The arguments with every --id and --ids-from taken out (both forms) and `ids` given as one --id.
Args WithIds(const Args& args, const app::IdSet& ids) {
  Args out;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--id" || arg == "--ids-from") {
      ++i;
      continue;
    }
    if (arg.rfind("--id=", 0) == 0 || arg.rfind("--ids-from=", 0) == 0) continue;
    out.push_back(arg);
  }
  std::string list = app::RangesText(ids.Ranges(), ids.Ranges().size());
  list.erase(std::remove(list.begin(), list.end(), ' '), list.end());
  out.push_back("--id");
  out.push_back(list);
  return out;
}

std::string JoinIds(const std::set<uint64_t>& ids) {
  std::string text;
  size_t shown = 0;
  for (const uint64_t id : ids) {
    if (++shown > 8) return text + ", ...";
    text += (text.empty() ? "" : ", ") + std::to_string(id);
  }
  return text;
}

// Progress of a scan that has to run, without the notices of each partition's saved result.
class QuietObserver : public TerminalObserver {
 public:
  using TerminalObserver::TerminalObserver;
  void OnNotice(const std::string&) override {}
};

std::string OrDash(const nlohmann::json& value) {
  if (value.is_string() && !value.get<std::string>().empty()) return value.get<std::string>();
  if (value.is_number()) return value.dump();
  return "-";
}

}  // namespace

bool WholeImageHasDeepResult(const std::string& source_text) {
  app::SourceSession session;
  std::string error;
  if (session.Resolve(source_text, &error) != kSuccess) return false;
  app::ScanMode mode = app::ScanMode::kQuick;
  return app::LatestSavedMode(session.Source(), &mode) && mode == app::ScanMode::kDeep;
}

std::vector<PartitionSource> PartitionsOf(const std::string& source_text) {
  // A whole disk of the disk list (disk:N) has its partitions named disk:N@K; disk:N:K and
  // disk:N@K are one region already.
  std::string path = source_text;
  if (source_text.rfind("disk:", 0) == 0) {
    if (source_text.find_first_of(":@", 5) != std::string::npos) return {};
    SourceLocator locator;
    LocatedSource located;
    std::string error;
    if (locator.Locate(source_text, &located, &error) != kSuccess) return {};
    path = located.device_path;
  }
  const platform::FileIdentity identity = platform::IdentifyFile(path);
  if (!identity.exists || identity.is_directory) return {};
  std::shared_ptr<ByteSource> source;
  if (OpenByteSource(path, &source) != kSuccess || source->Size() < 16384) return {};
  // A volume at the start (a card formatted without a table) is scanned as it is.
  std::vector<uint8_t> area(16384);
  if (source->ReadAt(0, area.data(), area.size(), nullptr) != kSuccess ||
      ClassifyBootArea(area.data()) != FileSystemKind::kOther) {
    return {};
  }
  source.reset();
  PartitionTable table;
  if (ReadSourcePartitionTable(path, &table, nullptr) != kSuccess ||
      table.scheme == PartitionScheme::kNone) {
    return {};
  }
  std::vector<PartitionSource> partitions;
  for (size_t i = 0; i < table.partitions.size(); ++i) {
    partitions.push_back(
        {i + 1, source_text + "@" + std::to_string(i + 1), PartitionTypeName(table.partitions[i])});
  }
  return partitions;
}

std::vector<PartitionSource> ResultPartitionsOf(const std::string& source_text, bool quick,
                                                bool deep) {
  if (deep) return {};
  std::vector<PartitionSource> partitions = PartitionsOf(source_text);
  if (partitions.empty() || quick || !WholeImageHasDeepResult(source_text)) return partitions;
  return {};
}

std::string NamePartitionHint(const std::string& source_text,
                              const std::vector<PartitionSource>& partitions) {
  const std::string shown = EscapeControl(source_text);
  return "'" + shown + "' holds " + std::to_string(partitions.size()) +
         (partitions.size() == 1 ? " partition" : " partitions") +
         " and no file system of its own; name a partition: " + shown + "@K (K = 1" +
         (partitions.size() > 1 ? " to " + std::to_string(partitions.size()) : std::string()) +
         "; 'velmora list " + ShellWord(source_text) + "' shows each file's partition)";
}

int RunOnPartitionOfIds(int (*command)(const Args&), const char* name, const Args& args,
                        const std::string& source_text,
                        const std::vector<PartitionSource>& partitions, const app::IdSet& ids,
                        bool quick) {
  if (ids.empty()) {
    std::fprintf(stderr, "velmora %s: %s\n", name,
                 NamePartitionHint(source_text, partitions).c_str());
    return kExitUsage;
  }
  // Each partition's result, as list showed it (saved results are reused, missing ones made).
  std::map<size_t, std::set<uint64_t>> found;  // partition index -> the given ids it holds
  std::map<uint64_t, std::vector<size_t>> where;
  for (const PartitionSource& partition : partitions) {
    app::SourceSession session;
    std::string error;
    if (session.Resolve(partition.text, &error) != kSuccess) continue;
    app::CancelToken cancel;
    ScanRecordList records;
    {
      QuietObserver observer("quick scan", cancel);
      app::ScanMode used;
      const std::optional<app::ScanMode> mode =
          quick ? std::optional<app::ScanMode>(app::ScanMode::kQuick) : std::nullopt;
      const int opened = session.Open(mode, observer, cancel, &used, &error);
      if (opened == kSuccess) ListRecords(session.Engine(), "all", &records, &error);
      observer.Finish();
      if (opened != kSuccess) continue;
    }
    for (const ScanRecord& record : records) {
      if (record.is_directory) continue;
      const uint64_t id = app::RecordId(record);
      if (ids.Contains(id) && found[partition.index].insert(id).second) {
        where[id].push_back(partition.index);
      }
    }
  }
  for (const auto& [id, in] : where) {
    if (in.size() < 2) continue;
    std::string list;
    for (const size_t k : in) list += (list.empty() ? "" : " and ") + std::to_string(k);
    std::fprintf(stderr,
                 "velmora %s: id %llu is in partitions %s of '%s'; ids count within their "
                 "partition: name one as %s@K\n",
                 name, static_cast<unsigned long long>(id), list.c_str(),
                 EscapeControl(source_text).c_str(), EscapeControl(source_text).c_str());
    return kExitUsage;
  }
  if (found.empty()) {
    std::fprintf(stderr, "velmora %s: no file with id %s in any partition of '%s'\n", name,
                 app::RangesText(ids.Ranges(), 8).c_str(), EscapeControl(source_text).c_str());
    return kExitUsage;
  }
  if (found.size() > 1) {
    std::string list;
    for (const auto& [k, in] : found) {
      list += (list.empty() ? "" : "; ") + EscapeControl(source_text) + "@" + std::to_string(k) +
              " --id " + JoinIds(in);
    }
    std::fprintf(stderr,
                 "velmora %s: the ids lie in %zu partitions of '%s'; give each partition on its "
                 "own: %s\n",
                 name, found.size(), EscapeControl(source_text).c_str(), list.c_str());
    return kExitUsage;
  }
  const std::string routed = source_text + "@" + std::to_string(found.begin()->first);
  std::fprintf(stderr, "velmora %s: the ids are in partition %zu; reading %s\n", name,
               found.begin()->first, EscapeControl(routed).c_str());
  return command(WithIds(WithSource(args, source_text, routed, false), ids));
}

int ScanPartitions(const Args& args, const std::string& source_text,
                   const std::vector<PartitionSource>& partitions) {
  std::vector<int> statuses;
  if (Has(args, "--json")) {
    nlohmann::json all = nlohmann::json::array();
    for (const PartitionSource& partition : partitions) {
      int status = 0;
      const std::string text =
          CaptureOutput(RunScan, WithSource(args, source_text, partition.text, false), &status);
      statuses.push_back(status);
      nlohmann::json one = nlohmann::json::parse(text, nullptr, false);
      if (!one.is_object())
        one = {{"source", partition.text}, {"error", "no file system this scan can read"}};
      one["partition"] = partition.index;
      one["partition_type"] = partition.type;
      all.push_back(std::move(one));
    }
    const nlohmann::json out = {{"source", source_text}, {"partitions", all}};
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return Combine(statuses);
  }
  std::fprintf(stderr,
               "%s holds %zu partition%s; each is scanned on its own (select one as %s@K).\n",
               EscapeControl(source_text).c_str(), partitions.size(),
               partitions.size() == 1 ? "" : "s", EscapeControl(source_text).c_str());
  for (const PartitionSource& partition : partitions) {
    std::printf("\nPartition %zu (%s):\n", partition.index, partition.type.c_str());
    std::fflush(stdout);
    statuses.push_back(RunScan(WithSource(args, source_text, partition.text, false)));
  }
  return Combine(statuses);
}

int ListPartitions(const Args& args, const std::string& source_text,
                   const std::vector<PartitionSource>& partitions) {
  if (Has(args, "--tree")) {
    std::vector<int> statuses;
    for (const PartitionSource& partition : partitions) {
      std::printf("Partition %zu (%s):\n", partition.index, partition.type.c_str());
      std::fflush(stdout);
      statuses.push_back(RunList(WithSource(args, source_text, partition.text, false)));
    }
    return Combine(statuses);
  }
  std::vector<int> statuses;
  nlohmann::json files = nlohmann::json::array();
  for (const PartitionSource& partition : partitions) {
    int status = 0;
    const std::string text =
        CaptureOutput(RunList, WithSource(args, source_text, partition.text, true), &status);
    statuses.push_back(status);
    const nlohmann::json listed = nlohmann::json::parse(text, nullptr, false);
    if (!listed.is_array()) continue;
    for (nlohmann::json file : listed) {
      file["partition"] = partition.index;
      files.push_back(std::move(file));
    }
  }
  if (Has(args, "--json")) {
    std::printf("%s\n",
                files.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return Combine(statuses);
  }
  // --all adds the ENTRY column, as for a single volume.
  const bool all = Has(args, "--all");
  const char* entry_format = all ? "%-8s " : "%s";
  // ID leads, as in the listing of one volume, so a script that takes the first column takes ids.
  std::printf("%-12s %-4s %12s  %-20s  %-9s ", "ID", "PART", "SIZE", "MODIFIED", "CATEGORY");
  std::printf(entry_format, all ? "ENTRY" : "");
  std::printf("%-23s %-7s %s\n", "STATE", "CONTENT", "PATH");
  for (const nlohmann::json& file : files) {
    const std::string path = file.value("path", std::string());
    std::printf("%-12s %-4s %12s  %-20s  %-9s ", OrDash(file["id"]).c_str(),
                OrDash(file["partition"]).c_str(), OrDash(file["size"]).c_str(),
                OrDash(file["modified"]).c_str(), OrDash(file["category"]).c_str());
    std::printf(entry_format, all ? OrDash(file.value("entry", nlohmann::json())).c_str() : "");
    const nlohmann::json content_type = file.value("content_type", nlohmann::json());
    const std::string content = content_type.is_string() ? "=" + content_type.get<std::string>()
                                : file.value("content_check", 0) ? "ok"
                                                                 : "differs";
    std::printf("%-23s %-7s %s%s%s\n", OrDash(file["state"]).c_str(), content.c_str(),
                app::EscapeControl(path).c_str(), path.empty() ? "" : "/",
                app::EscapeControl(file.value("name", std::string())).c_str());
  }
  std::fflush(stdout);
  std::fprintf(stderr, "%zu files in %zu partitions (use %s@K with recover or preview)\n",
               files.size(), partitions.size(), EscapeControl(source_text).c_str());
  return Combine(statuses);
}

}  // namespace velmora::cli
