#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "engine/overwrite_estimate.h"
#include "engine/scan_log_store.h"
#include "deep/pass_trail.h"
#include "engine/scan_index.h"
#include "signature/carve_context.h"
#include "signature/file_type_recovery.h"
#include "deep/read_ahead_pass.h"
#include "storage/sector_reader.h"

namespace velmora {

class CProfessionalFatRecovery;
class CProfessionalNtfsRecovery;

// The deep scan for any file system: runs the quick engine of the region first,
// then reads the region (or only its free clusters) once and hands every sector
// to the engine that recognises it: NTFS file records to the NTFS deep engine,
// FAT directory sectors to the FAT deep engine, everything else to the signature
// engine. Each engine keeps its own log in one scan folder; listings merge them.
// The position reached is saved in the ScanIndex, so a stopped (or killed) scan
// of the same unchanged source resumes where it was.
class CProfessionalRecovery : public IFileRecoveryParse,
                              public IOverwriteEstimator,
                              public IListInAnyOrder,
                              public IRecordTimes,
                              public IListExistingFiles {
 public:
  // Resume values kept in the ScanIndex record, in this order.
  enum ResumeValue { kRangePosition, kRangeLength, kRangeOffset, kProcessed, kFound };
  static constexpr int kImageDiskIndex = 128;
  static constexpr int kPassScale = 90;
  static constexpr int kQuickScale = 9;
  static constexpr uint32_t kChunkBytes = 65536;

  CProfessionalRecovery();
  ~CProfessionalRecovery() override;
  CProfessionalRecovery(const CProfessionalRecovery&) = delete;
  CProfessionalRecovery& operator=(const CProfessionalRecovery&) = delete;

  int OpenImage(const std::string& image_path, char16_t drive_tag) override;
  int OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                    char16_t drive_letter) override;
  int SetScanCallback(ScanProgressCallback scan_progress, FileProgressCallback file_progress,
                      void* context, int scale) override;
  // Null runs (or resumes) the scan. A name only reopens the saved logs of this
  // source for browsing, without reading it, when a saved scan exists.
  int Scan(const char* log_name) override;
  int GetChildren(const ScanRecord* directory, int depth, ScanRecordList* out) override;
  int CountFiles(const ScanRecord* directory, int depth, int* count) override;
  uint64_t GetRecordCount() override;
  int GetFullPath(const ScanRecord& record, std::string* path) override;
  int RecoverFile(const ScanRecord& record, const std::string& destination,
                  int base_depth) override;
  int GetNextFreeRange(uint64_t*, uint64_t*) override { return 0; }
  int SetRecoverCallback(ListingProgressCallback callback, void* context) override;
  int GetFilesByType(const std::string& filter, ScanRecordList* out) override;
  int GetFilesInAnyOrder(const std::string& filter, ScanRecordList* out) override;
  // Passed on to every member engine.
  void SetListExisting(bool on) override;
  int LoadClusterBitmap() override { return 0; }
  int PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory, int* bytes,
                  PreviewProgressCallback callback, void* context) override;

  // Told by the quick engine for the records of the scanned volume; carved files
  // have no estimate.
  bool EstimateOverwrite(const ScanRecord& record, OverwriteEstimate* out) override;
  // From the log of the engine that made the record.
  bool ExtraTimesOf(const ScanRecord& record, RecordTimesEntry* out) override;

  // Whether the open found a saved scan of this source, and how far it got.
  bool Resuming() const { return resume_flag_; }
  // Whether the open found a saved scan of this source made of other contents
  // (another medium at the same place, an image rewritten) and discarded it.
  bool DiscardedOtherContents() const { return discarded_other_contents_; }
  // The saved scan did not fit the source or its logs and was dropped.
  bool DiscardedDamagedState() const { return discarded_damaged_state_; }
  // Why that saved scan was dropped ("its carving log is missing", ...).
  const std::string& DamageReason() const { return damage_reason_; }
  const ScanIndexRecord& SavedState() const { return saved_; }
  // Whether the saved scan this engine stands for read the whole region: a finished one is
  // reopened, never resumed. A stopped one serves a partial result until it is resumed.
  bool SavedScanFinished() const { return resume_flag_ && saved_finished_; }
  // Where the saved scan stopped: sectors from the region's start (the region's length when
  // it finished).
  uint64_t SavedPosition() const {
    return saved_.resume[kRangePosition] + saved_.resume[kRangeOffset];
  }
  uint64_t RegionSectors() const { return partition_count_; }
  // Told once the pass of a resumed scan starts: the percent it resumes from.
  void SetResumeNotice(std::function<void(int percent)> notice) {
    resume_notice_ = std::move(notice);
  }
  // Sectors of the last pass that could not be read (skipped and counted).
  uint64_t UnreadableSectors() const { return unreadable_sectors_; }
  // The file system metadata the quick phase could not read.
  MetadataReadFaults QuickReadFaults() const {
    return quick_ ? ReadFaultsOf(quick_.get()) : MetadataReadFaults{};
  }
  // Buffers a member engine failed on (the pass goes on after each), and the first
  // such failure as "sector N: what went wrong".
  uint64_t FailedBuffers() const { return failed_buffers_; }
  const std::string& FirstBufferFailure() const { return first_buffer_failure_; }
  // Sectors the last pass (including what a resumed scan had done before) examined.
  uint64_t ProcessedSectors() const { return processed_; }
  uint64_t TotalSectors() const { return total_; }
  bool PassComplete() const { return pass_complete_; }
  // Whether the quick engine's metadata walk beside the pass is still going.
  bool QuickWalkRunning() const { return quick_running_.load(); }
  // Seconds between periodic saves of the position during the pass.
  void SetCheckpointInterval(int milliseconds) { checkpoint_ms_ = milliseconds; }

  IFileRecoveryParse* QuickEngine() { return quick_.get(); }
  CFileTypeRecovery& SignatureEngine() { return signature_; }
  CProfessionalFatRecovery& FatDeepEngine() { return *fat_deep_; }
  CProfessionalNtfsRecovery& NtfsDeepEngine() { return *ntfs_deep_; }

 private:
  int ListFiles(const std::string& filter, ScanRecordList* out, bool sorted);
  // The first write error of the member engines' logs, or 0.
  int LogWriteError();
  class PassSink;

  IFileRecoveryParse* Owner(const ScanRecord& record);
  // Loads the free-cluster ranges of the pass into `ranges` and starts the quick engine's
  // walk, on its own thread when the engine can scan into a named folder.
  int RunQuickPhase(std::vector<PassRange>* ranges);
  // Waits for that walk (asking it to stop first when `stop`) and gives its result.
  int FinishQuickPhase(bool stop);
  static int QuickPhaseProgress(void* context, int percent, int scale, int seconds_remaining,
                                uint32_t a_low, uint32_t a_high, uint32_t b_low, uint32_t b_high,
                                uint32_t c_low, uint32_t c_high);
  int OpenDeepLogs();
  int ReopenLogsForBrowsing();
  std::vector<PassRange> CollectRanges(bool free_range_mode);
  int WalkPass(const std::vector<PassRange>& ranges, size_t* range_index, uint64_t* offset,
               uint64_t found_base, PassSink* sink);
  int RunPass(const std::vector<PassRange>& ranges, size_t* range_index, uint64_t* offset,
              uint64_t found_base);
  // `settled`: every member engine has stopped writing, so every log is summed whole.
  // `finished`: the pass read everything and its results are whole.
  [[nodiscard]] int SaveState(size_t range_index, uint64_t offset,
                              const std::vector<PassRange>& ranges, bool settled = false,
                              bool finished = false);
  // A scan killed without its final save left the metadata engines' in-memory
  // work unwritten: rebuild it from the part already read.
  void MeasureChunkAhead(PassChunk* chunk, const std::atomic<bool>& abandon, CarveContext* context);
  ReadAheadPass MakeReader(const std::vector<PassRange>& ranges,
                           ReadAheadPass::MeasureAheadWork measure_ahead = {},
                           size_t first_range = 0, uint64_t first_offset = 0);
  int CatchUpMetadata(const std::vector<PassRange>& ranges, size_t range_index, uint64_t offset);
  // Hands the trail's sectors to the engines again, read where they lie, and brings the
  // carving state to where the pass had it at `position`.
  void ReplayTrail(const std::vector<PassTrailEntry>& entries, uint64_t position);
  // What a carved file of the log left in the carving state (transport-stream ranges, second
  // pieces), as when it was found; the sectors the pass moved on after it.
  uint64_t RestoreCarvedState(const ScanRecord& record);
  std::string ScanFolder() const;
  // Drops a saved scan whose folder was not made of what the source holds now.
  void DiscardSavedScanOfOtherContents();
  bool SavedStateChecksOut(const std::string& folder, std::string* reason, bool* finished) const;
  std::string MarkerPath() const;
  uint64_t SourceEnd() const { return partition_start_ + partition_count_; }

  char16_t drive_tag_ = 0;
  int32_t sector_size_ = 512;
  int disk_index_ = 0;
  uint64_t partition_start_ = 0;
  uint64_t partition_count_ = 0;
  SectorReader source_;
  // The source mapped for the length searches when it is an image file.
  MappedImage mapped_source_;
  CarveContext carve_;
  std::unique_ptr<CProfessionalFatRecovery> fat_deep_;
  std::unique_ptr<CProfessionalNtfsRecovery> ntfs_deep_;
  CFileTypeRecovery signature_;
  std::unique_ptr<IFileRecoveryParse> quick_;
  // The metadata sectors of the pass, for a resume to hand to the engines again.
  PassTrail trail_;
  std::thread quick_thread_;
  std::atomic<bool> quick_running_{false};
  std::atomic<bool> quick_stop_{false};
  int quick_result_ = 0;
  int scale_ = kPassScale;
  ScanProgressCallback scan_progress_ = nullptr;
  FileProgressCallback file_progress_ = nullptr;
  ListingProgressCallback recover_callback_ = nullptr;
  void* recover_context_ = nullptr;
  void* callback_context_ = nullptr;
  bool resume_flag_ = false;
  bool discarded_other_contents_ = false;
  bool discarded_damaged_state_ = false;
  std::string damage_reason_;
  bool saved_finished_ = false;
  std::string fingerprint_;
  ScanIndexRecord saved_{};
  std::string image_path_;
  std::string scan_folder_;

  std::function<void(int)> resume_notice_;
  int checkpoint_ms_ = 3000;
  uint64_t unreadable_sectors_ = 0;
  uint64_t failed_buffers_ = 0;
  std::string first_buffer_failure_;
  uint64_t processed_ = 0;
  uint64_t total_ = 0;
  int32_t seconds_remaining_ = -1;
  bool pass_complete_ = false;
};

}  // namespace velmora
