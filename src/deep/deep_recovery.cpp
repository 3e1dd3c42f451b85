#include "deep/deep_recovery.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <exception>

#include "deep/deep_scan_dispatch.h"
#include "deep/engine_factory.h"
#include "deep/merge_results.h"
#include "deep/structure_classifier.h"
#include "engine/data_folder.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_log_store.h"
#include "engine/source_fingerprint.h"
#include "fat/deep_fat_recovery.h"
#include "ntfs/deep_ntfs_recovery.h"
#include "signature/signature_catalogue.h"
#include "signature/signature_table.h"
#include "storage/error_codes.h"
#include "storage/mapped_image.h"

namespace velmora {

namespace {

// The reading thread moves 1 MiB at a time (few hand-overs between the threads, and
// buffers that stay in the caches); the pass still examines and reports 64 KiB at a time.
constexpr uint32_t kReadBytes = 1u << 20;
constexpr size_t kReadAheadDepth = 8;
// Mapped buffers cost no memory of their own: larger ones, further ahead, so that the two
// threads meet rarely (on a busy machine each meeting may wait for the scheduler).
constexpr uint32_t kMappedReadBytes = 4u << 20;
constexpr size_t kMappedReadAheadDepth = 12;
constexpr int64_t kEstimateIntervalMs = 5000;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SplitHalves(uint64_t value, uint32_t* low, uint32_t* high) {
  *low = static_cast<uint32_t>(value);
  *high = static_cast<uint32_t>(value >> 32);
}

int CallProgress(ScanProgressCallback callback, void* context, int percent, int scale, int seconds,
                 uint64_t a, uint64_t b, uint64_t c) {
  if (callback == nullptr) return 0;
  uint32_t al, ah, bl, bh, cl, ch;
  SplitHalves(a, &al, &ah);
  SplitHalves(b, &bl, &bh);
  SplitHalves(c, &cl, &ch);
  return callback(context, percent, scale, seconds, al, ah, bl, bh, cl, ch);
}

// Removes a log and its side files.
void RemoveLog(const std::string& folder, const std::string& name) {
  const std::string path = JoinPath(folder, name);
  ::unlink(path.c_str());
  ::unlink((path + "_Relation").c_str());
  ::unlink((path + "_DirInfo").c_str());
  ::unlink((path + "_Times").c_str());
}

// Sectors the walker moved on after a carved file, told from its stored record.
uint64_t SkipOfCarvedRecord(const ScanRecord& record, int32_t sector_size) {
  const std::string_view extension = ExtensionOf(RecordName(record));
  const SignatureRow* row = FindRowByExtension(extension);
  const bool from_header = row != nullptr && !row->skip_after;
  if (from_header) return 1;
  if (record.object_id != 0) return record.object_id;  // first of two pieces
  const uint64_t bytes = static_cast<uint64_t>(sector_size);
  return std::max<uint64_t>(1, (record.size + bytes - 1) / bytes);
}

}  // namespace

// Hands the pass's sectors to the member engines.
class CProfessionalRecovery::PassSink : public DeepSectorSink {
 public:
  explicit PassSink(CProfessionalRecovery* owner) : owner_(owner) {}

  void OnNtfsFileRecord(const uint8_t* record, size_t bytes, uint64_t sector) override {
    owner_->trail_.Note({sector, static_cast<uint32_t>(bytes), PassTrailEntry::kNtfsRecord});
    owner_->ntfs_deep_->HandleFileRecord(std::span<const uint8_t>(record, bytes), sector,
                                         CProfessionalNtfsRecovery::RecordPass::kFirst, 0);
  }
  void OnFatDirectoryStart(const uint8_t* sector, uint64_t sector_number) override {
    owner_->trail_.Note({sector_number, static_cast<uint32_t>(owner_->sector_size_),
                         PassTrailEntry::kFatDirectoryStart});
    owner_->fat_deep_->AddDirectoryStart(sector, sector_number);
  }
  void OnFatDirectorySector(const uint8_t* sector, uint64_t sector_number) override {
    owner_->trail_.Note({sector_number, static_cast<uint32_t>(owner_->sector_size_),
                         PassTrailEntry::kFatDirectorySector});
    owner_->fat_deep_->AddDirectorySector(sector, sector_number);
  }
  int Carve(const uint8_t* sector, uint64_t sector_number, uint64_t* skip) override {
    if (replay_) return ReplayCarve(sector_number, skip);
    uint64_t found = found_;
    const int result = owner_->signature_.CarveSectorAt(
        owner_->sector_size_, sector, static_cast<size_t>(owner_->sector_size_), sector_number,
        processed_, owner_->total_, owner_->seconds_remaining_, &owner_->source_, skip, &found);
    found_ = found;
    return result;
  }

  uint64_t HeldUntil() override { return replay_ ? 0 : owner_->signature_.HeldUntil(); }
  void EndHeldAt(uint64_t sector) override {
    uint64_t found = found_;
    owner_->signature_.EndHeldAt(sector, &found);
    found_ = found;
  }
  // Closes a held file by reading it (the pass stops or leaves its range); the sectors
  // the pass moves on from the file's first sector.
  uint64_t EndHeldByReading(uint64_t from_sector) {
    uint64_t found = found_;
    const uint64_t skip =
        owner_->signature_.EndHeldByReading(&owner_->source_, from_sector, &found);
    found_ = found;
    return skip;
  }

  void Unrecognised(const uint8_t*, uint64_t) override {
    if (!replay_) ForgetStreamState(owner_->carve_);
  }
  // Forgetting twice leaves what forgetting once does.
  void UnrecognisedRun(const uint8_t*, uint64_t, uint64_t, size_t) override {
    if (!replay_) ForgetStreamState(owner_->carve_);
  }

  // Progress values handed to length searches.
  void SetProgress(uint64_t processed, uint64_t found) {
    processed_ = processed;
    found_ = found;
  }

  // Replays carving from the signature log instead of measuring again: the
  // walker skips exactly what it skipped when those files were found.
  void StartReplay() {
    replay_ = true;
    next_record_ = 1;
    record_count_ = owner_->signature_.GetRecordCount();
    LoadNextRecord();
  }

 private:
  void LoadNextRecord() {
    has_record_ = false;
    ScanLogStore* store = owner_->signature_.Store();
    while (store != nullptr && next_record_ <= record_count_) {
      if (store->ReadRecord(static_cast<uint32_t>(next_record_++), &record_) == kSuccess) {
        has_record_ = true;
        return;
      }
    }
  }

  int ReplayCarve(uint64_t sector_number, uint64_t* skip) {
    while (has_record_ && record_.location < sector_number) LoadNextRecord();
    if (!has_record_ || record_.location != sector_number) return kNothingCarved;
    *skip = owner_->RestoreCarvedState(record_);
    LoadNextRecord();
    return kSuccess;
  }

  CProfessionalRecovery* owner_;
  uint64_t processed_ = 0;
  uint64_t found_ = 0;
  bool replay_ = false;
  bool has_record_ = false;
  uint64_t next_record_ = 1;
  uint64_t record_count_ = 0;
  ScanRecord record_{};
};

CProfessionalRecovery::CProfessionalRecovery()
    : carve_(CarveContext::ForMeasuring()),
      fat_deep_(std::make_unique<CProfessionalFatRecovery>()),
      ntfs_deep_(std::make_unique<CProfessionalNtfsRecovery>()) {
  carve_.structure_tests = FileSystemStructureTests();
  signature_.UseCarveContext(&carve_);
}

CProfessionalRecovery::~CProfessionalRecovery() {
  FinishQuickPhase(true);
  quick_.reset();
  image_path_.clear();
}

int CProfessionalRecovery::OpenImage(const std::string& image_path, char16_t drive_tag) {
  drive_tag_ = drive_tag;
  int err = OpenImageFile(&source_, image_path);
  if (err != kSuccess) return err;
  sector_size_ = 512;
  disk_index_ = kImageDiskIndex;
  partition_start_ = 0;
  partition_count_ = source_.total_sectors;
  image_path_ = image_path;
  saved_ = ScanIndexRecord{};
  resume_flag_ = ScanIndex::Instance().FindForImage(image_path, &saved_);
  fingerprint_ = FingerprintImage(image_path);
  DiscardSavedScanOfOtherContents();
  fat_deep_->OpenImage(image_path, drive_tag);
  err = ntfs_deep_->OpenImage(image_path, drive_tag);
  quick_ = CreateEngineForImage(image_path, drive_tag, false);
  signature_.SetSourceEnd(SourceEnd());
  return err;
}

int CProfessionalRecovery::OpenPartition(int disk_number, uint64_t start_sector,
                                         uint64_t sector_count, char16_t drive_letter) {
  drive_tag_ = drive_letter;
  disk_index_ = disk_number;
  partition_start_ = start_sector;
  partition_count_ = sector_count;
  image_path_.clear();
  const int opened = OpenPhysicalDrive(&source_, disk_number);
  if (opened == kSuccess) sector_size_ = source_.device_sector_size;
  saved_ = ScanIndexRecord{};
  resume_flag_ =
      ScanIndex::Instance().FindForPartition(disk_number, start_sector, sector_count, "", &saved_);
  fingerprint_ = FingerprintPartition(disk_number, start_sector, sector_count);
  DiscardSavedScanOfOtherContents();
  fat_deep_->OpenPartition(disk_number, start_sector, sector_count, drive_letter);
  const int err = ntfs_deep_->OpenPartition(disk_number, start_sector, sector_count, drive_letter);
  quick_ = CreateEngineForPartition(disk_number, static_cast<uint32_t>(start_sector),
                                    static_cast<uint32_t>(start_sector >> 32),
                                    static_cast<uint32_t>(sector_count),
                                    static_cast<uint32_t>(sector_count >> 32), drive_letter, false);
  signature_.SetSourceEnd(SourceEnd());
  return err;
}

int CProfessionalRecovery::SetScanCallback(ScanProgressCallback scan_progress,
                                           FileProgressCallback file_progress, void* context, int) {
  scan_progress_ = scan_progress;
  file_progress_ = file_progress;
  callback_context_ = context;
  scale_ = kPassScale;
  if (quick_) quick_->SetScanCallback(scan_progress, file_progress, context, kQuickScale);
  fat_deep_->SetScanCallback(scan_progress, file_progress, context, kPassScale);
  ntfs_deep_->SetScanCallback(scan_progress, file_progress, context, kPassScale);
  signature_.SetScanCallback(scan_progress, file_progress, context, kPassScale);
  return 0;
}

int CProfessionalRecovery::SetRecoverCallback(ListingProgressCallback callback, void* context) {
  recover_callback_ = callback;
  recover_context_ = context;
  if (quick_) quick_->SetRecoverCallback(callback, context);
  fat_deep_->SetRecoverCallback(callback, context);
  ntfs_deep_->SetRecoverCallback(callback, context);
  signature_.SetRecoverCallback(callback, context);
  return 0;
}

std::string CProfessionalRecovery::ScanFolder() const { return scan_folder_; }

bool CProfessionalRecovery::SavedStateChecksOut(const std::string& folder, std::string* reason,
                                                bool* finished) const {
  const uint64_t* v = saved_.resume;
  const uint64_t end = partition_count_;
  *finished = false;
  const bool positions = v[kRangePosition] <= end && v[kRangeLength] <= end - v[kRangePosition] &&
                         v[kRangeOffset] <= v[kRangeLength] && v[kProcessed] <= end;
  if (!positions) {
    *reason = "its saved position lies past the end of the source";
    return false;
  }
  // Every sector before the offset in its run was examined and counted.
  if (v[kProcessed] < v[kRangeOffset]) {
    *reason = "its saved position and its count of examined sectors disagree";
    return false;
  }
  // The pass trail records every position the scan saved; one it never reached (or a trail
  // that is gone) vouches for nothing, and would pass the unread rest off as done.
  const uint64_t position = partition_start_ + v[kRangePosition] + v[kRangeOffset];
  uint32_t carved = 0;
  if (!PassTrail::RecordsAt(folder, position, &carved, finished)) {
    *reason = "its saved position (sector " + std::to_string(position) +
              ") is not one its pass trail shows was reached";
    return false;
  }
  std::string log;
  const bool has_log = ScanIndex::Instance().FindLogFile(folder, "File_Type_", &log);
  // Found files are logged before the position that vouches for them is saved.
  if ((v[kFound] != 0 || carved != 0) && !has_log) {
    *reason = "its carving log is missing";
    return false;
  }
  if (v[kFound] < carved) {
    *reason = "its count of found files is below the files its logs hold";
    return false;
  }
  // A carving log shorter than it was at the saved position lost files that the part
  // before the position will not find again.
  if (carved != 0) {
    struct stat st {};
    const std::string path = JoinPath(folder, log);
    if (::stat(path.c_str(), &st) != 0 ||
        static_cast<uint64_t>(st.st_size) / sizeof(ScanRecord) < carved) {
      *reason = "its carving log is shorter than at its saved position";
      return false;
    }
  }
  return true;
}

void CProfessionalRecovery::DiscardSavedScanOfOtherContents() {
  discarded_other_contents_ = false;
  discarded_damaged_state_ = false;
  damage_reason_.clear();
  saved_finished_ = false;
  if (!resume_flag_) return;
  ScanIndex& index = ScanIndex::Instance();
  const std::string folder = index.CurrentFolder();
  // Without a fingerprint (unreadable now, or an older folder) sameness is not proven.
  const bool same = !fingerprint_.empty() && FolderFingerprint(folder) == fingerprint_;
  // Logs that are not what was saved (damaged, cut, swapped in) are never served or resumed.
  const FolderSums* sums = index.SumsOf(folder);
  if (same) {
    damage_reason_ = sums == nullptr ? "it was saved without checksums, by an older version"
                                     : CheckFolderLogs(folder, fingerprint_, *sums);
  }
  // A state that does not fit the source or its logs would give a short listing as if complete.
  std::string reason;
  bool finished = false;
  const bool state_fits = SavedStateChecksOut(folder, &reason, &finished);
  if (!state_fits && damage_reason_.empty()) damage_reason_ = reason;
  const bool damaged = !damage_reason_.empty() || !state_fits;
  if (!damaged && same) {
    RemoveUnvouchedLogs(folder, *sums);  // left by a scan killed while writing them
    saved_finished_ = finished;
    return;
  }
  index.Remove(folder);
  (void)index.Save();  // dropped in memory at least; the next save writes it
  resume_flag_ = false;
  saved_ = ScanIndexRecord{};
  discarded_other_contents_ = !damaged;
  discarded_damaged_state_ = damaged;
}

int CProfessionalRecovery::QuickPhaseProgress(void* context, int, int, int, uint32_t, uint32_t,
                                              uint32_t, uint32_t, uint32_t, uint32_t) {
  const auto* self = static_cast<const CProfessionalRecovery*>(context);
  return self->quick_stop_.load() ? kCancelledByUser : 0;
}

int CProfessionalRecovery::RunQuickPhase(std::vector<PassRange>* ranges) {
  bool free_range_mode = false;
  if (!quick_) {
    *ranges = CollectRanges(false);
    return kSuccess;
  }
  const bool bitmap = quick_->LoadClusterBitmap() == kSuccess;
  // Only an engine that knows the free clusters answers; the ext placeholder does not, and
  // its partition is then read whole. The free clusters come from the allocation table or
  // bitmap alone, so they are known before the walk.
  auto free_ranges = [&] {
    uint64_t position = 0;
    uint64_t length = 0;
    free_range_mode = bitmap && quick_->GetNextFreeRange(&position, &length) != 0;
    *ranges = CollectRanges(free_range_mode);
  };
  // The quick walk and the deep directory parse judge the first sectors of the same files:
  // each answer is worked out once, by whichever engine meets the file first.
  auto answers = std::make_shared<FatContentAnswers>();
  fat_deep_->ShareContentAnswers(answers);
  if (auto* sharing = dynamic_cast<IContentAnswerSharing*>(quick_.get())) {
    sharing->ShareContentAnswers(answers);
  }
  std::string fast_log;
  const bool reopen =
      resume_flag_ && ScanIndex::Instance().FindLogFile(scan_folder_, "Fast_", &fast_log);
  auto* into = dynamic_cast<IScanIntoFolder*>(quick_.get());
  if (reopen || into == nullptr) {
    quick_->SetScanCallback(scan_progress_, nullptr, callback_context_, kQuickScale);
    const int result = quick_->Scan(reopen ? fast_log.c_str() : nullptr);
    if (result != kSuccess) return result;
    free_ranges();
    quick_->SetScanCallback(scan_progress_, file_progress_, callback_context_, kQuickScale);
    return kSuccess;
  }
  free_ranges();
  // The walk of the metadata runs beside the pass: it reads other sectors and writes its own
  // log, and until it ends nothing on this thread asks the quick engine anything.
  quick_stop_ = false;
  quick_result_ = kSuccess;
  quick_->SetScanCallback(&QuickPhaseProgress, nullptr, this, kQuickScale);
  quick_running_ = true;
  quick_thread_ = std::thread([this, into, folder = scan_folder_] {
    quick_result_ = into->ScanInto(folder);
    quick_running_ = false;
  });
  return kSuccess;
}

int CProfessionalRecovery::FinishQuickPhase(bool stop) {
  if (!quick_thread_.joinable()) return kSuccess;
  if (stop) quick_stop_ = true;
  quick_thread_.join();
  quick_->SetScanCallback(scan_progress_, file_progress_, callback_context_, kQuickScale);
  if (quick_result_ != kSuccess) {
    // A walk cut short must not be taken for a whole one when the scan is resumed.
    std::string name;
    if (ScanIndex::Instance().FindLogFile(scan_folder_, "Fast_", &name)) {
      RemoveLog(scan_folder_, name);
    }
  }
  return quick_result_;
}

int CProfessionalRecovery::OpenDeepLogs() {
  ScanIndex& index = ScanIndex::Instance();
  std::string name;
  if (resume_flag_) {
    // The carved files up to the saved point are kept; the metadata engines'
    // work is rebuilt from the part already read (see CatchUpMetadata).
    for (const char* prefix : {"Pro_Fat_", "Pro_Ntfs_"}) {
      while (index.FindLogFile(scan_folder_, prefix, &name)) RemoveLog(scan_folder_, name);
    }
    if (index.FindLogFile(scan_folder_, "File_Type_", &name)) {
      signature_.OpenSignatureLog(sector_size_, disk_index_, image_path_, name, drive_tag_);
    } else if (image_path_.empty()) {
      signature_.OpenPartition(disk_index_, partition_start_, partition_count_, drive_tag_);
    } else {
      signature_.OpenImage(image_path_, drive_tag_);
    }
  } else if (image_path_.empty()) {
    signature_.OpenPartition(disk_index_, partition_start_, partition_count_, drive_tag_);
  } else {
    signature_.OpenImage(image_path_, drive_tag_);
  }
  if (!resume_flag_) trail_.Start(scan_folder_);
  signature_.SetSourceEnd(SourceEnd());
  signature_.SetScanCallback(scan_progress_, file_progress_, callback_context_, kPassScale);
  signature_.SetRecoverCallback(recover_callback_, recover_context_);
  int err = fat_deep_->ResetForScan(nullptr);
  const int ntfs = ntfs_deep_->OpenDeepLog(nullptr);
  if (err == kSuccess) err = ntfs;
  if (signature_.Store() == nullptr || !signature_.Store()->IsOpen()) return kErrPathNotFound;
  return err;
}

int CProfessionalRecovery::ReopenLogsForBrowsing() {
  ScanIndex& index = ScanIndex::Instance();
  scan_folder_ = ScanIndex::Instance().CurrentFolder();
  std::string name;
  if (quick_ && index.FindLogFile(scan_folder_, "Fast_", &name)) quick_->Scan(name.c_str());
  if (index.FindLogFile(scan_folder_, "File_Type_", &name)) {
    signature_.OpenSignatureLog(sector_size_, disk_index_, image_path_, name, drive_tag_);
    signature_.SetSourceEnd(SourceEnd());
  }
  if (index.FindLogFile(scan_folder_, "Pro_Fat_", &name)) fat_deep_->ResetForScan(name.c_str());
  if (index.FindLogFile(scan_folder_, "Pro_Ntfs_", &name)) ntfs_deep_->OpenDeepLog(name.c_str());
  SetRecoverCallback(recover_callback_, recover_context_);
  processed_ = saved_.resume[kProcessed];
  return kSuccess;
}

std::vector<PassRange> CProfessionalRecovery::CollectRanges(bool free_range_mode) {
  std::vector<PassRange> ranges;
  if (!free_range_mode) {
    if (partition_count_ > 0) ranges.push_back({0, partition_count_});
    return ranges;
  }
  uint64_t position = 0;
  for (;;) {
    uint64_t length = 0;
    uint64_t at = position;
    quick_->GetNextFreeRange(&at, &length);
    if (length == 0 || at >= partition_count_) break;
    length = std::min(length, partition_count_ - at);
    if (!ranges.empty() && ranges.back().position + ranges.back().length == at) {
      ranges.back().length += length;  // a run split by the engine's own limits
    } else {
      ranges.push_back({at, length});
    }
    if (at + length <= position) break;  // never walk backwards
    position = at + length;
  }
  return ranges;
}

int CProfessionalRecovery::SaveState(size_t range_index, uint64_t offset,
                                     const std::vector<PassRange>& ranges, bool settled,
                                     bool finished) {
  uint64_t values[5] = {};
  if (range_index < ranges.size()) {
    values[kRangePosition] = ranges[range_index].position;
    values[kRangeLength] = ranges[range_index].length;
    // A carved file may carry the walk past its run's end: nothing of the run is left then.
    values[kRangeOffset] = std::min(offset, ranges[range_index].length);
  } else if (!ranges.empty()) {
    values[kRangePosition] = ranges.back().position;
    values[kRangeLength] = ranges.back().length;
    values[kRangeOffset] = ranges.back().length;  // nothing left to read
  }
  values[kProcessed] = processed_;
  values[kFound] = GetRecordCount();
  // Records found so far must be on disk before the position that vouches for them.
  if (signature_.Store()) {
    if (const int err = signature_.Store()->Flush(); err != kSuccess) return err;
  }
  // The trail is what a later run checks the position against: without it, no position.
  if (!trail_.Checkpoint(
          partition_start_ + values[kRangePosition] + values[kRangeOffset],
          static_cast<uint32_t>(std::min<uint64_t>(signature_.GetRecordCount(), UINT32_MAX)),
          finished)) {
    return kErrWriteFault;
  }
  // The logs as they stand behind this position, bound to the source. While the pass runs,
  // the metadata engines' logs are left out (a resume rebuilds them), and so is the quick
  // walk's while the walk still writes it.
  FolderSums sums;
  std::vector<std::string> still_written{"Pro_Ntfs_", "Pro_Fat_"};
  if (quick_running_.load()) still_written.push_back("Fast_");
  if (const int err = SumFolderLogs(scan_folder_, fingerprint_, settled, still_written, &sums);
      err != kSuccess) {
    return err;
  }
  return ScanIndex::Instance().AddOrUpdate("", disk_index_, partition_start_, partition_count_,
                                           values, scan_folder_, image_path_, &sums);
}

ReadAheadPass CProfessionalRecovery::MakeReader(const std::vector<PassRange>& ranges,
                                                ReadAheadPass::MeasureAheadWork measure_ahead,
                                                size_t first_range, uint64_t first_offset) {
  const bool mapped = ReadAheadPass::MapsSource(&source_);
  return ReadAheadPass(
      &source_, sector_size_, partition_start_, ranges,
      (mapped ? kMappedReadBytes : kReadBytes) / static_cast<uint32_t>(sector_size_),
      mapped ? kMappedReadAheadDepth : kReadAheadDepth, std::move(measure_ahead), first_range,
      first_offset);
}

uint64_t CProfessionalRecovery::RestoreCarvedState(const ScanRecord& record) {
  const uint64_t sector_number = record.location;
  const uint64_t skip = SkipOfCarvedRecord(record, sector_size_);
  if (AsciiLower(ExtensionOf(RecordName(record))) == "ts") {
    carve_.ts_ranges.push_back({sector_number, sector_number + skip - 1});
  }
  if (record.object_id != 0) {  // a file in two pieces: its second piece stays its own
    const uint64_t bytes = static_cast<uint64_t>(sector_size_);
    const uint64_t second = sector_number + record.object_id + record.data_area_start;
    const uint64_t sectors = (record.size + bytes - 1) / bytes;
    const uint64_t rest = sectors > record.object_id ? sectors - record.object_id : 1;
    carve_.second_pieces.push_back({second, second + rest - 1});
  }
  return skip;
}

void CProfessionalRecovery::ReplayTrail(const std::vector<PassTrailEntry>& entries,
                                        uint64_t position) {
  // The engines are handed what the pass handed them, in the same order; a sector that
  // fails now reads as zeros, as it did in the pass's buffer.
  const uint64_t sector_bytes = static_cast<uint64_t>(sector_size_);
  const uint64_t end = std::min<uint64_t>(SourceEnd(), source_.total_sectors);
  std::vector<uint8_t> buffer;
  for (const PassTrailEntry& entry : entries) {
    const uint64_t wanted =
        (std::max<uint64_t>(entry.bytes, 4096) + sector_bytes - 1) / sector_bytes;
    if (entry.sector >= end) continue;
    const auto sectors = static_cast<int32_t>(std::min(wanted, end - entry.sector));
    buffer.assign(static_cast<size_t>(wanted * sector_bytes), 0);
    uint32_t got = 0;
    {
      UnreadableSalvage salvage;
      ReadSectors(&source_, sectors, buffer.data(), entry.sector, sector_size_, &got);
    }
    switch (entry.kind) {
      case PassTrailEntry::kNtfsRecord:
        ntfs_deep_->HandleFileRecord(std::span<const uint8_t>(buffer.data(), entry.bytes),
                                     entry.sector, CProfessionalNtfsRecovery::RecordPass::kFirst,
                                     0);
        break;
      case PassTrailEntry::kFatDirectoryStart:
        fat_deep_->AddDirectoryStart(buffer.data(), entry.sector);
        break;
      case PassTrailEntry::kFatDirectorySector:
        fat_deep_->AddDirectorySector(buffer.data(), entry.sector);
        break;
    }
  }
  // The carved files before the position, as the pass left them in the carving state.
  ScanLogStore* store = signature_.Store();
  const uint64_t count = signature_.GetRecordCount();
  ScanRecord record{};
  for (uint64_t i = 1; store != nullptr && i <= count; ++i) {
    if (store->ReadRecord(static_cast<uint32_t>(i), &record) != kSuccess) continue;
    if (record.location < position) RestoreCarvedState(record);
  }
}

int CProfessionalRecovery::CatchUpMetadata(const std::vector<PassRange>& ranges, size_t range_index,
                                           uint64_t offset) {
  if (range_index < ranges.size()) {
    const uint64_t position = partition_start_ + ranges[range_index].position + offset;
    std::vector<PassTrailEntry> entries;
    if (trail_.Resume(scan_folder_, position, SourceEnd(), &entries)) {
      ReplayTrail(entries, position);
      return kSuccess;
    }
  }
  // No trail to go by (an older scan, or one that does not check out): the part before the
  // position is walked again, and the trail rebuilt from what the walk hands over.
  PassSink sink(this);
  sink.StartReplay();
  ReadAheadPass reader = MakeReader(ranges);
  size_t r = 0;
  uint64_t at = 0;
  int64_t last_report = NowMs();
  while (r < range_index || (r == range_index && at < offset)) {
    if (r < ranges.size() && at >= ranges[r].length) {
      ++r;
      at = 0;
      continue;
    }
    const PassChunk* chunk = reader.Acquire(r, at);
    if (chunk == nullptr) break;
    const uint64_t start = at - chunk->offset;
    // Stop exactly at the saved point when it lies inside this buffer.
    uint32_t count = chunk->count;
    if (r == range_index && chunk->offset + count > offset) {
      count = static_cast<uint32_t>(offset - chunk->offset);
    }
    DispatchBuffer buffer{chunk->bytes,
                          count,
                          sector_size_,
                          chunk->first_sector,
                          chunk->unreadable_count ? chunk->unreadable.data() : nullptr,
                          chunk->hints.data()};
    DispatchResult result;
    try {
      result = DeepScanDispatch(buffer, start, &source_, SourceEnd(), &sink);
    } catch (const std::exception&) {
      result.next_index = count;
    }
    at = chunk->offset + std::max<uint64_t>(result.next_index, start + 1);
    if (r < ranges.size()) at = std::min(at, ranges[r].length);
    if (NowMs() - last_report >= 200) {
      last_report = NowMs();
      const int percent = total_ ? static_cast<int>(processed_ * 100 / total_) : 0;
      const int stop = CallProgress(scan_progress_, callback_context_, percent + 10, kPassScale, -1,
                                    processed_, total_, GetRecordCount());
      if (stop != 0) return stop;
    }
  }
  return kSuccess;
}

int CProfessionalRecovery::RunPass(const std::vector<PassRange>& ranges, size_t* range_index,
                                   uint64_t* offset, uint64_t found_base) {
  // The pass sees every sector of a measured file anyway: structures inside it are looked
  // for there instead of reading the file a second time.
  PassSink sink(this);
  carve_.defer_structure_check = true;
  const int result = WalkPass(ranges, range_index, offset, found_base, &sink);
  carve_.defer_structure_check = false;
  if (signature_.HeldUntil() != 0) {
    // Stopped inside a held file: it is closed as a whole read would close it, and the
    // position moves past it as it would have after carving it.
    const uint64_t held_start = signature_.HeldStart();
    const size_t r = *range_index;
    const uint64_t reached = r < ranges.size()
                                 ? partition_start_ + ranges[r].position + *offset
                                 : held_start + 1;  // the pass ran out: look at it all
    const uint64_t skip = sink.EndHeldByReading(reached);
    if (r < ranges.size()) {
      const uint64_t held_at = held_start - partition_start_ - ranges[r].position;
      if (held_at + skip > *offset) {
        processed_ +=
            std::min(held_at + skip, ranges[r].length) - std::min(*offset, ranges[r].length);
        *offset = held_at + skip;
      }
    }
  }
  return result;
}

// Runs on the reading thread. Sectors are taken as the pass would take them: those no
// metadata engine claims and some row may accept, moving past each file measured as the pass
// would move past it when carving it. Where the pass goes otherwise, it measures itself.
void CProfessionalRecovery::MeasureChunkAhead(PassChunk* chunk, const std::atomic<bool>& abandon,
                                              CarveContext* context) {
  if (context->mapped != nullptr) context->mapped->Lend(chunk->region.get());
  const uint64_t sector_bytes = static_cast<uint64_t>(sector_size_);
  constexpr uint8_t kClaimed = kHintNtfsRecord | kHintDirectoryStart | kHintDirectorySector;
  chunk->nothing.assign(chunk->count, 0);
  for (uint32_t i = 0; i < chunk->count && !abandon.load(std::memory_order_relaxed);) {
    const uint8_t hint = chunk->hints[i];
    if ((hint & kHintMayIdentify) == 0 || (hint & kClaimed) != 0 ||
        (chunk->unreadable_count != 0 && chunk->unreadable[i] != 0)) {
      ++i;
      continue;
    }
    MeasuredAhead file;
    if (!MeasureAhead(*context, sector_size_, &source_, chunk->bytes + i * sector_bytes,
                      static_cast<size_t>(sector_bytes), chunk->first_sector + i, &file)) {
      if (file.type == kNoSignatureType) chunk->nothing[i] = 1;
      ++i;
      continue;
    }
    chunk->measured.push_back(file);
    uint64_t skip = 1;
    if (file.gap_bytes != 0) {
      skip = file.first_piece_bytes / sector_bytes;
    } else if (ScanSkipsCarvedFile(file.type) || file.structure_check_deferred) {
      skip = (file.measured + sector_bytes - 1) / sector_bytes;
    }
    i += static_cast<uint32_t>(std::clamp<uint64_t>(skip, 1, chunk->count - i));
  }
  if (context->mapped != nullptr) context->mapped->Lend(nullptr);
}

int CProfessionalRecovery::WalkPass(const std::vector<PassRange>& ranges, size_t* range_index,
                                    uint64_t* offset, uint64_t found_base, PassSink* pass_sink) {
  PassSink& sink = *pass_sink;
  const uint32_t window = kChunkBytes / static_cast<uint32_t>(sector_size_);
  // The reading thread measures files ahead with a context of its own, set up as this one.
  CarveContext ahead = CarveContext::ForMeasuring();
  ahead.structure_tests = carve_.structure_tests;
  ahead.defer_structure_check = carve_.defer_structure_check;
  MappedImage ahead_image;
  if (carve_.mapped != nullptr && ahead_image.Attach(source_.FileHandle()))
    ahead.mapped = &ahead_image;
  auto measure_ahead = [this, &ahead](PassChunk* chunk, const std::atomic<bool>& abandon) {
    MeasureChunkAhead(chunk, abandon, &ahead);
  };
  ReadAheadPass reader = MakeReader(ranges, measure_ahead, *range_index, *offset);
  // What the current buffer lends the carving context is given back before the reader may
  // unmap or reuse the buffer, and when the walk ends.
  const auto give_back = [this] {
    if (carve_.mapped != nullptr) carve_.mapped->Lend(nullptr);
    carve_.ahead = nullptr;
    carve_.ahead_count = 0;
    carve_.nothing_ahead = nullptr;
  };
  struct GiveBackAtEnd {
    const decltype(give_back)& give;
    ~GiveBackAtEnd() { give(); }
  } at_end{give_back};
  const int64_t start_ms = NowMs();
  const uint64_t processed_at_start = processed_;
  int64_t last_estimate = start_ms;
  int64_t last_checkpoint = start_ms;
  size_t& r = *range_index;
  uint64_t& at = *offset;
  for (;;) {
    while (r < ranges.size() && at >= ranges[r].length) {
      // A held file reaching past its range is checked by reading the rest.
      if (sink.HeldUntil() != 0) {
        sink.EndHeldByReading(partition_start_ + ranges[r].position + ranges[r].length);
      }
      ++r;
      at = 0;
    }
    if (r >= ranges.size()) return kSuccess;
    give_back();
    const PassChunk* chunk = reader.Acquire(r, at);
    if (chunk == nullptr) return kSuccess;
    // The carvings of this buffer read its window where the reader already entered the pages;
    // the reader unmaps it, not this thread.
    if (carve_.mapped != nullptr) carve_.mapped->Lend(chunk->region.get());
    carve_.ahead = chunk->measured.data();
    carve_.ahead_count = chunk->measured.size();
    if (chunk->nothing.size() == chunk->count) {
      carve_.nothing_ahead = chunk->nothing.data();
      carve_.ahead_first_sector = chunk->first_sector;
      carve_.ahead_sectors = chunk->count;
    }
    const uint64_t start = at - chunk->offset;
    const uint64_t remaining = ranges[r].length - at;
    sink.SetProgress(processed_, GetRecordCount() + found_base);
    // One 64 KiB window of the read buffer; a carved file may carry the walk past it.
    const uint32_t window_end =
        static_cast<uint32_t>(std::min<uint64_t>(chunk->count, start + window));
    DispatchBuffer buffer{chunk->bytes,
                          window_end,
                          sector_size_,
                          chunk->first_sector,
                          chunk->unreadable_count ? chunk->unreadable.data() : nullptr,
                          chunk->hints.data()};
    DispatchResult result;
    try {
      result = DeepScanDispatch(buffer, start, &source_, SourceEnd(), &sink);
    } catch (const std::exception& failure) {
      // A member engine failed on this buffer: note where, and go on after it.
      if (failed_buffers_++ == 0) {
        first_buffer_failure_ =
            "sector " + std::to_string(chunk->first_sector + start) + ": " + failure.what();
      }
      result = DispatchResult{};
      result.next_index = window_end;
    }
    if (chunk->unreadable_count != 0) {
      const uint64_t end = std::min<uint64_t>(result.next_index, window_end);
      for (uint64_t i = start; i < end; ++i) unreadable_sectors_ += chunk->unreadable[i];
    }
    const uint64_t advance = result.next_index - start;
    processed_ += std::min(advance, remaining);
    at += advance;

    const int64_t now = NowMs();
    if (now - last_estimate >= kEstimateIntervalMs && scale_ == kPassScale) {
      last_estimate = now;
      const uint64_t seconds = static_cast<uint64_t>((now - start_ms) / 1000);
      const uint64_t done = processed_ - processed_at_start;
      if (seconds > 0) {
        uint64_t speed = done * static_cast<uint64_t>(sector_size_) / seconds;
        if (speed == 0) speed = 1;
        const uint64_t left = total_ > processed_ ? total_ - processed_ : 0;
        seconds_remaining_ = static_cast<int32_t>(
            std::min<uint64_t>(left * static_cast<uint64_t>(sector_size_) / speed, INT32_MAX));
      }
    }
    // While the metadata walk runs beside the pass its log is not whole yet: a state saved
    // then would resume with half of it.
    if (now - last_checkpoint >= checkpoint_ms_ && !quick_running_) {
      last_checkpoint = now;
      // A held file is not in the log yet: a resume from here starts again at its start.
      const uint64_t held = signature_.HeldUntil() != 0
                                ? signature_.HeldStart() - partition_start_ - ranges[r].position
                                : at;
      // A position that cannot be saved leaves nothing to resume from: the scan fails.
      const int saved = SaveState(r, std::min(at, held), ranges);
      if (saved != kSuccess) return saved;
    }
    if (result.status != kSuccess) return result.status;
    // Results that cannot be logged are lost: stop rather than read on for nothing.
    const int logged = LogWriteError();
    if (logged != kSuccess) return logged;
    const uint64_t found = GetRecordCount() + found_base;
    const int percent = total_ ? static_cast<int>(processed_ * 100 / total_) : 100;
    const int stop = CallProgress(scan_progress_, callback_context_, percent + 10, kPassScale,
                                  seconds_remaining_, processed_, total_, found);
    if (stop != 0) return stop;
  }
}

int CProfessionalRecovery::LogWriteError() {
  for (const ScanLogStore* store :
       {static_cast<const ScanLogStore*>(signature_.Store()),
        static_cast<const ScanLogStore*>(ntfs_deep_->Store()), fat_deep_->Store()}) {
    if (store != nullptr && store->WriteError() != kSuccess) return store->WriteError();
  }
  return kSuccess;
}

int CProfessionalRecovery::Scan(const char* log_name) {
  ScanIndex& index = ScanIndex::Instance();
  if (log_name != nullptr && resume_flag_) {
    index.UseFolder(ScanIndex::Instance().CurrentFolder());
    return ReopenLogsForBrowsing();
  }
  if (resume_flag_) {
    scan_folder_ = index.CurrentFolder();
    index.UseFolder(scan_folder_);
  } else {
    scan_folder_ = index.NewScanFolder();
  }
  // The folder and its fingerprint are what a later run trusts: without them, no scan.
  int made = CreateDataFolder(scan_folder_);
  if (made == kSuccess && !resume_flag_) made = KeepFolderFingerprint(scan_folder_, fingerprint_);
  if (made != kSuccess) {
    if (!resume_flag_) index.DropLastNumber();
    return made;
  }
  unreadable_sectors_ = 0;
  failed_buffers_ = 0;
  first_buffer_failure_.clear();
  pass_complete_ = false;
  seconds_remaining_ = -1;

  std::vector<PassRange> ranges;
  int result = RunQuickPhase(&ranges);
  if (result != kSuccess) {
    if (!resume_flag_) index.DropLastNumber();
    return result;
  }
  total_ = 0;
  for (const auto& range : ranges) total_ += range.length;

  size_t range_index = 0;
  uint64_t offset = 0;
  processed_ = 0;
  if (resume_flag_) {
    const uint64_t position = saved_.resume[kRangePosition];
    range_index = ranges.size();
    for (size_t i = 0; i < ranges.size(); ++i) {
      if (ranges[i].position == position) {
        range_index = i;
        offset = std::min(saved_.resume[kRangeOffset], ranges[i].length);
        break;
      }
      if (ranges[i].position > position) {  // the run list differs: continue at the next run
        range_index = i;
        break;
      }
    }
    processed_ = std::min(saved_.resume[kProcessed], total_);
    const bool nothing_left =
        range_index >= ranges.size() ||
        (range_index + 1 == ranges.size() && offset >= ranges[range_index].length);
    // A pass stopped (or killed) at the very end still owes the metadata engines' logs: it
    // goes through the resume below with nothing left to read.
    if (nothing_left && saved_finished_) {
      // A finished scan opened again: its logs are the result.
      FinishQuickPhase(false);
      ReopenLogsForBrowsing();
      processed_ = total_;
      pass_complete_ = true;
      CallProgress(scan_progress_, callback_context_, 100, 100, 0, 0, 0, 0);
      return kSuccess;
    }
  }

  result = OpenDeepLogs();
  // Without the carving log there is nowhere to keep what the pass finds; the
  // metadata engines' logs are their own affair and do not stop the pass.
  if (signature_.Store() == nullptr || !signature_.Store()->IsOpen()) {
    FinishQuickPhase(true);
    if (!resume_flag_) index.DropLastNumber();
    return result != kSuccess ? result : kErrPathNotFound;
  }
  result = kSuccess;
  fat_deep_->LoadBootGeometry();
  carve_.ts_ranges.clear();
  carve_.mapped = mapped_source_.Attach(source_.FileHandle()) ? &mapped_source_ : nullptr;
  carve_.second_pieces.clear();
  if (resume_flag_) {
    if (resume_notice_) {
      resume_notice_(total_ ? static_cast<int>(processed_ * 100 / total_) : 0);
    }
    const uint64_t resume_sector =
        partition_start_ +
        (range_index < ranges.size() ? ranges[range_index].position + offset : partition_count_);
    signature_.DropRecordsFrom(resume_sector);
    result = CatchUpMetadata(ranges, range_index, offset);
  }
  const uint64_t shrinks = MappedFileShrinks();
  if (result == kSuccess) result = RunPass(ranges, &range_index, &offset, 0);
  // The image was cut while it was read: what the pass saw past the cut was no data.
  if (result == kSuccess && MappedFileShrinks() != shrinks) result = kErrHandleEof;
  // A pass that stopped stops the walk too; a walk that failed fails the scan.
  const int quick_result = FinishQuickPhase(result != kSuccess);
  if (result == kSuccess) result = quick_result;
  pass_complete_ = result == kSuccess;

  carve_.mapped = nullptr;
  mapped_source_.Detach();
  fat_deep_->FinishScan();
  ntfs_deep_->FinishDirectories();
  if (signature_.Store()) (void)signature_.Store()->Flush();  // told by LogWriteError below
  // A log that could not be written fails the scan; one that never opened did not stop it.
  if (result == kSuccess) result = LogWriteError();
  pass_complete_ = result == kSuccess;
  if (pass_complete_) CallProgress(scan_progress_, callback_context_, 100, 100, 0, 0, 0, 0);
  const int saved = SaveState(range_index, offset, ranges, true, pass_complete_);
  if (saved != kSuccess && (result == kSuccess || result == kCancelledByUser)) result = saved;
  // The engine now stands for the saved scan: a later Scan continues or reopens it.
  saved_ = ScanIndexRecord{};
  resume_flag_ = image_path_.empty() ? index.FindForPartition(disk_index_, partition_start_,
                                                              partition_count_, "", &saved_)
                                     : index.FindForImage(image_path_, &saved_);
  saved_finished_ = resume_flag_ && pass_complete_ && saved == kSuccess;
  return result;
}

IFileRecoveryParse* CProfessionalRecovery::Owner(const ScanRecord& record) {
  switch (record.source_kind) {
    case kSourceNtfsQuick:
    case kSourceFatQuick: return quick_.get();
    case kSourceNtfsDeep: return ntfs_deep_.get();
    case kSourceFatDeep: return fat_deep_.get();
    case kSourceSignature: return &signature_;
    default: return nullptr;
  }
}

void CProfessionalRecovery::SetListExisting(bool on) {
  IFileRecoveryParse* engines[] = {quick_.get(), fat_deep_.get(), ntfs_deep_.get(), &signature_};
  for (IFileRecoveryParse* engine : engines) {
    if (engine != nullptr) SetListExistingFiles(engine, on);
  }
}

int CProfessionalRecovery::GetChildren(const ScanRecord* directory, int depth,
                                       ScanRecordList* out) {
  if (out == nullptr) return kErrInvalidParameter;
  if (directory != nullptr) {
    if (directory->source_kind == kSourceSignature) return 0;
    IFileRecoveryParse* owner = Owner(*directory);
    return owner ? owner->GetChildren(directory, depth, out) : 0;
  }
  if (depth != 0) return kErrInvalidParameter;
  const size_t first = out->size();
  if (quick_) quick_->GetChildren(nullptr, 0, out);
  fat_deep_->GetChildren(nullptr, 0, out);
  ntfs_deep_->GetChildren(nullptr, 0, out);
  signature_.GetChildren(nullptr, 0, out);
  if (out->size() - first >= 2) {
    ScanRecordList merged(out->begin() + static_cast<std::ptrdiff_t>(first), out->end());
    SortForListing(&merged);
    std::copy(merged.begin(), merged.end(), out->begin() + static_cast<std::ptrdiff_t>(first));
  }
  return 0;
}

int CProfessionalRecovery::CountFiles(const ScanRecord* directory, int depth, int* count) {
  if (count == nullptr) return kErrInvalidParameter;
  if (directory != nullptr) {
    *count = 0;
    if (directory->source_kind == kSourceSignature) return 0;
    IFileRecoveryParse* owner = Owner(*directory);
    return owner ? owner->CountFiles(directory, depth, count) : 0;
  }
  if (depth != 0) return kErrInvalidParameter;
  int total = 0;
  IFileRecoveryParse* engines[] = {quick_.get(), fat_deep_.get(), ntfs_deep_.get(), &signature_};
  for (IFileRecoveryParse* engine : engines) {
    if (engine == nullptr) continue;
    int part = 0;
    engine->CountFiles(nullptr, 0, &part);
    total += part;
  }
  *count = total;
  return 0;
}

uint64_t CProfessionalRecovery::GetRecordCount() {
  uint64_t count =
      fat_deep_->GetRecordCount() + ntfs_deep_->GetRecordCount() + signature_.GetRecordCount();
  if (quick_ && !quick_running_) count += quick_->GetRecordCount();
  return count;
}

int CProfessionalRecovery::GetFullPath(const ScanRecord& record, std::string* path) {
  if (path == nullptr) return kErrInvalidParameter;
  if (record.source_kind == kSourceSignature) return 0;
  IFileRecoveryParse* owner = Owner(record);
  return owner ? owner->GetFullPath(record, path) : 0;
}

int CProfessionalRecovery::RecoverFile(const ScanRecord& record, const std::string& destination,
                                       int base_depth) {
  IFileRecoveryParse* owner = Owner(record);
  return owner ? owner->RecoverFile(record, destination, base_depth) : 0;
}

int CProfessionalRecovery::PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory,
                                       int* bytes, PreviewProgressCallback callback,
                                       void* context) {
  IFileRecoveryParse* owner = Owner(record);
  return owner ? owner->PreviewFile(record, path, memory, bytes, callback, context) : 0;
}

int CProfessionalRecovery::GetFilesByType(const std::string& filter, ScanRecordList* out) {
  return ListFiles(filter, out, true);
}

int CProfessionalRecovery::GetFilesInAnyOrder(const std::string& filter, ScanRecordList* out) {
  return ListFiles(filter, out, false);
}

int CProfessionalRecovery::ListFiles(const std::string& filter, ScanRecordList* out, bool sorted) {
  if (out == nullptr) return kErrInvalidParameter;
  SectorBlockCache cache;
  const DataSectorOf data_sector_of = [this, &cache](const ScanRecord& record, uint64_t* sector) {
    return MetadataRecordDataSector(record, &source_, sector_size_, sector, &cache);
  };
  return MergeResultsByType(filter, quick_.get(), fat_deep_.get(), ntfs_deep_.get(), &signature_,
                            data_sector_of, out, sorted);
}

bool CProfessionalRecovery::EstimateOverwrite(const ScanRecord& record, OverwriteEstimate* out) {
  if (record.source_kind == kSourceSignature) return false;
  auto* estimator = dynamic_cast<IOverwriteEstimator*>(quick_.get());
  return estimator != nullptr && estimator->EstimateOverwrite(record, out);
}

bool CProfessionalRecovery::ExtraTimesOf(const ScanRecord& record, RecordTimesEntry* out) {
  auto* times = dynamic_cast<IRecordTimes*>(Owner(record));
  return times != nullptr && times->ExtraTimesOf(record, out);
}

}  // namespace velmora
