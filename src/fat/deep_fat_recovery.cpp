// Open, browse and the steps of the deep pass of the FAT deep engine.
#include "fat/deep_fat_recovery.h"

#include <cstring>

#include "fat/fat_boot_geometry.h"
#include "fat/fat_directory_entry.h"
#include "fat/fat_entry_checks.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

// All 32 bits, unmasked: the "." entry of a folder keeps its cluster whole.
uint32_t DotCluster(const uint8_t* sector) {
  const FatEntry dot = DecodeEntry(sector);
  return (static_cast<uint32_t>(dot.cluster_high) << 16) | dot.cluster_low;
}

}  // namespace

int CProfessionalFatRecovery::OpenImage(const std::string& image_path, char16_t drive_tag) {
  reader_.Close();
  open_ = false;
  const int result = OpenImageFile(&reader_, image_path);
  if (result != kSuccess) return result;
  volume_start_ = 0;
  volume_sectors_ = reader_.total_sectors;
  bytes_per_sector_ = 512;
  return OpenBound(drive_tag);
}

int CProfessionalFatRecovery::OpenPartition(int disk_number, uint64_t start_sector,
                                            uint64_t sector_count, char16_t drive_letter) {
  reader_.Close();
  open_ = false;
  const int result = OpenPhysicalDrive(&reader_, disk_number);
  if (result != kSuccess) return result;
  // The partition's own extent bounds every read, not the whole disk's size.
  volume_start_ = start_sector;
  volume_sectors_ = sector_count;
  if (volume_start_ > reader_.total_sectors)
    volume_sectors_ = 0;
  else if (volume_sectors_ > reader_.total_sectors - volume_start_)
    volume_sectors_ = reader_.total_sectors - volume_start_;
  bytes_per_sector_ = static_cast<uint32_t>(reader_.device_sector_size);
  return OpenBound(drive_letter);
}

int CProfessionalFatRecovery::OpenBound(char16_t drive_tag) {
  drive_tag_ = drive_tag;
  volume_.Bind(&reader_, volume_start_, volume_sectors_);
  volume_.SetSectorSize(bytes_per_sector_);
  current_context_ = {};
  finish_context_ = {};
  open_ = true;
  return kSuccess;
}

int CProfessionalFatRecovery::Scan(const char*) { return kSuccess; }

int CProfessionalFatRecovery::GetNextFreeRange(uint64_t*, uint64_t*) { return 0; }

int CProfessionalFatRecovery::LoadClusterBitmap() { return kSuccess; }

void CProfessionalFatRecovery::ClearPass() {
  geometries_.Clear();
  pending_files_.clear();
  tails_.clear();
  unplaced_.clear();
  unplaced_bytes_ = 0;
  directory_records_.clear();
  registry_.clear();
  depth_cache_.clear();
  current_context_ = {};
  finish_context_ = {};
  root_cluster_ = 0;
  has_boot_fat_ = false;
  boot_geometry_ = -1;
  previous_index_built_ = false;
  previous_cluster_.clear();
  previous_cluster_.shrink_to_fit();
  dropped_items_ = 0;
  geometries_tried_ = 0;
}

int CProfessionalFatRecovery::ResetForScan(const char* log_name) {
  return ResetForScanIn(std::string(), log_name);
}

int CProfessionalFatRecovery::ResetForScanIn(const std::string& folder, const char* log_name) {
  ClearPass();
  store_ = std::make_unique<ScanLogStore>();
  const std::string name = log_name != nullptr && log_name[0] != '\0'
                               ? std::string(log_name)
                               : FormatLogName("Pro_Fat_", static_cast<int64_t>(volume_start_));
  const int result = folder.empty() ? store_->Open(name) : store_->OpenIn(folder, name);
  store_->SetListingCallback(listing_progress_, listing_context_);
  return result;
}

int CProfessionalFatRecovery::LoadBootGeometry() {
  if (!open_) return kErrInvalidParameter;
  std::vector<uint8_t> boot(4096, 0);
  const uint32_t sectors = std::max<uint32_t>(1, 4096 / bytes_per_sector_);
  boot.resize(static_cast<size_t>(sectors) * bytes_per_sector_);
  int result = ReadAbsolute(volume_start_, sectors, boot.data());
  if (result != kSuccess) {
    // A region shorter than 4 KiB may still hold a boot sector.
    result = ReadAbsolute(volume_start_, 1, boot.data());
    if (result != kSuccess) return result;
  }
  if (boot.size() < 512 || !IsFatBootSector(boot.data())) return kSuccess;
  FatGeometry parsed;
  if (!ParseFatBootSector(boot.data(), boot.size(), &parsed)) return kSuccess;
  // The boot sector counts in its own sector size; ours may be smaller.
  if (parsed.bytes_per_sector < bytes_per_sector_ ||
      parsed.bytes_per_sector % bytes_per_sector_ != 0) {
    return kSuccess;
  }
  const uint32_t factor = parsed.bytes_per_sector / bytes_per_sector_;
  DeepFatGeometry geometry;
  geometry.sectors_per_cluster = parsed.sectors_per_cluster * factor;
  geometry.first_data_sector = parsed.first_data_sector * factor;
  geometry.volume_start = volume_start_;
  geometry.root_region_sectors = parsed.root_directory_sectors * factor;
  geometry.from_boot_sector = true;
  const int index = geometries_.Add(geometry);
  if (index < 0) return kSuccess;
  root_cluster_ = parsed.type == FatType::kFat32 ? parsed.root_cluster : 0;
  has_boot_fat_ = true;
  boot_fat_ = parsed;
  boot_geometry_ = index;
  previous_index_built_ = false;
  previous_cluster_.clear();
  return kSuccess;
}

int CProfessionalFatRecovery::AddDirectoryStart(const uint8_t* sector, uint64_t sector_number) {
  if (!open_ || sector == nullptr) return kSuccess;
  const uint32_t cluster = DotCluster(sector);
  int geometry = geometries_.FindExplaining(cluster, sector_number);
  if (geometry < 0 && cluster >= 2) {
    geometries_.AddSample({cluster, sector_number}, volume_start_);
    geometry = geometries_.FindExplaining(cluster, sector_number);
  }
  if (geometry >= 0) {
    ++geometries_.At(geometry).confirmations;
    PlacePendingFiles(true);
    // The directory's following sectors belong to the same cluster.
    current_context_ = {true, geometry, cluster, sector_number};
  } else {
    current_context_ = {};  // the sectors after an unexplained start belong to no known cluster
  }
  std::optional<LongNameTail> tail =
      ParseDirectoryBuffer(sector, bytes_per_sector_, sector_number, geometry, cluster);
  // A long name cut at the end of the sector may continue in a sector kept earlier.
  while (tail) {
    auto it = FindTailContinuation(*tail);
    if (it == unplaced_.end()) break;
    std::vector<uint8_t> joined = tail->bytes;
    joined.insert(joined.end(), it->second.begin(), it->second.end());
    unplaced_bytes_ -= it->second.size();
    unplaced_.erase(it);
    tail = ParseDirectoryBuffer(joined.data(), joined.size(), sector_number, geometry, cluster);
  }
  KeepTail(std::move(tail));
  return kSuccess;
}

std::map<uint64_t, std::vector<uint8_t>>::iterator CProfessionalFatRecovery::FindTailContinuation(
    const LongNameTail& tail) {
  // Only the rest of the tail's cluster, or without a layout the next few
  // sectors, can hold the continuation; this keeps the search short.
  uint64_t first = tail.sector + 1;
  uint64_t end = tail.sector + 1 + kTailSearchSectors;
  if (tail.geometry >= 0) {
    const DeepFatGeometry& layout = geometries_.At(tail.geometry);
    uint64_t start = 0;
    if (layout.ClusterStart(tail.cluster, &start)) {
      first = start;
      end = start + (tail.cluster == 0 ? layout.root_region_sectors : layout.sectors_per_cluster);
    }
  }
  for (auto it = unplaced_.lower_bound(first); it != unplaced_.end() && it->first < end; ++it) {
    const uint8_t* bytes = it->second.data();
    const FatEntry entry = DecodeEntry(bytes);
    const bool long_name = entry.IsLongName() && entry.LongNameChecksum() == tail.checksum;
    const bool live_short = !entry.EndsDirectory() && !entry.IsDeleted() && !entry.IsLongName() &&
                            ShortNameChecksum(bytes) == tail.checksum;
    if (long_name || live_short) return it;
  }
  return unplaced_.end();
}

bool CProfessionalFatRecovery::TailContinuesInto(const LongNameTail& tail, const uint8_t* sector,
                                                 uint64_t sector_number) const {
  const FatEntry first = DecodeEntry(sector);
  if (first.IsLongName()) return first.LongNameChecksum() == tail.checksum;
  if (first.IsDeleted()) {
    if (tail.geometry < 0 || sector_number <= tail.sector) return false;
    return sector_number - tail.sector < geometries_.At(tail.geometry).sectors_per_cluster;
  }
  return !first.EndsDirectory() && ShortNameChecksum(sector) == tail.checksum;
}

bool CProfessionalFatRecovery::JoinWithTail(const uint8_t* sector, uint64_t sector_number) {
  for (size_t i = 0; i < tails_.size(); ++i) {
    if (!TailContinuesInto(tails_[i], sector, sector_number)) continue;
    LongNameTail tail = std::move(tails_[i]);
    tails_.erase(tails_.begin() + static_cast<std::ptrdiff_t>(i));
    std::vector<uint8_t> joined = std::move(tail.bytes);
    joined.insert(joined.end(), sector, sector + bytes_per_sector_);
    ParseAndKeepTail(joined.data(), joined.size(), tail.sector, tail.geometry, tail.cluster);
    return true;
  }
  return false;
}

bool CProfessionalFatRecovery::InContext(const ClusterContext& context,
                                         uint64_t sector_number) const {
  if (!context.valid || context.geometry < 0 || sector_number < context.sector) return false;
  const DeepFatGeometry& geometry = geometries_.At(context.geometry);
  // The root region of FAT12/16 is one block in front of the data area.
  const uint64_t span =
      context.cluster == 0 ? geometry.root_region_sectors : geometry.sectors_per_cluster;
  return sector_number - context.sector < span;
}

int CProfessionalFatRecovery::AddDirectorySector(const uint8_t* sector, uint64_t sector_number) {
  if (!open_ || sector == nullptr) return kSuccess;
  if (JoinWithTail(sector, sector_number)) return kSuccess;
  if (InContext(current_context_, sector_number)) {
    ParseAndKeepTail(sector, bytes_per_sector_, sector_number, current_context_.geometry,
                     current_context_.cluster);
    return kSuccess;
  }
  // During the pass only layouts that explained a directory start are trusted
  // to place other sectors; a boot sector written by a later format may
  // describe another layout than the one the old directories were made under.
  for (int index : geometries_.ByConfidence()) {
    const DeepFatGeometry& geometry = geometries_.At(index);
    if (geometry.confirmations == 0) break;
    uint32_t cluster = 0;
    if (!geometry.IsClusterStart(sector_number, &cluster)) continue;
    current_context_ = {true, index, cluster, sector_number};
    ParseAndKeepTail(sector, bytes_per_sector_, sector_number, index, cluster);
    return kSuccess;
  }
  if (unplaced_bytes_ + bytes_per_sector_ > kMaxUnplacedBytes) {
    ++dropped_items_;
    return kSuccess;
  }
  auto [it, inserted] = unplaced_.try_emplace(sector_number);
  if (inserted) {
    it->second.assign(sector, sector + bytes_per_sector_);
    unplaced_bytes_ += bytes_per_sector_;
  }
  return kSuccess;
}

void CProfessionalFatRecovery::KeepTail(std::optional<LongNameTail> tail) {
  if (!tail) return;
  if (tails_.size() >= kMaxLongNameTails) {
    tails_.erase(tails_.begin());
    ++dropped_items_;
  }
  tails_.push_back(std::move(*tail));
}

void CProfessionalFatRecovery::ParseAndKeepTail(const uint8_t* data, size_t length, uint64_t sector,
                                                int geometry, uint32_t cluster) {
  KeepTail(ParseDirectoryBuffer(data, length, sector, geometry, cluster));
}

int CProfessionalFatRecovery::FinishScan() {
  if (!open_) return kErrInvalidParameter;
  // Sectors that waited for a layout.
  std::map<uint64_t, std::vector<uint8_t>> waiting;
  waiting.swap(unplaced_);
  unplaced_bytes_ = 0;
  finish_context_ = {};
  const std::vector<int> order = geometries_.ByConfidence();
  for (const auto& [sector_number, bytes] : waiting) {
    if (JoinWithTail(bytes.data(), sector_number)) continue;
    bool placed = false;
    for (int index : order) {
      uint32_t cluster = 0;
      if (!geometries_.At(index).IsClusterStart(sector_number, &cluster)) continue;
      finish_context_ = {true, index, cluster, sector_number};
      ParseAndKeepTail(bytes.data(), bytes.size(), sector_number, index, cluster);
      placed = true;
      break;
    }
    if (placed) continue;
    if (InContext(finish_context_, sector_number)) {
      ParseAndKeepTail(bytes.data(), bytes.size(), sector_number, finish_context_.geometry,
                       finish_context_.cluster);
      continue;
    }
    const int nearest = geometries_.NearestBelow(sector_number);
    uint32_t cluster = 0;
    if (nearest >= 0 && geometries_.At(nearest).ClusterContaining(sector_number, &cluster)) {
      ParseAndKeepTail(bytes.data(), bytes.size(), sector_number, nearest, cluster);
    }
  }
  waiting.clear();

  WriteDirectories();
  directory_records_.clear();
  registry_.clear();

  PlacePendingFiles(false);
  for (PendingFile& file : pending_files_) {
    const int nearest = geometries_.NearestBelow(file.sector);
    if (nearest >= 0) WriteFile(std::move(file), nearest);
  }
  pending_files_.clear();
  tails_.clear();
  depth_cache_.clear();
  previous_cluster_.clear();
  previous_cluster_.shrink_to_fit();
  previous_index_built_ = false;
  current_context_ = {};
  return store_ ? store_->Flush() : kSuccess;
}

}  // namespace velmora
