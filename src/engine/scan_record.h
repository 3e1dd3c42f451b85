#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
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

// A field of a packed record, read and written by value only: nothing can bind a
// reference or pointer to its misaligned bytes.
template <typename T>
class Unaligned {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  operator T() const {
    T value;
    std::memcpy(&value, bytes_, sizeof(T));
    return value;
  }
  Unaligned& operator=(T value) {
    std::memcpy(bytes_, &value, sizeof(T));
    return *this;
  }
  T get() const { return *this; }
  Unaligned& operator+=(T value) { return *this = static_cast<T>(get() + value); }
  Unaligned& operator-=(T value) { return *this = static_cast<T>(get() - value); }
  Unaligned& operator|=(T value) { return *this = static_cast<T>(get() | value); }
  Unaligned& operator++() { return *this += T{1}; }

 private:
  unsigned char bytes_[sizeof(T)];
};

// One found file or directory; the same bytes in memory and in the scan log.
#pragma pack(push, 1)
struct ScanRecord {
  Unaligned<uint16_t> drive_tag;
  Unaligned<uint32_t> source_kind;
  Unaligned<uint32_t> is_directory;
  Unaligned<uint32_t> deleted_directory_mark;
  Unaligned<uint32_t> content_check;
  Unaligned<uint32_t> record_index;  // 1-based position in the log
  Unaligned<uint32_t> object_id;     // MFT record number, FAT first cluster, lost-folder number
  Unaligned<int32_t> cluster_size;   // -1 where it has no meaning
  Unaligned<uint64_t> created;       // FILETIME
  Unaligned<uint64_t> last_access;   // FILETIME
  Unaligned<uint64_t> last_write;    // FILETIME
  Unaligned<uint64_t> size;
  Unaligned<uint64_t> data_area_start;  // sector where FAT cluster numbering begins
  Unaligned<uint64_t> location;         // engine-specific metadata or data sector
  Unaligned<uint64_t> partition_start;  // absolute sector of the partition (0 for images)
  char name[kRecordNameBytes];          // UTF-8, NUL-terminated
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

// Bits of `deleted_directory_mark`. Bit 0 keeps its meaning (a FAT quick scan's folder that
// is deleted or lies in a deleted one); the others are only ever set by scans that record
// existing files too, so a log written before reads as it always did: deleted entries only.
constexpr uint32_t kMarkDeletedFolder = 1u;
// The entry is in use on the volume: an existing file (or folder) rather than a deleted one.
constexpr uint32_t kMarkExisting = 2u;
// Listed only when existing files are asked for: existing files, and the folders written
// for them alone.
constexpr uint32_t kMarkExistingOnly = 4u;
// Whether the entry is in use cannot be told (a directory sector or file record found
// outside the volume's own tree).
constexpr uint32_t kMarkEntryUnknown = 8u;

// In use on the volume, deleted, or not known (carved files, entries found out of place).
enum class EntryState { kDeleted, kExisting, kUnknown };
inline EntryState EntryStateOf(const ScanRecord& record) {
  if (record.source_kind == kSourceSignature) return EntryState::kUnknown;
  const uint32_t mark = record.deleted_directory_mark;
  if ((mark & kMarkEntryUnknown) != 0) return EntryState::kUnknown;
  return (mark & kMarkExisting) != 0 ? EntryState::kExisting : EntryState::kDeleted;
}
// "live", "deleted" or "unknown".
inline const char* EntryStateText(EntryState state) {
  return state == EntryState::kExisting  ? "live"
         : state == EntryState::kDeleted ? "deleted"
                                         : "unknown";
}
inline bool ListedOnlyWithExisting(const ScanRecord& record) {
  return (record.deleted_directory_mark.get() & kMarkExistingOnly) != 0;
}

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
