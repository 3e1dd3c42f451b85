#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/log_sums.h"

namespace velmora {

// One saved scan: 1120 bytes in "config".
#pragma pack(push, 1)
struct ScanIndexRecord {
  int32_t disk_number;
  uint32_t reserved;  // 0: a deep scan's resume record; kQuickResultMark: a quick scan's result
  uint64_t first_sector;
  uint64_t sector_count;
  uint64_t resume[5];
  uint64_t free_bytes;
  uint64_t image_write_time;  // FILETIME
  char16_t image_path[260];   // UTF-16, zero-terminated
  char16_t scan_folder[260];  // UTF-16, zero-terminated, trailing "/"
};
#pragma pack(pop)
static_assert(sizeof(ScanIndexRecord) == 1120);

// Marks an index record that keeps a finished quick scan's folder; the deep
// scan's lookups pass over such records.
constexpr uint32_t kQuickResultMark = 1;

// Scan-log directory: $VELMORA_DATA_DIR/ScanLog, else the XDG data home.
std::string ScanLogDirectory();

// Numbered scan folders and the resume records of deep scans ("config",
// rewritten crash-safely through "config.tmp").
class ScanIndex {
 public:
  static ScanIndex& Instance();
  // Drops the process-wide instance so the next Instance() loads again (tests).
  static void ResetInstance();

  explicit ScanIndex(std::string directory);

  bool FindForPartition(int disk_number, uint64_t first_sector, uint64_t sector_count,
                        const std::string& mount_point, ScanIndexRecord* out);
  bool FindForImage(const std::string& image_path, ScanIndexRecord* out);
  [[nodiscard]] int AddOrUpdate(const std::string& mount_point, int disk_number,
                                uint64_t first_sector, uint64_t sector_count,
                                const uint64_t resume[5], const std::string& scan_folder,
                                const std::string& image_path, const FolderSums* sums = nullptr);
  // Stores a quick scan's result record, replacing the one of the same source.
  [[nodiscard]] int PutQuickResult(const ScanIndexRecord& record, const FolderSums* sums = nullptr);
  // The checksums of a saved folder's logs (null when none were recorded, as by older
  // versions). They are kept in "config.sums", so "config" keeps its record layout.
  const FolderSums* SumsOf(const std::string& folder) const;
  std::string CurrentFolder() const;
  // Makes `folder` current, as a resumed scan or a reopened result does.
  void UseFolder(const std::string& folder);
  std::string NewScanFolder();
  int Remove(const std::string& folder);
  void DropLastNumber();
  bool FindLogFile(const std::string& folder, const std::string& fragment, std::string* name) const;

  const std::string& Directory() const { return directory_; }
  uint64_t LastNumber() const { return last_number_; }
  const std::vector<ScanIndexRecord>& Records() const { return records_; }
  bool Resuming() const { return resume_flag_; }
  // Why "config" was found damaged ("" while it was whole): a length that is no whole
  // number of records, records naming no scan folder, a counter below the folders. The
  // damaged file is kept as "config.damaged", its numbered folders are never reused, and
  // the faces tell the user why saved results are scanned again.
  const std::string& Damage() const { return damage_; }
  // Writes the index; every change above is written at once already.
  [[nodiscard]] int Save();

 private:
  void Load();
  void KeepDamagedIndex(const std::string& damage);
  [[nodiscard]] int Update(const std::function<void()>& change);
  [[nodiscard]] int WriteIndex();
  [[nodiscard]] int WriteSums();
  void PutSums(const std::string& folder, const FolderSums& sums);
  std::string FolderFor(uint64_t number) const;
  bool IsNumberedFolder(const std::string& folder) const;

  std::string directory_;
  uint64_t last_number_ = 0;
  std::vector<ScanIndexRecord> records_;
  std::vector<std::pair<std::string, FolderSums>> sums_;  // by scan folder, "/" at the end
  bool resume_flag_ = false;
  std::string current_folder_;
  uint64_t claimed_number_ = 0;  // the folder number NewScanFolder handed out last
  std::string damage_;
};

// Held while a source is scanned, so that a scan of the same source in another process
// is refused (kErrSharingViolation) instead of sharing its saved state. Scans within one
// process share the lock.
class SourceScanLock {
 public:
  SourceScanLock() = default;
  SourceScanLock(const SourceScanLock&) = delete;
  SourceScanLock& operator=(const SourceScanLock&) = delete;
  ~SourceScanLock() { Release(); }

  // `key` names the source (an image's real path, or disk and region). A scan holds it alone;
  // kErrSharingViolation while another process scans the source or reads its result.
  int Acquire(const std::string& directory, const std::string& key);
  // Held while a saved result is read (listing, recovering): readers share it, a scan in
  // another process waits for them, and they are refused while one runs.
  int AcquireShared(const std::string& directory, const std::string& key);
  void Release();

 private:
  int Take(const std::string& directory, const std::string& key, bool exclusive);
  std::string key_;
  bool exclusive_ = false;
};

}  // namespace velmora
