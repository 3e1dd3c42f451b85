// velmora info SOURCE [--json]: what the engine selection sees in a source.
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "engine/boot_sector_tests.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"

namespace velmora::cli {

namespace {

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(Le16(p)) | (static_cast<uint32_t>(Le16(p + 2)) << 16);
}
uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

nlohmann::json NtfsValues(const uint8_t* s) {
  const int8_t per_record = static_cast<int8_t>(s[0x40]);
  const uint32_t bytes_per_sector = Le16(s + 0x0B);
  const uint32_t cluster = bytes_per_sector * s[0x0D];
  const uint64_t record_bytes =
      per_record < 0 ? (1ull << (-per_record)) : static_cast<uint64_t>(per_record) * cluster;
  return {{"bytes_per_sector", bytes_per_sector},
          {"sectors_per_cluster", s[0x0D]},
          {"total_sectors", Le64(s + 0x28)},
          {"mft_cluster", Le64(s + 0x30)},
          {"mft_mirror_cluster", Le64(s + 0x38)},
          {"mft_record_size", record_bytes}};
}

nlohmann::json FatValues(const uint8_t* s) {
  const bool fat32 = Le16(s + 0x16) == 0;
  const uint32_t total = Le32(s + 0x20) != 0 ? Le32(s + 0x20) : Le16(s + 0x13);
  nlohmann::json values = {{"bytes_per_sector", Le16(s + 0x0B)},
                           {"sectors_per_cluster", s[0x0D]},
                           {"reserved_sectors", Le16(s + 0x0E)},
                           {"fat_count", s[0x10]},
                           {"root_entries", Le16(s + 0x11)},
                           {"total_sectors", total},
                           {"fat_size", fat32 ? Le32(s + 0x24) : Le16(s + 0x16)}};
  if (fat32) values["root_cluster"] = Le32(s + 0x2C);
  const uint8_t* label = s + (fat32 ? 0x47 : 0x2B);
  std::string text(reinterpret_cast<const char*>(label), 11);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  for (char& c : text) {
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
  }
  values["label"] = text;
  return values;
}

}  // namespace

int RunInfo(const Args& args) {
  std::string source;
  bool json = false;
  for (const auto& arg : args) {
    if (arg == "--json") {
      json = true;
    } else if (!arg.empty() && arg[0] == '-') {
      std::fprintf(stderr, "velmora info: unknown option '%s'\n", arg.c_str());
      return kExitUsage;
    } else if (source.empty()) {
      source = arg;
    } else {
      std::fprintf(stderr, "velmora info: more than one source given\n");
      return kExitUsage;
    }
  }
  if (source.empty()) {
    std::fprintf(stderr, "usage: velmora info SOURCE [--json]\n");
    return kExitUsage;
  }

  SectorReader reader;
  int err = OpenImageFile(&reader, source);
  if (err != kSuccess) {
    std::fprintf(stderr, "velmora info: cannot open '%s': %s\n", source.c_str(),
                 std::strerror(errno));
    return kExitUsage;
  }
  uint64_t size = 0;
  platform::QuerySourceSize(reader.handle, &size);
  int sector_size = 512;
  platform::QueryLogicalSectorSize(reader.handle, &sector_size);

  constexpr size_t kBootArea = 16384;
  std::vector<uint8_t> area(kBootArea);
  size_t got = 0;
  err = platform::ReadAt(reader.handle, area.data(), area.size(), 0, &got);
  if (err != kSuccess || got < kBootArea) {
    std::fprintf(stderr, "velmora info: '%s' is too short to hold a file system (%llu bytes)\n",
                 source.c_str(), static_cast<unsigned long long>(size));
    return kExitUsage;
  }
  const FileSystemKind kind = ClassifyBootArea(area.data());

  nlohmann::json out = {{"source", source},
                        {"kind", FileSystemKindName(kind)},
                        {"size", size},
                        {"sectors", size / static_cast<uint64_t>(sector_size)},
                        {"sector_size", sector_size},
                        {"block_device", platform::IsBlockDevice(reader.handle)}};
  if (kind == FileSystemKind::kNtfs) out["ntfs"] = NtfsValues(area.data());
  if (kind == FileSystemKind::kFat) out["fat"] = FatValues(area.data());

  if (json) {
    std::printf("%s\n", out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    return kExitOk;
  }
  std::printf("source:       %s\n", source.c_str());
  std::printf("kind:         %s\n", FileSystemKindName(kind));
  std::printf("size:         %llu bytes (%llu sectors of %d bytes)\n",
              static_cast<unsigned long long>(size),
              static_cast<unsigned long long>(size / static_cast<uint64_t>(sector_size)),
              sector_size);
  for (const char* section : {"ntfs", "fat"}) {
    if (!out.contains(section)) continue;
    for (const auto& [key, value] : out[section].items()) {
      std::printf("%-13s %s\n", (key + ":").c_str(), value.dump().c_str());
    }
  }
  return kExitOk;
}

}  // namespace velmora::cli
