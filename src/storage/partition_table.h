#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// MBR (with extended partitions) and GPT layouts read from a disk or a whole-disk image.
// Every value read from the medium is checked against the medium's size before use.
namespace velmora {

enum class PartitionScheme { kNone, kMbr, kGpt };

struct TablePartition {
  // Linux-style slot: MBR primaries 1-4, logical partitions 5 upward; GPT entry index + 1.
  uint32_t slot = 0;
  uint64_t start_sector = 0;  // in the table's sector size
  uint64_t sector_count = 0;
  uint8_t mbr_type = 0;   // 0 for GPT entries
  std::string type_guid;  // GPT only, upper-case text form
  std::string name;       // GPT partition name, UTF-8
  bool bootable = false;
  bool logical = false;
  bool truncated = false;  // the entry ran past the end of the medium; length was cut
};

struct PartitionTable {
  PartitionScheme scheme = PartitionScheme::kNone;
  uint32_t sector_size = 512;
  // Data partitions in ascending start order; extended containers and GPT
  // protective entries are left out.
  std::vector<TablePartition> partitions;
  // Starts of MBR extended containers (the kernel lists these as tiny partitions).
  std::vector<uint64_t> container_starts;
  // Damage noticed while reading (bad backup header, broken logical chain, ...).
  std::vector<std::string> warnings;
};

// Reads `length` bytes at byte `offset`; false when they could not all be read.
using ByteReader = std::function<bool(uint64_t offset, void* buffer, size_t length)>;

// `sector_size` 0 lets the reader look for a GPT at 512 and 4096 bytes per sector
// (MBR values are then taken as 512-byte sectors); otherwise the medium's logical size.
PartitionTable ReadPartitionTable(const ByteReader& read, uint64_t medium_bytes,
                                  uint32_t sector_size);

const char* PartitionSchemeName(PartitionScheme scheme);
// "NTFS/exFAT (0x07)", "Linux (0x83)", "EFI System", ...
std::string PartitionTypeName(const TablePartition& partition);
bool IsExtendedPartitionType(uint8_t mbr_type);

}  // namespace velmora
