// velmora info SOURCE [--json]: what the engine selection sees in a source.
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/error_text.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "deep/boot_area.h"
#include "deep/boot_sector_classifier.h"
#include "fat/fat_boot_geometry.h"
#include "ntfs/ntfs_geometry.h"
#include "storage/error_codes.h"
#include "storage/partition_table.h"
#include "storage/sector_reader.h"
#include "storage/source_locator.h"
#include "storage/text_codec.h"

namespace velmora::cli {

namespace {

// The geometry the NTFS engines use; "usable": false when they would refuse the volume.
nlohmann::json NtfsValues(const uint8_t* sector) {
  ntfs::NtfsGeometry g;
  if (!ntfs::ParseNtfsBootSector(sector, 512, &g)) return {{"usable", false}};
  return {
      {"bytes_per_sector", g.bytes_per_sector},     {"sectors_per_cluster", g.sectors_per_cluster},
      {"total_sectors", g.total_sectors},           {"mft_cluster", g.mft_first_cluster},
      {"mft_mirror_cluster", g.mft_mirror_cluster}, {"mft_record_size", g.mft_record_size}};
}

// The geometry the FAT engines use; "usable": false when they would refuse the volume.
nlohmann::json FatValues(const uint8_t* sector) {
  FatGeometry g;
  if (!ParseFatBootSector(sector, 512, &g)) return {{"usable", false}};
  nlohmann::json values = {{"type", FatTypeName(g.type)},
                           {"bytes_per_sector", g.bytes_per_sector},
                           {"sectors_per_cluster", g.sectors_per_cluster},
                           {"reserved_sectors", g.reserved_sectors},
                           {"fat_count", g.fat_count},
                           {"root_entries", g.root_entry_count},
                           {"total_sectors", g.total_sectors},
                           {"fat_size", g.sectors_per_fat},
                           {"clusters", g.cluster_count}};
  if (g.type == FatType::kFat32) values["root_cluster"] = g.root_cluster;
  values["label"] = FatBootLabel(sector, g.type);
  return values;
}

// The volume's own size by its boot sector, 0 when it cannot be told.
uint64_t DeclaredVolumeBytes(FileSystemKind kind, const uint8_t* sector) {
  if (kind == FileSystemKind::kNtfs) {
    ntfs::NtfsGeometry g;
    if (ntfs::ParseNtfsBootSector(sector, 512, &g)) return g.total_sectors * g.bytes_per_sector;
  }
  if (kind == FileSystemKind::kFat) {
    FatGeometry g;
    if (ParseFatBootSector(sector, 512, &g)) return g.total_sectors * g.bytes_per_sector;
  }
  return 0;
}

// FAT12, FAT16 or FAT32 for a FAT boot area; "" for anything else.
std::string FatTypeOf(const uint8_t* sector) {
  FatGeometry g;
  if (IsNtfsBootSector(sector) || !IsFatBootSector(sector) ||
      !ParseFatBootSector(sector, 512, &g)) {
    return {};
  }
  return FatTypeName(g.type);
}

// Partitions of a whole disk or whole-disk image, each with what its boot area holds.
void AddPartitions(ByteSource* bytes, const std::string& path, nlohmann::json* out) {
  PartitionTable table;
  if (ReadSourcePartitionTable(path, &table, nullptr) != kSuccess) return;
  if (table.scheme == PartitionScheme::kNone) return;
  (*out)["partition_table"] = PartitionSchemeName(table.scheme);
  (*out)["table_sector_size"] = table.sector_size;
  nlohmann::json list = nlohmann::json::array();
  for (size_t i = 0; i < table.partitions.size(); ++i) {
    const TablePartition& p = table.partitions[i];
    std::vector<uint8_t> area(16384, 0);
    size_t got = 0;
    bytes->ReadAt(p.start_sector * table.sector_size, area.data(), area.size(), &got);
    const bool readable = got == area.size() && p.sector_count * table.sector_size >= area.size();
    const std::string fat_type = readable ? FatTypeOf(area.data()) : std::string();
    list.push_back(
        {{"index", i + 1},
         {"slot", p.slot},
         {"start", p.start_sector},
         {"length", p.sector_count},
         {"type", PartitionTypeName(p)},
         {"name", p.name},
         {"logical", p.logical},
         {"truncated", p.truncated},
         {"kind", readable ? FileSystemKindName(ClassifyBootArea(area.data())) : "unknown"}});
    if (!fat_type.empty()) list.back()["fat_type"] = fat_type;
  }
  (*out)["partitions"] = list;
  if (!table.warnings.empty()) (*out)["partition_warnings"] = table.warnings;
}

void PrintPartitions(const nlohmann::json& out, const std::string& source) {
  if (!out.contains("partitions")) return;
  std::printf("partitions:   %s table, %s-byte sectors (select one as %s@K)\n",
              out["partition_table"].get<std::string>().c_str(),
              out["table_sector_size"].dump().c_str(), source.c_str());
  std::printf("  %-3s %-5s %12s %12s  %-22s %s\n", "K", "slot", "start", "sectors", "type",
              "contents");
  for (const auto& p : out["partitions"]) {
    std::printf("  %-3s %-5s %12s %12s  %-22s %s%s\n", p["index"].dump().c_str(),
                p["slot"].dump().c_str(), p["start"].dump().c_str(), p["length"].dump().c_str(),
                p["type"].get<std::string>().c_str(),
                p.contains("fat_type") ? p["fat_type"].get<std::string>().c_str()
                                       : p["kind"].get<std::string>().c_str(),
                p["truncated"].get<bool>() ? " (cut at the end of the image)" : "");
  }
  if (out.contains("partition_warnings")) {
    for (const auto& warning : out["partition_warnings"]) {
      std::fflush(stdout);
      std::fprintf(stderr, "warning: %s\n", warning.get<std::string>().c_str());
    }
  }
}

}  // namespace

int RunInfo(const Args& args) {
  const ParsedArgs parsed(args, {"--json"}, {});
  if (const std::string reason = CheckArguments(parsed, {"SOURCE"}); !reason.empty()) {
    return UsageError("info", reason);
  }
  const std::string source = parsed.Positionals()[0];
  const bool json = parsed.Has("--json");

  SourceLocator locator;
  LocatedSource located;
  std::string message;
  int err = locator.Locate(source, &located, &message);
  if (err != kSuccess) {
    std::fprintf(stderr, "velmora info: %s\n", message.c_str());
    return kExitUsage;
  }
  SectorReader reader;
  std::shared_ptr<ByteSource> bytes;
  err = OpenByteSource(located.device_path, &bytes, &message);
  if (err != kSuccess) {
    std::fprintf(stderr, "velmora info: cannot open '%s': %s\n",
                 EscapeControl(located.device_path).c_str(),
                 message.empty() ? app::ResultText(err).c_str() : message.c_str());
    return kExitUsage;
  }
  OpenSourceReader(&reader, bytes);
  const bool whole = located.start_sector == 0 &&
                     (located.kind == LocatedSource::Kind::kImage ||
                      located.sector_count * located.sector_size >= reader.total_sectors * 512);
  const uint64_t offset = located.start_sector * located.sector_size;
  uint64_t size = located.ByteLength();
  int sector_size = static_cast<int>(located.sector_size);
  if (located.kind == LocatedSource::Kind::kImage) {
    size = bytes->Size();
    sector_size = static_cast<int>(bytes->SectorSize());
  }

  constexpr size_t kBootArea = 16384;
  std::vector<uint8_t> area(kBootArea);
  // A failing medium: the sectors that can be read still name the file system.
  bool boot_unreadable = false;
  if (size < kBootArea) {
    std::fprintf(stderr, "velmora info: '%s' is too short to hold a file system (%llu bytes)\n",
                 source.c_str(), static_cast<unsigned long long>(size));
    return kExitUsage;
  }
  if (!ReadBootAreaAround(*bytes, offset, area.size(), area.data(), &boot_unreadable)) {
    std::fprintf(stderr, "velmora info: the start of '%s' could not be read: %s\n",
                 EscapeControl(source).c_str(), app::ResultText(kErrReadFault).c_str());
    return kExitUsage;
  }
  // A volume larger than what holds it: an image cut short, or a partition entry too small.
  const uint64_t present =
      located.kind == LocatedSource::Kind::kImage ? (size > offset ? size - offset : 0) : size;
  // A damaged first sector: the values come from the file system's backup copy, as the
  // quick scan takes them.
  const BootSectorChoice boot = ChooseBootSector(*bytes, offset, present, area.data());
  const FileSystemKind kind = boot.kind;
  const uint8_t* boot_sector = boot.sector;
  if (boot_unreadable) {
    std::fprintf(stderr, "velmora info: the boot sector of '%s' could not be read (%s)%s\n",
                 source.c_str(), app::ResultText(kErrReadFault).c_str(),
                 boot.backup ? "; its backup copy is used" : " and no backup copy was found");
  }

  nlohmann::json out = {{"source", source},
                        {"kind", FileSystemKindName(kind)},
                        {"size", size},
                        {"sectors", size / static_cast<uint64_t>(sector_size)},
                        {"sector_size", sector_size},
                        {"block_device", bytes->KindName() == "block device"},
                        {"container", bytes->KindName() == "EWF" ? "EWF" : "raw"}};
  if (kind == FileSystemKind::kNtfs) out["ntfs"] = NtfsValues(boot_sector);
  if (kind == FileSystemKind::kFat) {
    out["fat"] = FatValues(boot_sector);
    const std::string fat_type = FatTypeOf(boot_sector);
    if (!fat_type.empty()) out["fat_type"] = fat_type;
  }
  if (kind == FileSystemKind::kNtfs || kind == FileSystemKind::kFat) {
    out["label"] = ReadVolumeLabel(bytes, offset, present, boot);
  }
  if (boot.backup) {
    out["boot_sector"] = {{"backup", true}, {"offset", boot.offset}};
  }
  const uint64_t declared = DeclaredVolumeBytes(kind, boot_sector);
  if (declared > present) {
    out["volume_bytes"] = declared;
    out["cut_short"] = true;
    out["warnings"] = {"the volume is larger than its source: " + std::to_string(declared) +
                       " bytes by its boot sector, " + std::to_string(present) +
                       " bytes present; files with data past the end cannot come back whole"};
  }
  if (located.kind == LocatedSource::Kind::kDiskRegion) {
    out["region"] = {{"description", located.description},
                     {"device", located.device_path},
                     {"start", located.start_sector},
                     {"length", located.sector_count}};
  }
  if (whole) AddPartitions(bytes.get(), located.device_path, &out);

  if (json) {
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return kExitOk;
  }
  std::printf("source:       %s\n", EscapeControl(source).c_str());
  std::printf("kind:         %s\n", out.contains("fat_type")
                                        ? out["fat_type"].get<std::string>().c_str()
                                        : FileSystemKindName(kind));
  if (out.contains("label")) {
    const std::string label = out["label"].get<std::string>();
    std::printf("label:        %s\n", label.empty() ? "(none)" : label.c_str());
  }
  if (boot.backup) {
    std::printf("boot sector:  damaged; its backup copy at byte %llu serves\n",
                static_cast<unsigned long long>(boot.offset));
  }
  std::printf("size:         %llu bytes (%llu sectors of %d bytes)\n",
              static_cast<unsigned long long>(size),
              static_cast<unsigned long long>(size / static_cast<uint64_t>(sector_size)),
              sector_size);
  if (bytes->KindName() == "EWF")
    std::printf("container:    EWF evidence file (media bytes shown)\n");
  if (out.contains("region")) {
    std::printf("region:       %s\n", located.description.c_str());
  }
  for (const char* section : {"ntfs", "fat"}) {
    if (!out.contains(section)) continue;
    for (const auto& [key, value] : out[section].items()) {
      std::printf("%-13s %s\n", (key + ":").c_str(), value.dump().c_str());
    }
  }
  PrintPartitions(out, source);
  if (out.contains("warnings")) {
    for (const auto& warning : out["warnings"]) {
      std::printf("warning:      %s\n", warning.get<std::string>().c_str());
    }
  }
  return kExitOk;
}

}  // namespace velmora::cli
