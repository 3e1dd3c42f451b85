// Directory buffers of the FAT deep engine: who owns them, what they hold, and
// the records written from them.
#include <cstring>
#include <set>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "fat/deep_fat_recovery.h"
#include "fat/fat_content_check.h"
#include "fat/fat_directory_entry.h"
#include "fat/fat_entry_checks.h"
#include "fat/fat_table.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr uint32_t kHighWordCandidates = 257;
// Depth walks stop here even without a repeated cluster.
constexpr uint32_t kMaxDepthWalk = 4096;
constexpr size_t kMaxDepthCache = 65536;
// A folder of 65536 clusters holds more entries than FAT allows in one folder.
constexpr uint32_t kMaxFolderClusters = 65536;

uint32_t Cluster(const uint8_t* entry) {
  return (static_cast<uint32_t>(EntryClusterHigh(entry)) << 16) | EntryClusterLow(entry);
}

// ". " then "..": the first sector of a subdirectory.
bool BeginsWithDotEntries(const uint8_t* sector, size_t length) {
  return length >= 64 && sector[0] == '.' && sector[1] == ' ' && sector[32] == '.' &&
         sector[33] == '.';
}

uint32_t DotDotCluster(const uint8_t* sector) { return Cluster(sector + 32); }

}  // namespace

int CProfessionalFatRecovery::ReadAbsolute(uint64_t sector, uint32_t count, uint8_t* buffer) const {
  if (sector < volume_start_) return kErrInvalidParameter;
  uint32_t got = 0;
  return volume_.Read(sector - volume_start_, count, buffer, &got);
}

bool CProfessionalFatRecovery::ReadClusterStart(int geometry, uint32_t cluster,
                                                std::vector<uint8_t>* sector) const {
  if (geometry < 0) return false;
  uint64_t start = 0;
  if (!geometries_.At(geometry).ClusterStart(cluster, &start) || start >= VolumeEnd()) return false;
  sector->assign(bytes_per_sector_, 0);
  return ReadAbsolute(start, 1, sector->data()) == kSuccess;
}

uint32_t CProfessionalFatRecovery::SearchDirectoryHighWord(int geometry, uint16_t low) const {
  if (geometry < 0) return low;
  std::vector<uint8_t> sector;
  for (uint32_t high = 0; high < kHighWordCandidates; ++high) {
    const uint32_t cluster = (high << 16) | low;
    if (cluster < 2) continue;
    uint64_t start = 0;
    if (!geometries_.At(geometry).ClusterStart(cluster, &start) || start >= VolumeEnd()) break;
    if (!ReadClusterStart(geometry, cluster, &sector)) break;
    if (BeginsWithDotEntries(sector.data(), sector.size())) return cluster;
  }
  return low;
}

uint32_t CProfessionalFatRecovery::SearchFileHighWord(int geometry, uint16_t low,
                                                      const std::string& name) {
  const std::string_view extension = ExtensionOf(name);
  if (geometry < 0 || extension.empty()) return low;
  const std::string lower = AsciiLower(extension);
  for (uint32_t high = 0; high < kHighWordCandidates; ++high) {
    const uint32_t cluster = (high << 16) | low;
    if (cluster < 2) continue;
    uint64_t start = 0;
    if (!geometries_.At(geometry).ClusterStart(cluster, &start) || start >= VolumeEnd()) break;
    const int judged = JudgeCluster(geometry, cluster, start, lower);
    if (judged < 0) break;
    if ((judged & kContentAgrees) != 0) return cluster;
  }
  return low;
}

uint32_t CProfessionalFatRecovery::ContentCheck(int geometry, uint32_t first_cluster,
                                                const std::string& name) {
  const std::string_view extension = ExtensionOf(name);
  uint64_t start = 0;
  if (first_cluster < 2 || geometry < 0 ||
      !geometries_.At(geometry).ClusterStart(first_cluster, &start) || start >= VolumeEnd()) {
    return 1;
  }
  const int judged = JudgeCluster(geometry, first_cluster, start, AsciiLower(extension));
  return judged < 0 ? 1 : static_cast<uint32_t>(judged);
}

int CProfessionalFatRecovery::JudgeCluster(int geometry, uint32_t cluster, uint64_t start,
                                           std::string_view extension) {
  std::vector<uint8_t> sector;
  return JudgeFirstSector(content_answers_.get(), start, bytes_per_sector_, extension, &reader_,
                          [&](const uint8_t** data, size_t* length) {
                            if (!ReadClusterStart(geometry, cluster, &sector)) return false;
                            *data = sector.data();
                            *length = sector.size();
                            return true;
                          });
}

uint32_t CProfessionalFatRecovery::DepthOf(uint32_t cluster, int geometry) {
  if (cluster == 0 || cluster == root_cluster_) return 0;
  if (geometry < 0) return 1;  // below the root, level unknown
  const auto key = std::make_pair(geometry, cluster);
  if (auto it = depth_cache_.find(key); it != depth_cache_.end()) return it->second;
  uint32_t depth = 0;
  std::set<uint32_t> visited;
  std::vector<uint8_t> sector;
  uint32_t current = cluster;
  while (current != 0 && current != root_cluster_ && visited.size() < kMaxDepthWalk) {
    visited.insert(current);
    const bool read = ReadClusterStart(geometry, current, &sector);
    // A cluster that is not the root counts one level even when unreadable, so
    // that no directory shares the root's depth 0.
    if (read && DecodeEntry(sector.data()).attributes == kFatAttrVolumeLabel) break;
    ++depth;
    if (!read || !BeginsWithDotEntries(sector.data(), sector.size())) break;
    const uint32_t parent = DotDotCluster(sector.data());
    if (parent == 0 || visited.count(parent) != 0) break;
    current = parent;
  }
  if (depth_cache_.size() >= kMaxDepthCache) depth_cache_.clear();
  depth_cache_.emplace(key, depth);
  return depth;
}

uint32_t CProfessionalFatRecovery::OwningDirectory(const uint8_t* data, size_t length, int geometry,
                                                   uint32_t cluster_guess, uint64_t* owner_sector) {
  const uint8_t* first = data;
  if (EntryAttributes(first) == kFatAttrVolumeLabel) {
    uint64_t root_start = 0;
    if (geometry >= 0 && geometries_.At(geometry).ClusterStart(root_cluster_, &root_start)) {
      *owner_sector = root_start;
    }
    return root_cluster_;
  }
  if (BeginsWithDotEntries(data, length)) return NormaliseParent(Cluster(first));
  if (geometry < 0) return NormaliseParent(cluster_guess);

  std::vector<uint8_t> sector;
  if (cluster_guess >= 2 && ReadClusterStart(geometry, cluster_guess, &sector) &&
      BeginsWithDotEntries(sector.data(), sector.size())) {
    return cluster_guess;
  }
  // The ".." entry of any subdirectory listed here names this directory.
  for (size_t offset = 0; offset + kFatEntrySize <= length; offset += kFatEntrySize) {
    const uint8_t* entry = data + offset;
    if (DecodeEntry(entry).EndsDirectory()) break;
    const uint8_t* next = offset + 2 * kFatEntrySize <= length ? entry + kFatEntrySize : nullptr;
    if (!EntryIsDirectory(entry) || EntryIsDotEntry(entry) ||
        !IsPlausibleDirectoryEntry(entry, next)) {
      continue;
    }
    uint32_t cluster = Cluster(entry);
    if (EntryIsDeleted(entry) && EntryClusterHigh(entry) == 0) {
      cluster = SearchDirectoryHighWord(geometry, EntryClusterLow(entry));
    }
    if (cluster < 2) continue;
    uint64_t start = 0;
    if (!geometries_.At(geometry).ClusterStart(cluster, &start) || start >= VolumeEnd()) break;
    if (!ReadClusterStart(geometry, cluster, &sector)) break;
    if (BeginsWithDotEntries(sector.data(), sector.size())) {
      return NormaliseParent(DotDotCluster(sector.data()));
    }
  }
  // A later cluster of a live folder: the boot sector's FAT links it to the
  // folder's first cluster, when the layout is the boot sector's own.
  if (geometry == boot_geometry_ && cluster_guess >= 2) {
    const uint32_t head = ChainHeadInBootFat(cluster_guess);
    if (head != 0 && head != cluster_guess) {
      if (head == root_cluster_) return root_cluster_;
      if (ReadClusterStart(geometry, head, &sector) &&
          BeginsWithDotEntries(sector.data(), sector.size()) && Cluster(sector.data()) == head) {
        return head;
      }
    }
  }
  return NormaliseParent(cluster_guess);
}

void CProfessionalFatRecovery::BuildPreviousClusterIndex() {
  previous_index_built_ = true;
  previous_cluster_.clear();
  if (!has_boot_fat_ || boot_fat_.cluster_count > kMaxIndexedClusters) return;
  FatTable table(&volume_, boot_fat_);
  const uint32_t last = boot_fat_.cluster_count + 1;
  std::vector<uint32_t> previous(static_cast<size_t>(last) + 1, 0);
  for (uint32_t cluster = 2; cluster <= last; ++cluster) {
    uint32_t next = 0;
    if (table.Entry(cluster, &next) != kSuccess) return;  // an unreadable FAT is not used
    // The first link to a cluster wins; cross-links are damage.
    if (table.IsLink(next) && next != cluster && previous[next] == 0) previous[next] = cluster;
  }
  previous_cluster_.swap(previous);
}

uint32_t CProfessionalFatRecovery::ChainHeadInBootFat(uint32_t cluster) {
  if (!previous_index_built_) BuildPreviousClusterIndex();
  if (cluster >= previous_cluster_.size() || previous_cluster_[cluster] == 0) return 0;
  uint32_t head = cluster;
  // A loop of links has no head; no folder needs more steps than this.
  for (uint32_t steps = 0; steps < kMaxFolderClusters; ++steps) {
    const uint32_t previous = previous_cluster_[head];
    if (previous == 0) return head;
    head = previous;
    if (head == cluster) return 0;
  }
  return 0;
}

std::optional<CProfessionalFatRecovery::LongNameTail>
CProfessionalFatRecovery::ParseDirectoryBuffer(const uint8_t* data, size_t length, uint64_t sector,
                                               int geometry, uint32_t cluster_guess) {
  length -= length % kFatEntrySize;
  if (length < kFatEntrySize) return std::nullopt;
  uint64_t owner_sector = sector;
  const uint32_t owner = OwningDirectory(data, length, geometry, cluster_guess, &owner_sector);

  LongNameCollector pieces;
  size_t run_start = 0;
  size_t run_length = 0;
  for (size_t offset = 0; offset + kFatEntrySize <= length; offset += kFatEntrySize) {
    const uint8_t* entry = data + offset;
    if (EntryEndsDirectory(entry)) return std::nullopt;
    const uint8_t* next = offset + 2 * kFatEntrySize <= length ? entry + kFatEntrySize : nullptr;
    if (!IsPlausibleDirectoryEntry(entry, next)) {
      pieces.Reset();
      run_length = 0;
      continue;
    }
    if (EntryAttributes(entry) == kFatAttrLongName) {
      if (run_length == 0) run_start = offset;
      if (++run_length > kMaxLongNamePieces) return std::nullopt;
      pieces.Add(entry);
      continue;
    }
    std::string name = pieces.Empty() ? std::string() : pieces.NameFor(entry);
    if (name.empty()) name = ShortEntryName(entry);
    pieces.Reset();
    run_length = 0;
    const uint64_t entry_sector = sector + offset / bytes_per_sector_;
    if (EntryIsVolumeLabel(entry)) continue;
    if (EntryIsDirectory(entry)) {
      if (!EntryIsDotEntry(entry)) OnDirectoryEntry(entry, name, owner, entry_sector, geometry);
    } else if ((EntryAttributes(entry) & kFatAttrArchive) != 0 && !name.empty()) {
      OnFileEntry(entry, name, owner, owner_sector, entry_sector, geometry);
    }
  }
  if (run_length == 0) return std::nullopt;
  LongNameTail tail;
  tail.checksum = data[run_start + 13];
  tail.geometry = geometry;
  tail.cluster = owner;
  tail.sector = sector;
  tail.bytes.assign(data + run_start, data + length);
  return tail;
}

void CProfessionalFatRecovery::OnDirectoryEntry(const uint8_t* entry, const std::string& name,
                                                uint32_t owner, uint64_t entry_sector,
                                                int geometry) {
  uint32_t cluster = Cluster(entry);
  const bool deleted = EntryIsDeleted(entry);
  if (deleted && EntryClusterHigh(entry) == 0) {
    cluster = SearchDirectoryHighWord(geometry, EntryClusterLow(entry));
  }
  if (cluster < 2 || cluster == owner) return;
  auto it = directory_records_.find(cluster);
  if (it == directory_records_.end()) {
    if (directory_records_.size() >= kMaxDirectoryRecords) {
      ++dropped_items_;
      return;
    }
    it = directory_records_.emplace(cluster, DirectoryRecord{}).first;
  } else if (!it->second.deleted && deleted) {
    return;  // a stale deleted entry never replaces the live one
  }
  DirectoryRecord& item = it->second;
  item = DirectoryRecord{};
  ScanRecord& record = item.record;
  record.drive_tag = static_cast<uint16_t>(drive_tag_);
  record.source_kind = kSourceFatDeep;
  record.is_directory = 1;
  record.content_check = 1;
  record.object_id = cluster;
  record.cluster_size = -1;
  const FatEntryTimes times = DecodeEntryTimes(entry);
  record.created = times.created;
  record.last_access = times.last_access;
  record.last_write = times.last_write;
  record.location = entry_sector;
  SetRecordName(&record, name);
  item.parent = owner;
  item.geometry = geometry;
  item.deleted = deleted;
}

void CProfessionalFatRecovery::OnFileEntry(const uint8_t* entry, const std::string& name,
                                           uint32_t owner, uint64_t owner_sector,
                                           uint64_t entry_sector, int geometry) {
  PendingFile file;
  ScanRecord& record = file.record;
  record.drive_tag = static_cast<uint16_t>(drive_tag_);
  record.source_kind = kSourceFatDeep;
  record.object_id = Cluster(entry);
  const FatEntryTimes times = DecodeEntryTimes(entry);
  record.created = times.created;
  record.last_access = times.last_access;
  record.last_write = times.last_write;
  record.size = EntryFileSize(entry);
  record.location = entry_sector;
  // A directory sector found on its own cannot tell whether its folder is still in use.
  record.deleted_directory_mark = EntryIsDeleted(entry) ? 0 : kMarkEntryUnknown;
  SetRecordName(&record, name);
  file.parent = owner;
  file.sector = owner_sector;
  file.search_high_word = EntryIsDeleted(entry) && EntryClusterHigh(entry) == 0;
  if (geometry >= 0) {
    WriteFile(std::move(file), geometry);
  } else if (pending_files_.size() < kMaxPendingFiles) {
    pending_files_.push_back(std::move(file));
  } else {
    ++dropped_items_;
  }
  RegisterWithAncestors(owner, geometry, owner_sector);
}

void CProfessionalFatRecovery::RegisterWithAncestors(uint32_t cluster, int geometry,
                                                     uint64_t sector) {
  std::set<uint32_t> visited;
  std::vector<uint8_t> first;
  while (cluster != root_cluster_ && cluster >= 2 && visited.insert(cluster).second) {
    auto found = registry_.find(cluster);
    if (found != registry_.end()) {
      // Already walked with a layout: its ancestors are in the registry.
      if (found->second.geometry >= 0 || geometry < 0) return;
      found->second = {geometry, sector};
    } else {
      if (registry_.size() >= kMaxRegisteredDirectories) {
        ++dropped_items_;
        return;
      }
      registry_.emplace(cluster, RegisteredDirectory{geometry, sector});
    }
    if (auto record = directory_records_.find(cluster); record != directory_records_.end()) {
      const uint32_t parent = NormaliseParent(record->second.parent);
      if (parent == cluster) return;
      if (record->second.geometry >= 0) geometry = record->second.geometry;
      sector = record->second.record.location;
      cluster = parent;
      continue;
    }
    if (!ReadClusterStart(geometry, cluster, &first)) return;
    const uint32_t parent = BeginsWithDotEntries(first.data(), first.size())
                                ? NormaliseParent(DotDotCluster(first.data()))
                                : root_cluster_;
    if (parent == cluster) return;
    uint64_t parent_start = 0;
    if (!geometries_.At(geometry).ClusterStart(parent, &parent_start)) return;
    sector = parent_start;
    cluster = parent;
  }
}

void CProfessionalFatRecovery::WriteFile(PendingFile file, int geometry) {
  if (geometry < 0 || !store_ || !store_->IsOpen()) return;
  const DeepFatGeometry& layout = geometries_.At(geometry);
  ScanRecord& record = file.record;
  const std::string name(RecordName(record));
  if (file.search_high_word) {
    record.object_id = SearchFileHighWord(geometry, static_cast<uint16_t>(record.object_id), name);
  }
  record.cluster_size = static_cast<int32_t>(layout.sectors_per_cluster * bytes_per_sector_);
  record.data_area_start = layout.first_data_sector;
  record.partition_start = layout.volume_start;
  record.content_check = ContentCheck(geometry, record.object_id, name);
  const uint32_t parent = NormaliseParent(file.parent);
  const uint32_t depth = DepthOf(parent, geometry);
  store_->AppendRecord(&record);
  store_->AddRelation(parent, depth, record.record_index, record.object_id, nullptr);
}

void CProfessionalFatRecovery::PlacePendingFiles(bool only_with_new_layout) {
  if (pending_files_.empty()) return;
  if (only_with_new_layout && geometries_.Count() == geometries_tried_) return;
  geometries_tried_ = geometries_.Count();
  std::vector<PendingFile> waiting;
  for (PendingFile& file : pending_files_) {
    const int geometry = geometries_.FindExplaining(NormaliseParent(file.parent), file.sector);
    if (geometry >= 0) {
      WriteFile(std::move(file), geometry);
    } else {
      waiting.push_back(std::move(file));
    }
  }
  pending_files_.swap(waiting);
}

int CProfessionalFatRecovery::ResolveGeometry(uint32_t cluster,
                                              const RegisteredDirectory& entry) const {
  if (entry.geometry >= 0) return entry.geometry;
  for (int index = 0; index < geometries_.Count(); ++index) {
    uint32_t containing = 0;
    if (geometries_.At(index).ClusterContaining(entry.sector, &containing) &&
        containing == cluster) {
      return index;
    }
  }
  return -1;
}

void CProfessionalFatRecovery::WriteDirectories() {
  if (!store_ || !store_->IsOpen()) return;
  // Directories registered before any layout was known get their ancestors now.
  std::vector<std::pair<uint32_t, RegisteredDirectory>> first_pass(registry_.begin(),
                                                                   registry_.end());
  for (const auto& [cluster, entry] : first_pass) {
    const int geometry = ResolveGeometry(cluster, entry);
    if (entry.geometry < 0 && geometry >= 0) {
      registry_.erase(cluster);
      RegisterWithAncestors(cluster, geometry, entry.sector);
    }
  }
  std::vector<uint8_t> first;
  for (const auto& [cluster, entry] : registry_) {
    const int geometry = ResolveGeometry(cluster, entry);
    if (geometry < 0) continue;
    auto record = directory_records_.find(cluster);
    uint32_t parent = root_cluster_;
    int parent_geometry = geometry;
    std::string lost_name;
    if (record != directory_records_.end()) {
      parent = NormaliseParent(record->second.parent);
      if (record->second.geometry >= 0) parent_geometry = record->second.geometry;
    } else {
      if (ReadClusterStart(geometry, cluster, &first) &&
          BeginsWithDotEntries(first.data(), first.size())) {
        parent = NormaliseParent(DotDotCluster(first.data()));
      }
      lost_name = "LostFolder" + std::to_string(cluster);
    }
    const uint32_t depth = DepthOf(parent, parent_geometry);
    ScanRecord slot{};
    if (record != directory_records_.end()) {
      slot = record->second.record;
    } else {
      slot.drive_tag = static_cast<uint16_t>(drive_tag_);
      slot.source_kind = kSourceFatDeep;
      slot.is_directory = 1;
      slot.object_id = cluster;
      slot.cluster_size = -1;
      SetRecordName(&slot, lost_name);
    }
    slot.content_check = 1;
    const DeepFatGeometry& layout = geometries_.At(geometry);
    slot.cluster_size = static_cast<int32_t>(layout.sectors_per_cluster * bytes_per_sector_);
    slot.data_area_start = layout.first_data_sector;
    slot.partition_start = layout.volume_start;
    store_->AppendRecord(&slot);
    store_->AddRelation(parent, depth, slot.record_index, cluster, slot.name);
  }
}

}  // namespace velmora
