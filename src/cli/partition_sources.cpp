#include "cli/partition_sources.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "app/file_choice.h"
#include "app/saved_scans.h"
#include "app/source_session.h"
#include "deep/boot_sector_tests.h"
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
  FILE* sink = std::tmpfile();
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
  const bool all_failed = std::all_of(statuses.begin(), statuses.end(), [](int s) { return s == kExitUsage; });
  if (all_failed) return kExitUsage;
  const bool any_short = std::any_of(statuses.begin(), statuses.end(), [](int s) { return s != kExitOk; });
  return any_short ? kExitPartial : kExitOk;
}

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
  if (source_text.rfind("disk:", 0) == 0) return {};
  const platform::FileIdentity identity = platform::IdentifyFile(source_text);
  if (!identity.exists || identity.is_directory) return {};
  std::shared_ptr<ByteSource> source;
  if (OpenByteSource(source_text, &source) != kSuccess || source->Size() < 16384) return {};
  // A volume at the start (a card formatted without a table) is scanned as it is.
  std::vector<uint8_t> area(16384);
  if (source->ReadAt(0, area.data(), area.size(), nullptr) != kSuccess ||
      ClassifyBootArea(area.data()) != FileSystemKind::kOther) {
    return {};
  }
  source.reset();
  PartitionTable table;
  if (ReadSourcePartitionTable(source_text, &table, nullptr) != kSuccess ||
      table.scheme == PartitionScheme::kNone) {
    return {};
  }
  std::vector<PartitionSource> partitions;
  for (size_t i = 0; i < table.partitions.size(); ++i) {
    partitions.push_back({i + 1, source_text + "@" + std::to_string(i + 1),
                          PartitionTypeName(table.partitions[i])});
  }
  return partitions;
}

int ScanPartitions(const Args& args, const std::string& source_text,
                   const std::vector<PartitionSource>& partitions) {
  std::vector<int> statuses;
  if (Has(args, "--json")) {
    nlohmann::json all = nlohmann::json::array();
    for (const PartitionSource& partition : partitions) {
      int status = 0;
      const std::string text = CaptureOutput(RunScan, WithSource(args, source_text, partition.text, false), &status);
      statuses.push_back(status);
      nlohmann::json one = nlohmann::json::parse(text, nullptr, false);
      if (!one.is_object()) one = {{"source", partition.text}, {"error", "no file system this scan can read"}};
      one["partition"] = partition.index;
      one["partition_type"] = partition.type;
      all.push_back(std::move(one));
    }
    const nlohmann::json out = {{"source", source_text}, {"partitions", all}};
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return Combine(statuses);
  }
  std::printf("%s holds %zu partition%s; each is scanned on its own (select one as %s@K).\n",
              source_text.c_str(), partitions.size(), partitions.size() == 1 ? "" : "s",
              source_text.c_str());
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
    const std::string text = CaptureOutput(RunList, WithSource(args, source_text, partition.text, true), &status);
    statuses.push_back(status);
    const nlohmann::json listed = nlohmann::json::parse(text, nullptr, false);
    if (!listed.is_array()) continue;
    for (nlohmann::json file : listed) {
      file["partition"] = partition.index;
      files.push_back(std::move(file));
    }
  }
  if (Has(args, "--json")) {
    std::printf("%s\n", files.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return Combine(statuses);
  }
  // --all adds the ENTRY column, as for a single volume.
  const bool all = Has(args, "--all");
  const char* entry_format = all ? "%-8s " : "%s";
  std::printf("%-4s %-12s %12s  %-20s  %-9s ", "PART", "ID", "SIZE", "MODIFIED", "CATEGORY");
  std::printf(entry_format, all ? "ENTRY" : "");
  std::printf("%-23s %-7s %s\n", "STATE", "CONTENT", "PATH");
  for (const nlohmann::json& file : files) {
    const std::string path = file.value("path", std::string());
    std::printf("%-4s %-12s %12s  %-20s  %-9s ", OrDash(file["partition"]).c_str(),
                OrDash(file["id"]).c_str(), OrDash(file["size"]).c_str(),
                OrDash(file["modified"]).c_str(), OrDash(file["category"]).c_str());
    std::printf(entry_format, all ? OrDash(file.value("entry", nlohmann::json())).c_str() : "");
    std::printf("%-23s %-7s %s%s%s\n", OrDash(file["state"]).c_str(),
                file.value("content_check", 0) ? "ok" : "differs",
                app::EscapeControl(path).c_str(), path.empty() ? "" : "/",
                app::EscapeControl(file.value("name", std::string())).c_str());
  }
  std::printf("%zu files in %zu partitions (use %s@K with recover or preview)\n", files.size(),
              partitions.size(), source_text.c_str());
  return Combine(statuses);
}

}  // namespace velmora::cli
