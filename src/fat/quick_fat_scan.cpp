// The directory walk of the quick FAT scan.
#include <chrono>
#include <cstring>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "engine/scan_log_store.h"
#include "fat/fat_content_check.h"
#include "fat/fat_entry_checks.h"
#include "fat/quick_fat_recovery.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"

namespace velmora {

namespace {

constexpr uint64_t kProgressIntervalMs = 5000;
// Highest first-cluster high word tried for a FAT32 entry whose high word was cleared.
constexpr uint32_t kMaxHighWordGuess = 256;
// A directory holds at most 65536 entries.
constexpr uint64_t kMaxDirectoryBytes = 65536ull * kFatEntrySize;

// Windows leaves the first cluster in some deleted entries it emptied first; such
// an entry is an empty file, not a damaged one.
bool IsPlausibleEntry(const uint8_t* entry, const uint8_t* next) {
  if (IsPlausibleDirectoryEntry(entry, next)) return true;
  if (!EntryIsDeleted(entry) || EntryIsLongName(entry) || EntryIsDirectory(entry) ||
      EntryFileSize(entry) != 0) {
    return false;
  }
  uint8_t without_cluster[kFatEntrySize];
  std::memcpy(without_cluster, entry, kFatEntrySize);
  std::memset(without_cluster + 20, 0, 2);
  std::memset(without_cluster + 26, 0, 2);
  return IsPlausibleDirectoryEntry(without_cluster, next);
}

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

int CFastFatRecovery::Scan(const char* log_name) {
  if (log_name != nullptr) {
    store_ = std::make_unique<ScanLogStore>();
    const int opened = store_->Open(log_name);
    store_->SetListingCallback(listing_progress_, listing_context_);
    return opened;
  }
  return RunScan(std::string(), false);
}

int CFastFatRecovery::ScanInto(const std::string& folder) { return RunScan(folder, true); }

void CFastFatRecovery::ResetScanState() {
  directory_queue_.clear();
  visited_.clear();
  directories_.clear();
  ancestors_.clear();
  ancestor_set_.clear();
  open_directories_.clear();
  listed_clusters_.clear();
  existing_ = std::make_unique<RecordSpill>();
  existing_parents_.clear();
  progress_reports_ = 0;
  unreadable_directory_sectors_ = 0;
  first_unreadable_directory_sector_ = 0;
  root_unreadable_ = false;
}

MetadataReadFaults CFastFatRecovery::ReadFaults() const {
  MetadataReadFaults faults;
  faults.count = unreadable_directory_sectors_;
  if (faults.count == 0) return faults;
  faults.notice = std::to_string(faults.count) +
                  " directory sectors could not be read and were skipped (first: sector " +
                  std::to_string(volume_.StartSector() + first_unreadable_directory_sector_) +
                  (root_unreadable_ ? ", in the root folder" : "") +
                  "); files listed there are missing from the result.";
  return faults;
}

bool CFastFatRecovery::ReadDirectorySectors(uint64_t sector, uint32_t count, uint8_t* buffer,
                                            std::vector<bool>* readable) {
  // Zeros in place of a failing sector would end the listing: such sectors are skipped.
  UnreadableSalvage faults;
  const uint32_t size = geometry_.bytes_per_sector;
  readable->assign(count, true);
  uint32_t got = 0;
  if (volume_.Read(sector, count, buffer, &got) == kSuccess && faults.Bytes() == 0) return true;
  bool any = false;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* into = buffer + static_cast<size_t>(i) * size;
    const uint64_t before = faults.Bytes();
    const int result = volume_.Read(sector + i, 1, into, nullptr);
    if (result == kSuccess && faults.Bytes() == before) {
      any = true;
      continue;
    }
    std::memset(into, 0, size);
    (*readable)[i] = false;
    // Past the end of a cut-short image is not a read fault of the medium.
    if (result != kSuccess && result != kErrReadFault) continue;
    if (unreadable_directory_sectors_++ == 0) first_unreadable_directory_sector_ = sector + i;
  }
  return any;
}

bool CFastFatRecovery::ListReadable(DirectoryCursor* cursor, const uint8_t* buffer,
                                    const std::vector<bool>& readable, uint64_t sector) {
  const uint32_t size = geometry_.bytes_per_sector;
  for (size_t i = 0; i < readable.size();) {
    size_t run = 0;
    while (i + run < readable.size() && readable[i + run]) ++run;
    if (run != 0 && !ListEntries(cursor, buffer + i * size, run * size, sector + i)) return false;
    i += run == 0 ? 1 : run;
  }
  return true;
}

int CFastFatRecovery::ReportProgress(int percent, int seconds_remaining) {
  if (scan_progress_ == nullptr) return kSuccess;
  return scan_progress_(callback_context_, percent, scale_, seconds_remaining, 0, 0, 0, 0, 0, 0);
}

int CFastFatRecovery::MaybeReportProgress() {
  const uint64_t now = NowMs();
  if (now - last_report_ms_ < kProgressIntervalMs) return kSuccess;
  last_report_ms_ = now;
  const int n = progress_reports_++;
  // The walk cannot know its length; the bar creeps and stays below the final phase.
  if (scale_ == 100) return ReportProgress(std::min(2 + n, 79), std::max(99 - n, 1));
  if (scale_ == 9) return ReportProgress(std::min(21 + n, 79), -1);
  return kSuccess;
}

int CFastFatRecovery::RunScan(const std::string& folder, bool explicit_folder) {
  if (!open_) return kErrInvalidParameter;
  ResetScanState();
  store_ = std::make_unique<ScanLogStore>();
  const std::string name = FormatLogName("Fast_", static_cast<int64_t>(volume_.StartSector()));
  // Without a log the walk still runs; queries then find nothing.
  const int opened = explicit_folder ? store_->OpenIn(folder, name) : store_->Open(name);
  store_->SetListingCallback(listing_progress_, listing_context_);

  directory_queue_.push_back(geometry_.root_cluster);
  last_report_ms_ = NowMs();
  int result = ReportProgress(1, -1);
  if (result != kSuccess) return result;
  result = DrainDirectoryQueue();
  if (result != kSuccess) return result;
  if (!open_directories_.empty()) {
    result = ListContinuationClusters();
    if (result != kSuccess) return result;
  }
  result = ReportProgress(80, 10);
  if (result != kSuccess) return result;
  WriteAncestorRecords(ancestors_, 0);
  // Existing files come last, so the deleted files keep the ids they always had.
  const bool existing_written = WriteExistingFiles();
  // The walk runs without a log, but a scan whose results were not written fails.
  int logged = opened != kSuccess && opened != kErrNotEnoughMemory ? opened : store_->Flush();
  if (logged == kSuccess && existing_written) logged = StampExistingFiles(store_->Folder());
  result = ReportProgress(100, 0);
  return result != kSuccess ? result : logged;
}

int CFastFatRecovery::DrainDirectoryQueue() {
  while (!directory_queue_.empty()) {
    const uint32_t cluster = directory_queue_.front();
    directory_queue_.pop_front();
    if (!visited_.insert(cluster).second) continue;
    ListDirectory(cluster);
    const int result = MaybeReportProgress();
    if (result != kSuccess) return result;
  }
  return kSuccess;
}

void CFastFatRecovery::ListDirectory(uint32_t cluster) {
  DirectoryCursor cursor;
  cursor.cluster = cluster;
  auto known = directories_.find(cluster);
  if (known != directories_.end()) {
    known->second.listed = true;
    cursor.depth = known->second.depth;
    cursor.deleted = known->second.deleted;
  }
  const uint32_t sector_size = geometry_.bytes_per_sector;
  if (cluster == 0 && geometry_.type != FatType::kFat32) {
    // The fixed root region of FAT12/16, read whole.
    std::vector<uint8_t> root(static_cast<size_t>(geometry_.root_directory_sectors) * sector_size);
    std::vector<bool> readable;
    const uint64_t before = unreadable_directory_sectors_;
    ReadDirectorySectors(geometry_.RootRegionStart(), geometry_.root_directory_sectors, root.data(),
                         &readable);
    if (before == 0 && unreadable_directory_sectors_ != 0) root_unreadable_ = true;
    ListReadable(&cursor, root.data(), readable, geometry_.RootRegionStart());
    return;
  }
  if (!geometry_.IsDataCluster(cluster)) return;
  std::vector<uint8_t> buffer(geometry_.ClusterBytes());
  const uint64_t max_clusters = kMaxDirectoryBytes / geometry_.ClusterBytes() + 1;
  std::set<uint32_t> seen{cluster};
  uint32_t current = cluster;
  for (uint64_t n = 0; n < max_clusters; ++n) {
    uint64_t sector = 0;
    if (!geometry_.ClusterToSector(current, &sector)) return;
    std::vector<bool> readable;
    const uint64_t before = unreadable_directory_sectors_;
    if (!ReadDirectorySectors(sector, geometry_.sectors_per_cluster, buffer.data(), &readable) ||
        !readable[0]) {
      if (before == 0 && unreadable_directory_sectors_ != 0 && cluster == geometry_.root_cluster)
        root_unreadable_ = true;
      return;
    }
    if (before == 0 && unreadable_directory_sectors_ != 0 && cluster == geometry_.root_cluster)
      root_unreadable_ = true;
    // A subdirectory begins with its "." and ".." entries; anything else means
    // the cluster now belongs to other data.
    if (n == 0 && cluster != geometry_.root_cluster &&
        !IsDirectoryStartSector(buffer.data(), buffer.size())) {
      return;
    }
    if (n == 0 && cursor.deleted && known != directories_.end() &&
        !DotEntriesMatch(buffer.data(), cluster, known->second.parent)) {
      return;  // another directory took over the released cluster
    }
    listed_clusters_.insert(current);
    if (!ListReadable(&cursor, buffer.data(), readable, sector)) return;
    uint32_t next = 0;
    if (!NextDirectoryCluster(cursor, current, &next) || !seen.insert(next).second) {
      if (cursor.deleted) {
        open_directories_[cluster] =
            OpenDirectory{current, cursor.highest_entry, cursor.depth, cursor.names};
      }
      return;
    }
    current = next;
  }
}

bool CFastFatRecovery::DotEntriesMatch(const uint8_t* start, uint32_t cluster,
                                       uint32_t parent) const {
  const bool fat32 = geometry_.type == FatType::kFat32;
  // A cleared high word is tolerated, as in the parent's entry.
  const uint32_t self = EntryFirstCluster(start, fat32);
  if (self != cluster && self != (cluster & 0xFFFF)) return false;
  const uint32_t up = EntryFirstCluster(start + kFatEntrySize, fat32);
  if (parent == geometry_.root_cluster) return up == 0 || up == geometry_.root_cluster;
  return up == parent || up == (parent & 0xFFFF);
}

bool CFastFatRecovery::NextDirectoryCluster(const DirectoryCursor& cursor, uint32_t current,
                                            uint32_t* next) {
  uint32_t value = 0;
  if (table_.Entry(current, &value) != kSuccess) return false;
  if (table_.IsLink(value)) {
    *next = value;
    return true;
  }
  if (!table_.IsFree(value)) return false;  // end of chain, bad cluster or a damaged value
  // A released chain: assume the directory went on in the following cluster
  // when that one is free as well and still looks like directory entries.
  const uint32_t candidate = current + 1;
  if (!geometry_.IsDataCluster(candidate)) return false;
  if (table_.Entry(candidate, &value) != kSuccess || !table_.IsFree(value)) return false;
  std::vector<uint8_t> sector;
  if (!ReadFirstSector(candidate, &sector) || !IsDirectorySector(sector.data(), sector.size())) {
    return false;
  }
  *next = candidate;
  return true;
}

bool CFastFatRecovery::ListEntries(DirectoryCursor* cursor, const uint8_t* buffer, size_t length,
                                   uint64_t first_sector) {
  const size_t count = length / kFatEntrySize;
  const uint32_t sector_size = geometry_.bytes_per_sector;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = buffer + i * kFatEntrySize;
    const uint8_t* next = i + 1 < count ? entry + kFatEntrySize : nullptr;
    if (EntryEndsDirectory(entry)) return false;
    if (!IsPlausibleEntry(entry, next)) {
      cursor->names.Reset();
      continue;
    }
    if (EntryIsLongName(entry)) {
      cursor->names.Add(entry);
      continue;
    }
    if (!EntryIsVolumeLabel(entry) && !(EntryIsDirectory(entry) && EntryIsDotEntry(entry))) {
      cursor->highest_entry = std::max(cursor->highest_entry,
                                       EntryFirstCluster(entry, geometry_.type == FatType::kFat32));
      std::string name = cursor->names.NameFor(entry);
      if (name.empty()) name = ShortEntryName(entry);
      if (EntryIsDirectory(entry)) {
        OnSubdirectory(cursor, entry, name);
      } else if (EntryIsDeleted(entry) || cursor->deleted) {
        OnFile(cursor, entry, name, first_sector + (i * kFatEntrySize) / sector_size);
      } else {
        OnExistingFile(*cursor, entry, name, first_sector + (i * kFatEntrySize) / sector_size);
      }
    }
    cursor->names.Reset();
  }
  return true;
}

void CFastFatRecovery::FillCommon(ScanRecord* record, const uint8_t* entry, uint32_t first_cluster,
                                  const std::string& name) const {
  record->drive_tag = static_cast<uint16_t>(drive_tag_);
  record->source_kind = kSourceFatQuick;
  record->object_id = first_cluster;
  record->cluster_size = static_cast<int32_t>(geometry_.ClusterBytes());
  const FatEntryTimes times = DecodeEntryTimes(entry);
  record->created = times.created;
  record->last_access = times.last_access;
  record->last_write = times.last_write;
  record->data_area_start = geometry_.first_data_sector;
  record->partition_start = volume_.StartSector();
  SetRecordName(record, name);
}

void CFastFatRecovery::OnSubdirectory(DirectoryCursor* cursor, const uint8_t* entry,
                                      const std::string& name) {
  const bool fat32 = geometry_.type == FatType::kFat32;
  uint32_t cluster = EntryFirstCluster(entry, fat32);
  if (fat32 && EntryIsDeleted(entry) && EntryClusterHigh(entry) == 0) {
    cluster = SearchDirectoryHighWord(EntryClusterLow(entry));
  }
  if (!geometry_.IsDataCluster(cluster) || cluster == cursor->cluster ||
      cluster == geometry_.root_cluster) {
    return;
  }
  const bool deleted = EntryIsDeleted(entry) || cursor->deleted;
  auto [it, inserted] = directories_.try_emplace(cluster);
  PendingDirectory& directory = it->second;
  // A cluster named twice keeps its first owner, except that a live directory
  // takes it over from a deleted one before it is listed.
  if (!inserted && (directory.listed || !directory.deleted || deleted)) return;
  directory.record = ScanRecord{};
  FillCommon(&directory.record, entry, cluster, name);
  directory.record.is_directory = 1;
  directory.record.deleted_directory_mark = deleted ? 1 : 0;
  directory.record.size = 0;
  directory.parent = cursor->cluster;
  directory.depth = cursor->depth + 1;
  directory.deleted = deleted;
  directory_queue_.push_back(cluster);
}

void CFastFatRecovery::OnFile(DirectoryCursor* cursor, const uint8_t* entry,
                              const std::string& name, uint64_t entry_sector) {
  const bool fat32 = geometry_.type == FatType::kFat32;
  const uint32_t size = EntryFileSize(entry);
  uint32_t cluster = EntryFirstCluster(entry, fat32);
  if (fat32 && EntryIsDeleted(entry) && EntryClusterHigh(entry) == 0 && size > 0) {
    cluster = SearchFileHighWord(EntryClusterLow(entry), name);
  }
  ScanRecord record{};
  FillCommon(&record, entry, cluster, name);
  record.is_directory = 0;
  record.size = size;
  record.content_check = size > 0 ? ContentCheck(cluster, name) : 1;
  const uint64_t per_sector =
      geometry_.bytes_per_sector / static_cast<uint32_t>(reader_.device_sector_size);
  record.location = volume_.StartSector() + entry_sector * per_sector;
  store_->AppendRecord(&record);
  store_->AddRelation(cursor->cluster, cursor->depth, record.record_index, cluster, nullptr);
  NoteAncestors(cursor->cluster, &ancestors_);
}

void CFastFatRecovery::OnExistingFile(const DirectoryCursor& cursor, const uint8_t* entry,
                                      const std::string& name, uint64_t entry_sector) {
  const uint32_t size = EntryFileSize(entry);
  const uint32_t cluster = EntryFirstCluster(entry, geometry_.type == FatType::kFat32);
  ScanRecord record{};
  FillCommon(&record, entry, cluster, name);
  record.deleted_directory_mark = kMarkExisting | kMarkExistingOnly;
  record.size = size;
  record.content_check = size > 0 ? ContentCheck(cluster, name) : 1;
  const uint64_t per_sector =
      geometry_.bytes_per_sector / static_cast<uint32_t>(reader_.device_sector_size);
  record.location = volume_.StartSector() + entry_sector * per_sector;
  if (existing_->Add(record)) existing_parents_.emplace_back(cursor.cluster, cursor.depth);
}

bool CFastFatRecovery::WriteExistingFiles() {
  std::vector<uint32_t> folders;
  size_t next = 0;
  const bool whole = existing_->ForEach([&](ScanRecord& record) {
    const auto [parent, depth] = existing_parents_[next++];
    store_->AppendRecord(&record);
    store_->AddRelation(parent, depth, record.record_index, record.object_id, nullptr);
    NoteAncestors(parent, &folders);
  });
  // Folders that only existing files lead to are listed with them alone.
  WriteAncestorRecords(folders, kMarkExisting | kMarkExistingOnly);
  return whole && next == existing_parents_.size();
}

void CFastFatRecovery::NoteAncestors(uint32_t directory, std::vector<uint32_t>* list) {
  uint32_t cluster = directory;
  for (size_t steps = 0; steps <= directories_.size(); ++steps) {
    if (cluster == geometry_.root_cluster) return;
    // Once a directory is noted, so is everything above it.
    if (!ancestor_set_.insert(cluster).second) return;
    list->push_back(cluster);
    auto it = directories_.find(cluster);
    if (it == directories_.end() || it->second.parent == cluster) return;
    cluster = it->second.parent;
  }
}

void CFastFatRecovery::WriteAncestorRecords(const std::vector<uint32_t>& list, uint32_t mark) {
  for (uint32_t cluster : list) {
    auto it = directories_.find(cluster);
    if (it == directories_.end()) continue;
    const PendingDirectory& directory = it->second;
    ScanRecord record = directory.record;
    record.content_check = 1;
    record.deleted_directory_mark |= mark;
    store_->AppendRecord(&record);
    const uint32_t parent_depth = directory.depth > 0 ? directory.depth - 1 : 0;
    store_->AddRelation(directory.parent, parent_depth, record.record_index, cluster, record.name);
  }
}

bool CFastFatRecovery::ReadFirstSector(uint32_t cluster, std::vector<uint8_t>* sector) {
  uint64_t position = 0;
  if (!geometry_.IsDataCluster(cluster) || !geometry_.ClusterToSector(cluster, &position)) {
    return false;
  }
  sector->assign(geometry_.bytes_per_sector, 0);
  uint32_t got = 0;
  return volume_.Read(position, 1, sector->data(), &got) == kSuccess && got == 1;
}

uint32_t CFastFatRecovery::SearchDirectoryHighWord(uint16_t low) {
  std::vector<uint8_t> sector;
  for (uint32_t high = 0; high <= kMaxHighWordGuess; ++high) {
    const uint32_t cluster = (high << 16) | low;
    if (!geometry_.IsDataCluster(cluster)) break;
    if (!ReadFirstSector(cluster, &sector)) break;
    if (IsDirectoryStartSector(sector.data(), sector.size())) return cluster;
  }
  return low;
}

uint32_t CFastFatRecovery::SearchFileHighWord(uint16_t low, const std::string& name) {
  const std::string_view extension = ExtensionOf(name);
  if (extension.empty()) return low;
  for (uint32_t high = 0; high <= kMaxHighWordGuess; ++high) {
    const uint32_t cluster = (high << 16) | low;
    if (!geometry_.IsDataCluster(cluster)) break;
    const int judged = JudgeCluster(cluster, extension);
    if (judged < 0) break;
    if ((judged & kContentAgrees) != 0) return cluster;
  }
  return low;
}

uint32_t CFastFatRecovery::ContentCheck(uint32_t first_cluster, const std::string& name) {
  const std::string_view extension = ExtensionOf(name);
  const int judged = JudgeCluster(first_cluster, extension);
  return judged < 0 ? 1 : static_cast<uint32_t>(judged);
}

int CFastFatRecovery::JudgeCluster(uint32_t cluster, std::string_view extension) {
  uint64_t position = 0;
  if (!geometry_.IsDataCluster(cluster) || !geometry_.ClusterToSector(cluster, &position)) {
    return -1;
  }
  // The catalogue counts sectors of the volume's size from the start of the source.
  const uint64_t volume_start = volume_.StartSector() *
                                static_cast<uint64_t>(reader_.device_sector_size) /
                                geometry_.bytes_per_sector;
  std::vector<uint8_t> sector;
  return JudgeFirstSector(content_answers_.get(), volume_start + position,
                          geometry_.bytes_per_sector, extension, &reader_,
                          [&](const uint8_t** data, size_t* length) {
                            if (!ReadFirstSector(cluster, &sector)) return false;
                            *data = sector.data();
                            *length = sector.size();
                            return true;
                          });
}

}  // namespace velmora
