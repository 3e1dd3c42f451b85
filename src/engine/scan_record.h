#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "ScanRecord is stored in memory layout; the log format is little-endian");

enum SourceKind : uint32_t {
  kSourceNtfsQuick = 0,
  kSourceFatQuick = 1,
  kSourceNtfsDeep = 2,
  kSourceFatDeep = 3,
  kSourceSignature = 4,
};

constexpr size_t kRecordNameBytes = 260;

// One found file or directory; the same bytes in memory and in the scan log.
#pragma pack(push, 1)
struct ScanRecord {
  uint16_t drive_tag;
  uint32_t source_kind;
  uint32_t is_directory;
  uint32_t deleted_directory_mark;
  uint32_t content_check;
  uint32_t record_index;      // 1-based position in the log
  uint32_t object_id;         // MFT record number, FAT first cluster, lost-folder number
  int32_t cluster_size;       // -1 where it has no meaning
  uint64_t created;           // FILETIME
  uint64_t last_access;       // FILETIME
  uint64_t last_write;        // FILETIME
  uint64_t size;
  uint64_t data_area_start;   // sector where FAT cluster numbering begins
  uint64_t location;          // engine-specific metadata or data sector
  uint64_t partition_start;   // absolute sector of the partition (0 for images)
  char name[kRecordNameBytes];  // UTF-8, NUL-terminated
};
#pragma pack(pop)

static_assert(sizeof(ScanRecord) == 346);
static_assert(offsetof(ScanRecord, source_kind) == 2);
static_assert(offsetof(ScanRecord, is_directory) == 6);
static_assert(offsetof(ScanRecord, deleted_directory_mark) == 10);
static_assert(offsetof(ScanRecord, content_check) == 14);
static_assert(offsetof(ScanRecord, record_index) == 18);
static_assert(offsetof(ScanRecord, object_id) == 22);
static_assert(offsetof(ScanRecord, cluster_size) == 26);
static_assert(offsetof(ScanRecord, created) == 30);
static_assert(offsetof(ScanRecord, last_access) == 38);
static_assert(offsetof(ScanRecord, last_write) == 46);
static_assert(offsetof(ScanRecord, size) == 54);
static_assert(offsetof(ScanRecord, data_area_start) == 62);
static_assert(offsetof(ScanRecord, location) == 70);
static_assert(offsetof(ScanRecord, partition_start) == 78);
static_assert(offsetof(ScanRecord, name) == 86);

using ScanRecordList = std::vector<ScanRecord>;

// Parent grouping of the store: depth × 2^32 + parent id.
struct RelationKey {
  uint32_t parent_id = 0;
  uint32_t depth = 0;
  uint64_t Value() const { return (static_cast<uint64_t>(depth) << 32) | parent_id; }
  static RelationKey FromValue(uint64_t value) {
    return RelationKey{static_cast<uint32_t>(value), static_cast<uint32_t>(value >> 32)};
  }
};

}  // namespace velmora
