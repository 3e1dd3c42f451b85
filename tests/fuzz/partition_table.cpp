// MBR (with extended chains) and GPT tables read from a whole-disk image held in memory.
#include <cstring>

#include "fuzz_target.h"
#include "storage/partition_table.h"

using namespace velmora;

VELMORA_FUZZ_TARGET(partition_table) {
  const ByteReader read = [data, size](uint64_t offset, void* buffer, size_t length) {
    if (offset > size || size - offset < length) return false;
    std::memcpy(buffer, data + offset, length);
    return true;
  };
  for (uint32_t sector_size : {0u, 512u, 4096u}) {
    const PartitionTable table = ReadPartitionTable(read, size, sector_size);
    (void)PartitionSchemeName(table.scheme);
    const uint64_t sectors = size / table.sector_size;
    uint64_t previous = 0;
    for (const TablePartition& p : table.partitions) {
      (void)PartitionTypeName(p);
      // Every listed partition lies on the medium, in ascending order.
      FUZZ_CHECK(p.start_sector >= previous);
      FUZZ_CHECK(p.start_sector <= sectors && p.sector_count <= sectors - p.start_sector);
      previous = p.start_sector;
    }
  }
}
