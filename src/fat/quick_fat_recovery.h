#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "engine/record_spill.h"
#include "engine/store_backed_engine.h"
#include "engine/overwrite_estimate.h"
#include "engine/scan_log_store.h"
#include "fat/fat_boot_geometry.h"
#include "fat/fat_cluster_bitmap.h"
#include "fat/fat_content_check.h"
#include "fat/fat_directory_entry.h"
#include "fat/fat_record_output.h"
#include "fat/fat_table.h"
#include "fat/fat_volume.h"
#include "storage/sector_reader.h"

namespace velmora {

// Quick scan of a FAT12/16/32 volume: walks the directory tree breadth-first
// from the root and reports deleted files, the files inside deleted
// directories, and the directories above them; copies them out again.
class CFastFatRecovery : public StoreBackedEngine,
                         public IOverwriteEstimator,
                         public IScanIntoFolder,
                         public IMetadataReadFaults,
                         public IContentAnswerSharing {
 public:
  CFastFatRecovery() = default;
  ~CFastFatRecovery() override = default;

  int OpenImage(const std::string& image_path, char16_t drive_tag) override;
  int OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                    char16_t drive_letter) override;
  int Scan(const char* log_name) override;
  int RecoverFile(const ScanRecord& record, const std::string& destination,
                  int base_depth) override;
  int GetNextFreeRange(uint64_t* position, uint64_t* length) override;
  int LoadClusterBitmap() override;
  // Directory sectors the last scan could not read (the root's own named first).
  MetadataReadFaults ReadFaults() const override;
  int PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory, int* bytes,
                  PreviewProgressCallback callback, void* context) override;

  // The clusters a contiguous read of the file takes that the FAT now gives to
  // live files; records of this volume's layout only.
  bool EstimateOverwrite(const ScanRecord& record, OverwriteEstimate* out) override;

  // Scans into a log in `folder` instead of the current scan folder (tests, tools).
  int ScanInto(const std::string& folder) override;
  const FatGeometry& Geometry() const { return geometry_; }
  bool IsOpen() const { return open_; }
  const ScanLogStore* Store() const { return store_.get(); }
  void ShareContentAnswers(std::shared_ptr<FatContentAnswers> answers) override {
    content_answers_ = std::move(answers);
  }

 private:
  // A directory met during the walk, written out only when it leads to a reported file.
  struct PendingDirectory {
    ScanRecord record{};
    uint32_t parent = 0;
    uint32_t depth = 0;  // level below the root (a root child is 1)
    bool deleted = false;
    bool listed = false;
  };
  // The directory being listed.
  struct DirectoryCursor {
    uint32_t cluster = 0;  // the directory's first cluster: the parent id of its entries
    uint32_t depth = 0;
    bool deleted = false;
    uint32_t highest_entry = 0;  // highest first cluster named by a listed entry
    LongNameCollector names;
  };
  // A deleted directory whose listing ran out of clusters before its end entry:
  // its released chain gives no hint where it went on.
  struct OpenDirectory {
    uint32_t last_cluster = 0;   // last cluster listed for it
    uint32_t highest_entry = 0;  // highest first cluster its entries name
    uint32_t depth = 0;
    LongNameCollector names;  // long-name pieces at the end of the last cluster
  };

  int OpenBound(char16_t drive_tag);
  int RunScan(const std::string& folder, bool explicit_folder);
  void ResetScanState();
  int ReportProgress(int percent, int seconds_remaining);
  int MaybeReportProgress();

  void ListDirectory(uint32_t cluster);
  int DrainDirectoryQueue();
  // Finds free clusters that continue deleted directories (entries without a
  // "." start), lists them under their directory or, without evidence, under
  // a lost folder in the root.
  int ListContinuationClusters();
  void ListContinuation(uint32_t cluster, const std::vector<uint8_t>& content);
  bool FindOwnerOf(uint32_t cluster, const std::vector<uint8_t>& content, uint32_t* owner) const;
  // False when an end-of-directory entry was met.
  bool ListEntries(DirectoryCursor* cursor, const uint8_t* buffer, size_t length,
                   uint64_t first_sector);
  void OnSubdirectory(DirectoryCursor* cursor, const uint8_t* entry, const std::string& name);
  void OnFile(DirectoryCursor* cursor, const uint8_t* entry, const std::string& name,
              uint64_t entry_sector);
  // A file of a live folder: kept back until every deleted file's record is written.
  void OnExistingFile(const DirectoryCursor& cursor, const uint8_t* entry, const std::string& name,
                      uint64_t entry_sector);
  // Appends the existing files and the folders only they lead to; false when some were lost.
  bool WriteExistingFiles();
  // Whether the "." and ".." entries at `start` name this directory and its parent.
  bool DotEntriesMatch(const uint8_t* start, uint32_t cluster, uint32_t parent) const;
  bool NextDirectoryCluster(const DirectoryCursor& cursor, uint32_t current, uint32_t* next);
  // Notes the folders above a reported file in `list` (those not noted before).
  void NoteAncestors(uint32_t directory, std::vector<uint32_t>* list);
  // Writes the folders of `list` with `mark` in their deleted-directory mark.
  void WriteAncestorRecords(const std::vector<uint32_t>& list, uint32_t mark);

  uint32_t SearchDirectoryHighWord(uint16_t low);
  uint32_t SearchFileHighWord(uint16_t low, const std::string& name);
  // 1 or 0 as the cluster's first sector agrees with the extension, -1 when unreadable.
  int JudgeCluster(uint32_t cluster, std::string_view extension);
  uint32_t ContentCheck(uint32_t first_cluster, const std::string& name);
  bool ReadFirstSector(uint32_t cluster, std::vector<uint8_t>* sector);
  // Reads `count` directory sectors from `sector`; a sector that cannot be read is zeros,
  // false in `readable`, and counted. False when none could be read.
  bool ReadDirectorySectors(uint64_t sector, uint32_t count, uint8_t* buffer,
                            std::vector<bool>* readable);
  // ListEntries over the readable runs of what ReadDirectorySectors read.
  bool ListReadable(DirectoryCursor* cursor, const uint8_t* buffer,
                    const std::vector<bool>& readable, uint64_t sector);
  void FillCommon(ScanRecord* record, const uint8_t* entry, uint32_t first_cluster,
                  const std::string& name) const;

  RelationKey KeyFor(const ScanRecord* directory, int depth) const override;
  int CopyFileTo(const ScanRecord& record, const std::string& path);
  FatRecordReader ReaderFor(const ScanRecord& record);
  int CheckRecord(const ScanRecord& record) const;

  bool open_ = false;
  char16_t drive_tag_ = 0;
  SectorReader reader_;
  FatVolume volume_;
  FatGeometry geometry_;
  FatTable table_;
  FatClusterBitmap bitmap_;
  std::shared_ptr<FatContentAnswers> content_answers_;

  std::deque<uint32_t> directory_queue_;
  std::set<uint32_t> visited_;
  std::map<uint32_t, PendingDirectory> directories_;
  std::vector<uint32_t> ancestors_;
  std::set<uint32_t> ancestor_set_;
  std::map<uint32_t, OpenDirectory> open_directories_;
  // Files of live folders, with their parent's first cluster and depth, in the order met.
  std::unique_ptr<RecordSpill> existing_;
  std::vector<std::pair<uint32_t, uint32_t>> existing_parents_;
  std::set<uint32_t> listed_clusters_;

  int progress_reports_ = 0;
  uint64_t unreadable_directory_sectors_ = 0;
  uint64_t first_unreadable_directory_sector_ = 0;
  bool root_unreadable_ = false;
  uint64_t last_report_ms_ = 0;
  int stop_result_ = 0;
};

}  // namespace velmora
