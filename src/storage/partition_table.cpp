#include "storage/partition_table.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>

#include "storage/boot_record.h"
#include "storage/byte_view.h"
#include "storage/checksum.h"
#include "storage/text_codec.h"

namespace velmora {

namespace {

constexpr uint16_t kBootSignature = 0xAA55;
constexpr size_t kMbrEntriesOffset = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr uint8_t kGptProtectiveType = 0xEE;
// Most extended boot records read; real disks stay far below, a crafted tree stops here.
constexpr int kMaxLogicalPartitions = 256;
// GPT entry arrays larger than this are treated as damage, not read.
constexpr uint64_t kMaxGptEntryArrayBytes = 4 * 1024 * 1024;

std::string GuidText(ByteView g) {
  if (!g.Has(0, 16)) return {};
  const uint8_t* b = g.data();
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", *g.Le32(0),
                *g.Le16(4), *g.Le16(6), b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
  return text;
}

// GPT names are UTF-16LE, zero-terminated within 72 bytes; lone surrogates become U+FFFD.
std::string Utf16Name(ByteView name, size_t units) {
  size_t length = 0;
  while (length < units && name.Le16(2 * length).value_or(0) != 0) ++length;
  return Utf16LeToUtf8(name.data(), length);
}

bool ReadSector(const ByteReader& read, uint64_t lba, uint32_t sector_size, uint64_t medium_bytes,
                std::vector<uint8_t>* sector) {
  sector->assign(sector_size, 0);
  const uint64_t offset = lba * sector_size;
  if (lba > medium_bytes / sector_size || offset + sector_size > medium_bytes) return false;
  return read(offset, sector->data(), sector_size);
}

// A FAT or NTFS boot sector also ends in 55 AA; its boot code must not be taken for a table.
// Any sane FAT BPB with its type text counts, so a volume the engines would refuse still
// keeps its sector from being read as a partition table.
bool LooksLikeVolumeBootSector(ByteView s) {
  const std::optional<BootRecord> boot = DecodeBootRecord(s.span());
  if (!boot || (boot->jump != 0xEB && boot->jump != 0xE9)) return false;
  if (boot->OemIs("NTFS    ") || boot->OemIs("EXFAT   ")) return true;
  const bool sane_bpb = boot->bytes_per_sector >= 512 && boot->bytes_per_sector <= 4096 &&
                        IsPowerOfTwo(boot->bytes_per_sector) &&
                        IsPowerOfTwo(boot->sectors_per_cluster) && boot->reserved_sectors != 0 &&
                        boot->fat_count != 0;
  return sane_bpb && (boot->Fat16TypeStartsWith("FAT") || boot->Fat32TypeStartsWith("FAT"));
}

// A file system starts here: a FAT/NTFS/exFAT boot sector or an ext superblock.
bool LooksLikeVolumeStart(const ByteReader& read, uint64_t offset, uint64_t medium_bytes) {
  std::vector<uint8_t> area(2048);
  if (offset > medium_bytes || area.size() > medium_bytes - offset) return false;
  if (!read(offset, area.data(), area.size())) return false;
  return LooksLikeVolumeBootSector(area) || ByteView(area).Le16(1024 + 56) == 0xEF53;
}

struct RawMbrEntry {
  uint8_t boot = 0;
  uint8_t type = 0;
  uint32_t start = 0;
  uint32_t count = 0;
};

RawMbrEntry MbrEntry(ByteView sector, int index) {
  const ByteView e =
      sector.Sub(kMbrEntriesOffset + kMbrEntrySize * static_cast<size_t>(index), kMbrEntrySize);
  return {e.U8(0).value_or(0), e.U8(4).value_or(0), e.Le32(8).value_or(0), e.Le32(12).value_or(0)};
}

bool IsMbrSector(ByteView sector) {
  if (sector.Le16(510) != kBootSignature) return false;
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

std::string SectorText(uint64_t sector) { return "sector " + std::to_string(sector); }

// The logical partition found so far that holds `sector`; null when none does.
const TablePartition* LogicalHolding(const PartitionTable& table, uint64_t sector) {
  for (const TablePartition& p : table.partitions) {
    if (p.logical && sector >= p.start_sector && sector - p.start_sector < p.sector_count)
      return &p;
  }
  return nullptr;
}

// Each extended boot record holds a data entry and a link to the next record. Most tools
// put them in slots 1 and 2, but either may sit in any slot (some put the link first, some
// use all four), so every slot is read. A damaged chain is told about, never cut short silently.
void ReadLogicalPartitions(const ByteReader& read, uint64_t medium_bytes, uint32_t sector_size,
                           uint64_t extended_start, uint64_t extended_count, uint32_t* next_slot,
                           PartitionTable* table) {
  const uint64_t medium_sectors = medium_bytes / sector_size;
  const uint64_t extended_end = extended_start + extended_count;
  std::set<uint64_t> visited;
  // Records still to read, the next one last; a record with two links has both followed.
  std::vector<uint64_t> pending{extended_start};
  std::vector<uint8_t> sector;
  int records = 0;
  while (!pending.empty()) {
    const uint64_t ebr = pending.back();
    pending.pop_back();
    if (!visited.insert(ebr).second) {
      table->warnings.push_back(
          "logical partition chain loops back to the extended boot record at " + SectorText(ebr) +
          "; not followed again");
      continue;
    }
    if (++records > kMaxLogicalPartitions) {
      table->warnings.push_back("more than " + std::to_string(kMaxLogicalPartitions) +
                                " extended boot records; the rest is ignored");
      return;
    }
    if (const TablePartition* holder = LogicalHolding(*table, ebr)) {
      table->warnings.push_back("extended boot record at " + SectorText(ebr) +
                                " lies inside partition " + std::to_string(holder->slot));
    }
    if (!ReadSector(read, ebr, sector_size, medium_bytes, &sector)) {
      table->warnings.push_back("extended boot record at " + SectorText(ebr) + " cannot be read");
      continue;
    }
    if (ByteView(sector).Le16(510) != kBootSignature) {
      // An empty extended partition has no record at all; a missing one further on is damage.
      if (ebr != extended_start) {
        table->warnings.push_back("extended boot record at " + SectorText(ebr) +
                                  " has no signature; the logical partitions it held are lost");
      }
      continue;
    }
    std::vector<uint64_t> links;
    for (int slot = 0; slot < 4; ++slot) {
      const RawMbrEntry e = MbrEntry(sector, slot);
      if (e.type == 0 || e.count == 0) continue;
      if (IsExtendedPartitionType(e.type)) {
        const uint64_t next = extended_start + e.start;
        if (next >= extended_end) {
          table->warnings.push_back("the extended boot record at " + SectorText(ebr) +
                                    " links to " + SectorText(next) +
                                    ", outside the extended partition; not followed");
        } else {
          links.push_back(next);
        }
        continue;
      }
      const uint64_t start = ebr + e.start;
      const std::string where = "logical partition at " + SectorText(start) +
                                " (extended boot record " + std::to_string(ebr) + ", entry " +
                                std::to_string(slot + 1) + ")";
      if (start < extended_start || e.count > extended_end - std::min(start, extended_end)) {
        // The first two slots are where tools write; the last two often hold stale bytes.
        if (slot >= 2) {
          table->warnings.push_back(where + " lies outside the extended partition; left out");
          continue;
        }
        table->warnings.push_back(where + " lies outside the extended partition");
      }
      const auto same = std::find_if(
          table->partitions.begin(), table->partitions.end(), [&](const TablePartition& p) {
            return p.logical && p.start_sector == start && p.sector_count == e.count;
          });
      if (same != table->partitions.end()) {
        table->warnings.push_back(where + " repeats partition " + std::to_string(same->slot) +
                                  "; listed once");
        continue;
      }
      for (const TablePartition& p : table->partitions) {
        if (p.logical && start < p.start_sector + p.sector_count &&
            p.start_sector < start + e.count) {
          table->warnings.push_back(where + " overlaps partition " + std::to_string(p.slot));
        }
      }
      if (e.start == 0) table->warnings.push_back(where + " covers its own extended boot record");
      TablePartition p;
      p.slot = (*next_slot)++;
      p.start_sector = start;
      p.sector_count = e.count;
      p.mbr_type = e.type;
      p.bootable = e.boot == 0x80;
      p.logical = true;
      AddPartition(p, medium_sectors, table);
    }
    if (links.size() > 1) {
      table->warnings.push_back("extended boot record at " + SectorText(ebr) + " links to " +
                                std::to_string(links.size()) + " records; all are followed");
    }
    pending.insert(pending.end(), links.rbegin(), links.rend());
  }
}

bool ReadMbr(const ByteReader& read, uint64_t medium_bytes, uint32_t sector_size,
             const std::vector<uint8_t>& mbr, PartitionTable* table) {
  const uint64_t medium_sectors = medium_bytes / sector_size;
  table->scheme = PartitionScheme::kMbr;
  table->sector_size = sector_size;
  uint32_t next_logical_slot = 5;
  bool followed_extended = false;
  for (int i = 0; i < 4; ++i) {
    const RawMbrEntry e = MbrEntry(mbr, i);
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

// The GPT whose header is at `header_lba`; false when there is none there, with `why` set
// when a header signature is there but the header or its entry array cannot be used.
bool ReadGptAt(const ByteReader& read, uint64_t medium_bytes, uint32_t sector_size,
               uint64_t header_lba, PartitionTable* table, std::string* why) {
  std::vector<uint8_t> header;
  if (!ReadSector(read, header_lba, sector_size, medium_bytes, &header)) return false;
  const ByteView h(header);
  if (!h.Matches(0, "EFI PART")) return false;
  const uint32_t header_size = h.Le32(12).value_or(0);
  if (header_size < 92 || header_size > sector_size) {
    *why = "header size " + std::to_string(header_size);
    return false;
  }
  std::vector<uint8_t> copy(header.begin(), header.begin() + header_size);
  std::memset(copy.data() + 16, 0, 4);
  if (Crc32(copy.data(), copy.size()) != h.Le32(16)) {
    *why = "header checksum wrong";
    return false;
  }
  if (h.Le64(24) != header_lba) {
    *why = "header names another sector as its own";
    return false;
  }

  const uint64_t medium_sectors = medium_bytes / sector_size;
  const uint64_t entries_lba = h.Le64(72).value_or(0);
  // The header gives the number and size of the entries: 128 of 128 bytes is only the usual.
  const uint32_t entry_count = h.Le32(80).value_or(0);
  const uint32_t entry_size = h.Le32(84).value_or(0);
  if (entry_size < 128 || entry_size > 4096 || (entry_size & (entry_size - 1)) != 0) {
    *why = "entry size " + std::to_string(entry_size);
    return false;
  }
  const uint64_t array_bytes = static_cast<uint64_t>(entry_count) * entry_size;
  if (array_bytes > kMaxGptEntryArrayBytes) {
    *why = std::to_string(entry_count) + " entries of " + std::to_string(entry_size) +
           " bytes, more than " + std::to_string(kMaxGptEntryArrayBytes >> 20) + " MiB";
    return false;
  }
  const uint64_t array_sectors = (array_bytes + sector_size - 1) / sector_size;
  if (entries_lba >= medium_sectors || array_sectors > medium_sectors - entries_lba ||
      (header_lba >= entries_lba && header_lba - entries_lba < array_sectors)) {
    *why = "entry array at sector " + std::to_string(entries_lba) + " does not fit the medium";
    return false;
  }
  std::vector<uint8_t> entries(static_cast<size_t>(array_bytes));
  if (array_bytes != 0 && !read(entries_lba * sector_size, entries.data(), entries.size())) {
    *why = "entry array cannot be read";
    return false;
  }
  if (Crc32(entries.data(), entries.size()) != h.Le32(88)) {
    *why = "entry array checksum wrong";
    return false;
  }

  table->scheme = PartitionScheme::kGpt;
  table->sector_size = sector_size;
  table->partitions.clear();
  for (uint32_t i = 0; i < entry_count; ++i) {
    const ByteView e = ByteView(entries).Sub(size_t{i} * entry_size, entry_size);
    if (e.empty()) break;
    if (e.Le64(0) == 0 && e.Le64(8) == 0) continue;  // an unused entry
    const uint64_t first = e.Le64(32).value_or(0);
    const uint64_t last = e.Le64(40).value_or(0);
    if (last < first) {
      table->warnings.push_back("GPT entry " + std::to_string(i + 1) + " ends before it starts");
      continue;
    }
    TablePartition p;
    p.slot = i + 1;
    p.start_sector = first;
    p.sector_count = last - first + 1;
    p.type_guid = GuidText(e);
    p.name = Utf16Name(e.From(56), 36);
    AddPartition(p, medium_sectors, table);
  }
  return true;
}

bool ReadGpt(const ByteReader& read, uint64_t medium_bytes, uint32_t sector_size,
             PartitionTable* table) {
  std::string primary_why;
  if (ReadGptAt(read, medium_bytes, sector_size, 1, table, &primary_why)) return true;
  const uint64_t last_lba = medium_bytes / sector_size;
  if (last_lba < 2) return false;
  PartitionTable backup;
  std::string backup_why;
  if (!ReadGptAt(read, medium_bytes, sector_size, last_lba - 1, &backup, &backup_why)) {
    if (!primary_why.empty()) {
      table->warnings.push_back("GPT header damaged (" + primary_why +
                                ") and no valid backup header" +
                                (backup_why.empty() ? "" : " (" + backup_why + ")"));
    }
    return false;
  }
  backup.warnings.insert(backup.warnings.begin(),
                         primary_why.empty()
                             ? "primary GPT header missing; backup header used"
                             : "primary GPT damaged (" + primary_why + "); backup header used");
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
  const bool mbr_valid = IsMbrSector(mbr);
  bool protective = false;
  if (mbr_valid) {
    for (int i = 0; i < 4; ++i) protective |= MbrEntry(mbr, i).type == kGptProtectiveType;
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
    case 0x04:
    case 0x06:
    case 0x0E: name = "FAT16"; break;
    case 0x07: name = "NTFS/exFAT"; break;
    case 0x0B:
    case 0x0C: name = "FAT32"; break;
    case 0x11:
    case 0x14:
    case 0x16:
    case 0x1B:
    case 0x1C:
    case 0x1E: name = "Hidden FAT"; break;
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
