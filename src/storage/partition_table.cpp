#include "storage/partition_table.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <set>

#include "storage/checksum.h"
#include "storage/text_codec.h"

namespace velmora {

namespace {

constexpr uint16_t kBootSignature = 0xAA55;
constexpr size_t kMbrEntriesOffset = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr uint8_t kGptProtectiveType = 0xEE;
// Longest logical chain followed; real disks stay far below, loops stop here at the latest.
constexpr int kMaxLogicalPartitions = 256;
// GPT entry arrays larger than this are treated as damage, not read.
constexpr uint64_t kMaxGptEntryArrayBytes = 4 * 1024 * 1024;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}

std::string GuidText(const uint8_t* g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Le32(g),
                Le16(g + 4), Le16(g + 6), g[8], g[9], g[10], g[11], g[12], g[13], g[14], g[15]);
  return text;
}

// GPT names are UTF-16LE, zero-terminated within 72 bytes; lone surrogates become U+FFFD.
std::string Utf16Name(const uint8_t* p, size_t units) {
  size_t length = 0;
  while (length < units && Le16(p + 2 * length) != 0) ++length;
  return Utf16LeToUtf8(p, length);
}

bool ReadSector(const ByteReader& read, uint64_t lba, uint32_t sector_size, uint64_t medium_bytes,
                std::vector<uint8_t>* sector) {
  sector->assign(sector_size, 0);
  const uint64_t offset = lba * sector_size;
  if (lba > medium_bytes / sector_size || offset + sector_size > medium_bytes) return false;
  return read(offset, sector->data(), sector_size);
}

// A FAT or NTFS boot sector also ends in 55 AA; its boot code must not be taken for a table.
bool LooksLikeVolumeBootSector(const uint8_t* s) {
  const bool jump = s[0] == 0xEB || s[0] == 0xE9;
  if (!jump) return false;
  if (std::memcmp(s + 3, "NTFS    ", 8) == 0 || std::memcmp(s + 3, "EXFAT   ", 8) == 0) return true;
  const uint16_t bytes_per_sector = Le16(s + 11);
  const uint8_t sectors_per_cluster = s[13];
  const bool sane_bpb = bytes_per_sector >= 512 && bytes_per_sector <= 4096 &&
                        (bytes_per_sector & (bytes_per_sector - 1)) == 0 &&
                        sectors_per_cluster != 0 &&
                        (sectors_per_cluster & (sectors_per_cluster - 1)) == 0 &&
                        Le16(s + 14) != 0 && s[16] != 0;
  return sane_bpb && (std::memcmp(s + 0x36, "FAT", 3) == 0 || std::memcmp(s + 0x52, "FAT", 3) == 0);
}

// A file system starts here: a FAT/NTFS/exFAT boot sector or an ext superblock.
bool LooksLikeVolumeStart(const ByteReader& read, uint64_t offset, uint64_t medium_bytes) {
  std::vector<uint8_t> area(2048);
  if (offset > medium_bytes || area.size() > medium_bytes - offset) return false;
  if (!read(offset, area.data(), area.size())) return false;
  return LooksLikeVolumeBootSector(area.data()) || Le16(area.data() + 1024 + 56) == 0xEF53;
}

struct RawMbrEntry {
  uint8_t boot = 0;
  uint8_t type = 0;
  uint32_t start = 0;
  uint32_t count = 0;
};

RawMbrEntry MbrEntry(const uint8_t* sector, int index) {
  const uint8_t* e = sector + kMbrEntriesOffset + kMbrEntrySize * static_cast<size_t>(index);
  return {e[0], e[4], Le32(e + 8), Le32(e + 12)};
}

bool IsMbrSector(const uint8_t* sector) {
  if (Le16(sector + 510) != kBootSignature) return false;
  if (LooksLikeVolumeBootSector(sector)) return false;
  bool any = false;
  for (int i = 0; i < 4; ++i) {
    const RawMbrEntry e = MbrEntry(sector, i);
    if (e.boot != 0 && e.boot != 0x80) return false;
    if (e.type != 0 && e.count != 0) any = true;
  }
  return any;
}

// Adds a partition after cutting it to the medium; entries starting past the end are dropped.
void AddPartition(TablePartition partition, uint64_t medium_sectors, PartitionTable* table) {
  if (partition.sector_count == 0) return;
  if (partition.start_sector >= medium_sectors) {
    table->warnings.push_back("partition " + std::to_string(partition.slot) +
                              " starts past the end of the medium; left out");
    return;
  }
  if (partition.sector_count > medium_sectors - partition.start_sector) {
    partition.sector_count = medium_sectors - partition.start_sector;
    partition.truncated = true;
    table->warnings.push_back("partition " + std::to_string(partition.slot) +
                              " runs past the end of the medium; cut to the medium");
  }
  table->partitions.push_back(std::move(partition));
}

void ReadLogicalPartitions(const ByteReader& read, uint64_t medium_bytes, uint32_t sector_size,
                           uint64_t extended_start, uint64_t extended_count, uint32_t* next_slot,
                           PartitionTable* table) {
  const uint64_t medium_sectors = medium_bytes / sector_size;
  const uint64_t extended_end = extended_start + extended_count;
  std::set<uint64_t> visited;
  uint64_t ebr = extended_start;
  std::vector<uint8_t> sector;
  for (int n = 0; n < kMaxLogicalPartitions; ++n) {
    if (!visited.insert(ebr).second) {
      table->warnings.push_back("logical partition chain loops; stopped");
      return;
    }
    if (!ReadSector(read, ebr, sector_size, medium_bytes, &sector)) {
      table->warnings.push_back("extended boot record at sector " + std::to_string(ebr) +
                                " cannot be read");
      return;
    }
    if (Le16(sector.data() + 510) != kBootSignature) {
      if (ebr != extended_start) {
        table->warnings.push_back("extended boot record at sector " + std::to_string(ebr) +
                                  " has no signature");
      }
      return;
    }
    const RawMbrEntry data = MbrEntry(sector.data(), 0);
    if (data.type != 0 && data.count != 0 && !IsExtendedPartitionType(data.type)) {
      TablePartition p;
      p.slot = (*next_slot)++;
      p.start_sector = ebr + data.start;
      p.sector_count = data.count;
      p.mbr_type = data.type;
      p.bootable = data.boot == 0x80;
      p.logical = true;
      AddPartition(p, medium_sectors, table);
    }
    const RawMbrEntry link = MbrEntry(sector.data(), 1);
    if (!IsExtendedPartitionType(link.type) || link.start == 0) return;
    const uint64_t next = extended_start + link.start;
    if (next >= extended_end) {
      table->warnings.push_back("logical partition link points outside the extended partition");
      return;
    }
    ebr = next;
  }
  table->warnings.push_back("more than " + std::to_string(kMaxLogicalPartitions) +
                            " logical partitions; the rest is ignored");
}

bool ReadMbr(const ByteReader& read, uint64_t medium_bytes, uint32_t sector_size,
             const std::vector<uint8_t>& mbr, PartitionTable* table) {
  const uint64_t medium_sectors = medium_bytes / sector_size;
  table->scheme = PartitionScheme::kMbr;
  table->sector_size = sector_size;
  uint32_t next_logical_slot = 5;
  bool followed_extended = false;
  for (int i = 0; i < 4; ++i) {
    const RawMbrEntry e = MbrEntry(mbr.data(), i);
    if (e.type == 0 || e.count == 0) continue;
    if (IsExtendedPartitionType(e.type)) {
      if (followed_extended) {
        table->warnings.push_back("second extended partition ignored");
        continue;
      }
      followed_extended = true;
      table->container_starts.push_back(e.start);
      ReadLogicalPartitions(read, medium_bytes, sector_size, e.start, e.count, &next_logical_slot,
                            table);
      continue;
    }
    TablePartition p;
    p.slot = static_cast<uint32_t>(i + 1);
    p.start_sector = e.start;
    p.sector_count = e.count;
    p.mbr_type = e.type;
    p.bootable = e.boot == 0x80;
    if (p.start_sector == 0) {
      table->warnings.push_back("partition " + std::to_string(p.slot) +
                                " starts at sector 0; left out");
      continue;
    }
    AddPartition(p, medium_sectors, table);
  }
  return true;
}

bool ReadGptAt(const ByteReader& read, uint64_t medium_bytes, uint32_t sector_size,
               uint64_t header_lba, PartitionTable* table) {
  std::vector<uint8_t> header;
  if (!ReadSector(read, header_lba, sector_size, medium_bytes, &header)) return false;
  if (std::memcmp(header.data(), "EFI PART", 8) != 0) return false;
  const uint32_t header_size = Le32(header.data() + 12);
  if (header_size < 92 || header_size > sector_size) return false;
  const uint32_t stored_crc = Le32(header.data() + 16);
  std::vector<uint8_t> copy(header.begin(), header.begin() + header_size);
  std::memset(copy.data() + 16, 0, 4);
  if (Crc32(copy.data(), copy.size()) != stored_crc) return false;
  if (Le64(header.data() + 24) != header_lba) return false;

  const uint64_t medium_sectors = medium_bytes / sector_size;
  const uint64_t entries_lba = Le64(header.data() + 72);
  const uint32_t entry_count = Le32(header.data() + 80);
  const uint32_t entry_size = Le32(header.data() + 84);
  const uint32_t entries_crc = Le32(header.data() + 88);
  if (entry_size < 128 || entry_size % 8 != 0 || entry_size > 4096) return false;
  const uint64_t array_bytes = static_cast<uint64_t>(entry_count) * entry_size;
  if (array_bytes > kMaxGptEntryArrayBytes) return false;
  if (entries_lba >= medium_sectors ||
      array_bytes > (medium_sectors - entries_lba) * static_cast<uint64_t>(sector_size)) {
    return false;
  }
  std::vector<uint8_t> entries(static_cast<size_t>(array_bytes));
  if (array_bytes != 0 && !read(entries_lba * sector_size, entries.data(), entries.size())) {
    return false;
  }
  if (Crc32(entries.data(), entries.size()) != entries_crc) return false;

  table->scheme = PartitionScheme::kGpt;
  table->sector_size = sector_size;
  table->partitions.clear();
  static const uint8_t kZeroGuid[16] = {};
  for (uint32_t i = 0; i < entry_count; ++i) {
    const uint8_t* e = entries.data() + static_cast<size_t>(i) * entry_size;
    if (std::memcmp(e, kZeroGuid, 16) == 0) continue;
    const uint64_t first = Le64(e + 32);
    const uint64_t last = Le64(e + 40);
    if (last < first) {
      table->warnings.push_back("GPT entry " + std::to_string(i + 1) + " ends before it starts");
      continue;
    }
    TablePartition p;
    p.slot = i + 1;
    p.start_sector = first;
    p.sector_count = last - first + 1;
    p.type_guid = GuidText(e);
    p.name = Utf16Name(e + 56, 36);
    AddPartition(p, medium_sectors, table);
  }
  return true;
}

bool ReadGpt(const ByteReader& read, uint64_t medium_bytes, uint32_t sector_size,
             PartitionTable* table) {
  if (ReadGptAt(read, medium_bytes, sector_size, 1, table)) return true;
  const uint64_t last_lba = medium_bytes / sector_size;
  if (last_lba < 2) return false;
  PartitionTable backup;
  if (!ReadGptAt(read, medium_bytes, sector_size, last_lba - 1, &backup)) {
    // A header signature with a bad checksum is worth telling about.
    std::vector<uint8_t> header;
    if (ReadSector(read, 1, sector_size, medium_bytes, &header) &&
        std::memcmp(header.data(), "EFI PART", 8) == 0) {
      table->warnings.push_back("GPT header damaged and no valid backup header");
    }
    return false;
  }
  backup.warnings.insert(backup.warnings.begin(), "primary GPT damaged; backup header used");
  *table = std::move(backup);
  return true;
}

}  // namespace

bool IsExtendedPartitionType(uint8_t mbr_type) {
  return mbr_type == 0x05 || mbr_type == 0x0F || mbr_type == 0x85;
}

PartitionTable ReadPartitionTable(const ByteReader& read, uint64_t medium_bytes,
                                  uint32_t sector_size) {
  PartitionTable table;
  const std::vector<uint32_t> sizes =
      sector_size != 0 ? std::vector<uint32_t>{sector_size} : std::vector<uint32_t>{512, 4096};
  if (sector_size != 0 && (sector_size < 512 || (sector_size & (sector_size - 1)) != 0)) {
    return table;
  }
  std::vector<uint8_t> mbr;
  if (!ReadSector(read, 0, sizes.front(), medium_bytes, &mbr)) return table;
  const bool mbr_valid = IsMbrSector(mbr.data());
  bool protective = false;
  if (mbr_valid) {
    for (int i = 0; i < 4; ++i) protective |= MbrEntry(mbr.data(), i).type == kGptProtectiveType;
  }
  // A GPT is only believed behind a protective MBR entry, as firmware does.
  if (protective) {
    for (uint32_t size : sizes) {
      PartitionTable gpt;
      if (ReadGpt(read, medium_bytes, size, &gpt)) {
        table = std::move(gpt);
        break;
      }
      table.warnings.insert(table.warnings.end(), gpt.warnings.begin(), gpt.warnings.end());
    }
    if (table.scheme == PartitionScheme::kNone) {
      table.warnings.push_back("protective MBR without a readable GPT; MBR entries listed");
    }
  }
  if (table.scheme == PartitionScheme::kNone && mbr_valid) {
    ReadMbr(read, medium_bytes, sizes.front(), mbr, &table);
    // An MBR does not say its sector size. In an image of a 4096-byte-sector disk the
    // volumes are found at start x 4096 and not at start x 512.
    if (sector_size == 0 && !table.partitions.empty()) {
      auto volumes_at = [&](const PartitionTable& t, uint32_t size) {
        return std::any_of(t.partitions.begin(), t.partitions.end(), [&](const TablePartition& p) {
          return LooksLikeVolumeStart(read, p.start_sector * size, medium_bytes);
        });
      };
      if (!volumes_at(table, 512)) {
        PartitionTable large;
        ReadMbr(read, medium_bytes, 4096, mbr, &large);
        if (volumes_at(large, 4096)) table = std::move(large);
      }
    }
  }
  std::stable_sort(table.partitions.begin(), table.partitions.end(),
                   [](const TablePartition& a, const TablePartition& b) {
                     return a.start_sector < b.start_sector;
                   });
  return table;
}

const char* PartitionSchemeName(PartitionScheme scheme) {
  switch (scheme) {
    case PartitionScheme::kMbr: return "MBR";
    case PartitionScheme::kGpt: return "GPT";
    case PartitionScheme::kNone: break;
  }
  return "none";
}

std::string PartitionTypeName(const TablePartition& partition) {
  if (!partition.type_guid.empty()) {
    static const struct {
      const char* guid;
      const char* name;
    } kGuids[] = {
        {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI System"},
        {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Basic data"},
        {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
        {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
        {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
        {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
        {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM"},
        {"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
    };
    for (const auto& known : kGuids) {
      if (partition.type_guid == known.guid) return known.name;
    }
    return partition.type_guid;
  }
  const char* name = "Unknown";
  switch (partition.mbr_type) {
    case 0x01: name = "FAT12"; break;
    case 0x04: case 0x06: case 0x0E: name = "FAT16"; break;
    case 0x07: name = "NTFS/exFAT"; break;
    case 0x0B: case 0x0C: name = "FAT32"; break;
    case 0x11: case 0x14: case 0x16: case 0x1B: case 0x1C: case 0x1E: name = "Hidden FAT"; break;
    case 0x17: name = "Hidden NTFS"; break;
    case 0x27: name = "Windows recovery"; break;
    case 0x82: name = "Linux swap"; break;
    case 0x83: name = "Linux"; break;
    case 0x8E: name = "Linux LVM"; break;
    case 0xA5: name = "FreeBSD"; break;
    case 0xAF: name = "HFS+"; break;
    case 0xEE: name = "GPT protective"; break;
    case 0xEF: name = "EFI System"; break;
    case 0xFD: name = "Linux RAID"; break;
    default: break;
  }
  char text[48];
  std::snprintf(text, sizeof text, "%s (0x%02X)", name, partition.mbr_type);
  return text;
}

}  // namespace velmora
