#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "engine/scan_record.h"
#include "storage/platform_device.h"

namespace velmora {

// One directory of the "_DirInfo" file: 268 bytes on disk.
#pragma pack(push, 1)
struct DirectoryEntry {
  uint32_t object_id;
  uint32_t record_index;
  char name[260];
};
#pragma pack(pop)
static_assert(sizeof(DirectoryEntry) == 268);

// Times a ScanRecord has no room for, one entry of the "_Times" file (48 bytes) per
// record that has them: NTFS keeps a second set of times in each $FILE_NAME, and the
// metadata-change time beside the three the record holds. Logs written before the
// file existed have none, and read as such.
#pragma pack(push, 1)
struct RecordTimesEntry {
  uint32_t record_index = 0;
  uint32_t flags = 0;
  uint64_t changed = 0;  // metadata changed (FILETIME), 0 when unknown
  uint64_t name_created = 0;
  uint64_t name_modified = 0;
  uint64_t name_changed = 0;
  uint64_t name_accessed = 0;
};
#pragma pack(pop)
static_assert(sizeof(RecordTimesEntry) == 48);
// The record's own times came from the file's $FILE_NAME, for want of others.
constexpr uint32_t kTimesFromFileName = 0x1;
// The name_* fields hold a second set of times.
constexpr uint32_t kTimesHasNameSet = 0x2;

// Engines whose logs can hold such entries.
class IRecordTimes {
 public:
  // False when the record has no entry (other file systems, logs of older versions).
  virtual bool ExtraTimesOf(const ScanRecord& record, RecordTimesEntry* out) = 0;

 protected:
  ~IRecordTimes() = default;
};

// The result log of one engine: fixed-size records plus the "_Relation" text
// index (parent key -> record indices) and the "_DirInfo" directory list.
// Records are written in batches; queries flush first and read single records.
class ScanLogStore {
 public:
  static constexpr size_t kBatchBytes = 69200;  // 200 records

  ScanLogStore();
  ~ScanLogStore();
  ScanLogStore(const ScanLogStore&) = delete;
  ScanLogStore& operator=(const ScanLogStore&) = delete;

  // Creates or reopens the three files in the current scan folder.
  [[nodiscard]] int Open(const std::string& log_name);
  // Same, in an explicit folder (tests and tools).
  [[nodiscard]] int OpenIn(const std::string& folder, const std::string& log_name);
  void Close();
  bool IsOpen() const { return main_fd_ >= 0; }

  // Numbers `record` (its record_index is set) and queues a copy for the log. The
  // result is the first write error of the log so far: once a batch is lost the
  // log is incomplete, and appends and flushes keep saying so.
  int AppendRecord(ScanRecord* record);
  int WriteError() const { return write_error_; }
  void AddRelation(uint32_t parent_id, uint32_t depth, uint32_t record_index, uint32_t object_id,
                   const char* directory_name);
  // Keeps `entry` for its record (entry.record_index), written with the next flush.
  void AddTimes(const RecordTimesEntry& entry);
  // The entry of a record; false when the log holds none.
  bool FindTimes(uint32_t record_index, RecordTimesEntry* out) const;
  [[nodiscard]] int Flush();

  int ListChildren(RelationKey key, ScanRecordList* out);
  int CountFilesUnder(RelationKey key, int* count);
  uint64_t GetRecordCount() const { return record_count_; }
  // Ancestors from the record's parent up to (not including) the root.
  int GetAncestors(const ScanRecord& record, ScanRecordList* out);
  int FindDirectoryRecord(uint32_t object_id, ScanRecord* out);
  // Reads record `index` (1-based) from the log.
  int ReadRecord(uint32_t index, ScanRecord* out);
  // Sorted for listing unless `sorted` is false.
  int ListByType(const std::string& filter, ScanRecordList* out, bool sorted = true);
  // GetFullPath of the engine interface: ancestors' names top-down, each + "/".
  int FullPath(const ScanRecord& record, std::string* path);

  // Whether queries list existing files (and the folders written for them alone) beside the
  // deleted ones; off by default.
  void SetListExisting(bool on) { list_existing_ = on; }
  bool ListsExisting() const { return list_existing_; }

  void SetListingCallback(ListingProgressCallback callback, void* context) {
    listing_callback_ = callback;
    listing_context_ = context;
  }

  const std::string& MainPath() const { return main_path_; }
  // The scan folder the log lies in.
  std::string Folder() const { return main_path_.substr(0, main_path_.rfind('/') + 1); }
  const std::string& LogName() const { return log_name_; }
  const std::map<uint64_t, std::vector<uint32_t>>& Relations() const { return relations_; }
  const std::vector<DirectoryEntry>& Directories() const { return directories_; }

 private:
  const std::vector<uint32_t>* IndicesOf(RelationKey key) const;
  int WriteBuffered();

  std::vector<uint8_t> buffer_;
  size_t buffered_bytes_ = 0;
  int write_error_ = 0;
  uint64_t record_count_ = 0;
  int main_fd_ = -1;
  int relation_fd_ = -1;
  int directory_fd_ = -1;
  ListingProgressCallback listing_callback_ = nullptr;
  void* listing_context_ = nullptr;
  bool list_existing_ = false;
  std::string log_name_;
  std::string main_path_;
  std::string relation_path_;
  std::string directory_path_;
  std::string times_path_;
  int times_fd_ = -1;  // opened when the first entry is written, or when the file exists
  std::vector<RecordTimesEntry> times_;
  size_t times_written_ = 0;
  std::unordered_map<uint32_t, size_t> times_by_index_;
  std::map<uint64_t, std::vector<uint32_t>> relations_;
  std::vector<DirectoryEntry> directories_;
  // Side files are rewritten only when their content changed since the last flush, so that
  // queries that flush first stay cheap; directory entries are only ever appended.
  bool relations_dirty_ = false;
  size_t directories_written_ = 0;
  // Index of directory entries by object id (first entry wins), kept in step with directories_.
  std::unordered_map<uint32_t, size_t> directory_by_id_;
  // Reverse of relations_: record index -> key, for ancestor walks.
  std::unordered_map<uint32_t, uint64_t> parent_of_;
};

// Marks `folder` as holding a scan that recorded existing files beside deleted ones.
[[nodiscard]] int StampExistingFiles(const std::string& folder);
// Whether the scan in `folder` recorded existing files: its stamp, or no quick-scan log
// (only the quick engines leave existing files out in logs written before they listed them).
bool FolderHoldsExistingFiles(const std::string& folder);

// "Fast_%lld_%d%d%d%d%2d" and its siblings, from the local time now.
std::string FormatLogName(const char* prefix, int64_t start_sector);

// Orders files before directories, then by name case-insensitively.
void SortForListing(ScanRecordList* records);
// Whether SortForListing puts `a` before `b`: files before folders, then names compared
// without case.
bool ListsBefore(const ScanRecord& a, const ScanRecord& b);

}  // namespace velmora
