// velmora disks [--json]: every disk with its volumes, unallocated gaps and bare disks.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "app/size_text.h"
#include "app/volume_space.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "storage/disk_enumerator.h"
#include "storage/error_codes.h"

namespace velmora::cli {

namespace {

std::string SourceText(int disk, size_t index) {
  return "disk:" + std::to_string(disk) + ":" + std::to_string(index);
}

// Where a row's free space comes from: the mounted file system, the volume's own allocation
// records, or nowhere.
const char* FreeSource(const PartitionEntry& entry, bool counted) {
  if (entry.kind != RegionKind::kVolume) return "region";
  if (!entry.mount_point.empty()) return "mount";
  return counted ? "allocation" : "unknown";
}

// The rows of one disk, with the free space of unmounted NTFS and FAT volumes counted.
std::vector<std::pair<PartitionEntry, bool>> MeasuredRows(const std::vector<PartitionEntry>& list) {
  std::vector<std::pair<PartitionEntry, bool>> rows;
  for (PartitionEntry entry : list) {
    if (entry.volume_label.empty() || entry.file_system_name.empty()) app::FillVolumeLabel(&entry);
    const bool counted = app::FillUnmountedFreeSpace(&entry);
    rows.emplace_back(std::move(entry), counted);
  }
  return rows;
}

nlohmann::json EntryJson(const PartitionEntry& entry, bool counted, size_t index,
                         const DiskDescription& disk) {
  // A disk this user may not read: what it holds is unknown, not empty.
  const bool unknown = !disk.readable && entry.mount_point.empty() && !counted;
  return {{"disk", entry.disk},
          {"index", index},
          {"number", entry.number},
          {"kind", RegionKindName(entry.kind)},
          {"partition", entry.partition},
          {"type", entry.type},
          {"start", entry.start},
          {"length", entry.length},
          {"sector_size", entry.sector_size},
          {"fs", entry.file_system_name},
          {"label", entry.volume_label},
          {"size", entry.total},
          {"used", unknown ? nlohmann::json(nullptr) : nlohmann::json(entry.used)},
          {"free", unknown ? nlohmann::json(nullptr) : nlohmann::json(entry.free)},
          {"free_from", unknown ? "unknown" : FreeSource(entry, counted)},
          {"readable", disk.readable},
          {"removable", entry.removable},
          {"device", entry.volume_path.empty() ? disk.device_path : entry.volume_path},
          {"disk_device", disk.device_path},
          {"mount_point", entry.mount_point},
          {"source", SourceText(entry.disk, index)}};
}

nlohmann::json DisksJson(const DiskEnumerator& enumerator) {
  nlohmann::json disks = nlohmann::json::array();
  for (const auto& [number, disk] : enumerator.Disks()) {
    nlohmann::json entries = nlohmann::json::array();
    const auto rows = MeasuredRows(enumerator.Entries().at(number));
    for (size_t i = 0; i < rows.size(); ++i) {
      entries.push_back(EntryJson(rows[i].first, rows[i].second, i + 1, disk));
    }
    disks.push_back(
        {{"disk", number},
         {"device", disk.device_path},
         {"model", disk.model},
         {"bus", disk.bus},
         {"backing_file", disk.backing_file},
         {"size", disk.size_bytes},
         {"sectors", disk.sectors},
         {"sector_size", disk.sector_size},
         {"sectors_per_cylinder", disk.sectors_per_cylinder},
         {"removable", disk.removable},
         {"partition_table", disk.readable ? nlohmann::json(PartitionSchemeName(disk.scheme))
                                           : nlohmann::json(nullptr)},
         {"readable", disk.readable},
         {"source", "disk:" + std::to_string(number)},
         {"entries", entries}});
  }
  return {{"disks", disks}};
}

void PrintDisks(const DiskEnumerator& enumerator) {
  if (enumerator.Disks().empty()) {
    std::fprintf(stderr, "no disks found\n");
    return;
  }
  for (const auto& [number, disk] : enumerator.Disks()) {
    std::string about = disk.removable ? "removable" : "fixed";
    if (!disk.bus.empty()) about += ", " + disk.bus;
    if (!disk.model.empty()) about += ", " + disk.model;
    if (!disk.backing_file.empty()) about += ", file " + disk.backing_file;
    const std::string table = !disk.readable ? std::string("no permission to read it")
                              : disk.scheme == PartitionScheme::kNone
                                  ? std::string("no partition table")
                                  : std::string(PartitionSchemeName(disk.scheme)) + " partitions";
    std::printf("Disk %d  %s  %s  %u-byte sectors  %s  (%s)\n", number, disk.device_path.c_str(),
                app::FormatSizeIec(static_cast<int64_t>(disk.size_bytes)).c_str(), disk.sector_size,
                table.c_str(), about.c_str());
    std::printf("  %-10s %-4s %-16s %-13s %10s %10s %12s %12s  %s\n", "source", "no.", "label",
                "fs", "size", "free", "start", "sectors", "device / mounted on");
    const auto rows = MeasuredRows(enumerator.Entries().at(number));
    for (size_t i = 0; i < rows.size(); ++i) {
      const auto& [entry, counted] = rows[i];
      std::string fs = entry.file_system_name;
      std::string where = entry.volume_path;
      if (entry.kind == RegionKind::kUnallocated) fs = "(unallocated)";
      if (entry.kind == RegionKind::kWholeDisk) fs = "(whole disk)";
      if (entry.kind == RegionKind::kVolume && fs.empty()) fs = "(unknown)";
      const bool unknown = !disk.readable && entry.mount_point.empty() && !counted;
      if (unknown && (entry.kind != RegionKind::kVolume || entry.file_system_name.empty())) {
        fs = "(no permission)";
      }
      if (!entry.mount_point.empty()) where += "  on " + entry.mount_point;
      // The K of disk:N:K, so the two columns never disagree.
      const std::string number_text = std::to_string(i + 1) + ":";
      const bool free_known =
          !unknown && (entry.kind != RegionKind::kVolume || !entry.mount_point.empty() || counted);
      std::printf("  %-10s %-4s %-16s %-13s %10s %10s %12llu %12llu  %s\n",
                  SourceText(number, i + 1).c_str(), number_text.c_str(),
                  entry.volume_label.c_str(), fs.c_str(),
                  app::FormatSizeIec(static_cast<int64_t>(entry.total)).c_str(),
                  free_known ? app::FormatSizeIec(static_cast<int64_t>(entry.free)).c_str() : "-",
                  static_cast<unsigned long long>(entry.start),
                  static_cast<unsigned long long>(entry.length), where.c_str());
    }
    for (const std::string& warning : disk.table_warnings) {
      std::printf("  warning: %s\n", warning.c_str());
    }
    std::printf("\n");
  }
  for (const auto& [number, disk] : enumerator.Disks()) {
    if (disk.readable) continue;
    std::fflush(stdout);
    std::fprintf(stderr, "velmora disks: %s: %s\n", disk.device_path.c_str(),
                 AccessAdvice(disk.device_path).c_str());
  }
}

}  // namespace

int RunDisks(const Args& args) {
  const ParsedArgs parsed(args, {"--json"}, {});
  if (const std::string reason = CheckArguments(parsed, {}); !reason.empty()) {
    return UsageError("disks", reason);
  }
  const bool json = parsed.Has("--json");
  DiskEnumerator enumerator;
  if (!enumerator.Refresh()) {
    std::fprintf(stderr,
                 "velmora disks: the block devices of this system cannot be listed "
                 "(/sys/block is not readable)\n");
    return kExitUsage;
  }
  if (json) {
    std::printf("%s\n", DisksJson(enumerator)
                            .dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
                            .c_str());
  } else {
    PrintDisks(enumerator);
  }
  return kExitOk;
}

}  // namespace velmora::cli
