// Later clusters of deleted directories. A deleted directory has no chain left and
// its clusters rarely follow one another (the files written between them took the
// clusters in between), so they are searched among the free clusters.
#include <algorithm>
#include <cstdio>

#include "engine/record_text.h"
#include "fat/fat_entry_checks.h"
#include "fat/quick_fat_recovery.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

// Free clusters are read in runs of up to this many bytes.
constexpr uint32_t kRunBytes = 1u << 20;

}  // namespace

int CFastFatRecovery::ListContinuationClusters() {
  const uint32_t cluster_bytes = geometry_.ClusterBytes();
  const uint32_t end = geometry_.cluster_count + 2;
  const uint32_t run_limit = std::max<uint32_t>(1, kRunBytes / cluster_bytes);
  uint32_t cluster = end;
  for (const auto& [first, open] : open_directories_)
    cluster = std::min(cluster, open.last_cluster + 1);

  auto free_and_unlisted = [this](uint32_t c) {
    uint32_t value = 0;
    return table_.Entry(c, &value) == kSuccess && table_.IsFree(value) &&
           listed_clusters_.count(c) == 0;
  };
  std::vector<uint8_t> buffer;
  // An image file is looked at in place: most free clusters are rejected by their first bytes.
  MappedImage image;
  MappedImage* mapped = image.Attach(volume_.Reader()) ? &image : nullptr;
  // A continuation always lies after the part of its directory already listed, so
  // the search ends once no directory is waiting for one.
  while (cluster < end && !open_directories_.empty()) {
    if (!free_and_unlisted(cluster)) {
      ++cluster;
      continue;
    }
    uint32_t run = 1;
    while (run < run_limit && cluster + run < end && free_and_unlisted(cluster + run)) ++run;
    uint64_t sector = 0;
    if (!geometry_.ClusterToSector(cluster, &sector)) break;
    const uint32_t wanted = run * geometry_.sectors_per_cluster;
    uint32_t got = wanted;
    const uint8_t* bytes = volume_.View(mapped, sector, wanted);
    if (bytes == nullptr) {
      buffer.assign(static_cast<size_t>(run) * cluster_bytes, 0);
      volume_.Read(sector, wanted, buffer.data(), &got);
      bytes = buffer.data();
    }
    const uint32_t whole = got / geometry_.sectors_per_cluster;
    for (uint32_t i = 0; i < whole; ++i) {
      const uint8_t* content = bytes + static_cast<size_t>(i) * cluster_bytes;
      if (IsDirectoryStartSector(content, cluster_bytes) ||
          !IsDirectorySector(content, cluster_bytes)) {
        continue;
      }
      ListContinuation(cluster + i, std::vector<uint8_t>(content, content + cluster_bytes));
      // Folders named in the continuation are walked before the search goes on.
      const int result = DrainDirectoryQueue();
      if (result != kSuccess) return result;
    }
    cluster += std::max<uint32_t>(run, 1);
    const int result = MaybeReportProgress();
    if (result != kSuccess) return result;
  }
  return kSuccess;
}

bool CFastFatRecovery::FindOwnerOf(uint32_t cluster, const std::vector<uint8_t>& content,
                                   uint32_t* owner) const {
  // A directory grows when it is full: its next cluster is taken after the clusters
  // of the files its earlier entries name. Of the directories that qualify, the one
  // whose entries end closest before this cluster is taken.
  bool found = false;
  uint32_t best_highest = 0;
  for (const auto& [first, open] : open_directories_) {
    if (open.last_cluster >= cluster || open.highest_entry >= cluster) continue;
    if (!found || open.highest_entry > best_highest) {
      found = true;
      best_highest = open.highest_entry;
      *owner = first;
    }
  }
  return found;
}

void CFastFatRecovery::ListContinuation(uint32_t cluster, const std::vector<uint8_t>& content) {
  DirectoryCursor cursor;
  cursor.deleted = true;
  uint32_t owner = 0;
  const bool attached = FindOwnerOf(cluster, content, &owner);
  if (attached) {
    const OpenDirectory& open = open_directories_[owner];
    cursor.cluster = owner;
    cursor.depth = open.depth;
    cursor.highest_entry = open.highest_entry;
    cursor.names = open.names;  // a long name may start in the cluster before
  } else {
    // No folder to attach it to: its files go into a lost folder in the root.
    auto [it, inserted] = directories_.try_emplace(cluster);
    if (!inserted && it->second.listed) return;
    PendingDirectory& lost = it->second;
    lost.record = ScanRecord{};
    lost.record.drive_tag = static_cast<uint16_t>(drive_tag_);
    lost.record.source_kind = kSourceFatQuick;
    lost.record.is_directory = 1;
    lost.record.deleted_directory_mark = 1;
    lost.record.object_id = cluster;
    lost.record.cluster_size = static_cast<int32_t>(geometry_.ClusterBytes());
    lost.record.data_area_start = geometry_.first_data_sector;
    lost.record.partition_start = volume_.StartSector();
    char name[32];
    std::snprintf(name, sizeof(name), "LostFolder%u", cluster);
    SetRecordName(&lost.record, name);
    lost.parent = geometry_.root_cluster;
    lost.depth = 1;
    lost.deleted = true;
    lost.listed = true;
    cursor.cluster = cluster;
    cursor.depth = 1;
  }
  listed_clusters_.insert(cluster);
  uint64_t sector = 0;
  geometry_.ClusterToSector(cluster, &sector);
  const bool ended = !ListEntries(&cursor, content.data(), content.size(), sector);
  const uint32_t key = attached ? owner : cluster;
  if (ended) {
    open_directories_.erase(key);
  } else {
    open_directories_[key] =
        OpenDirectory{cluster, cursor.highest_entry, cursor.depth, cursor.names};
  }
}

}  // namespace velmora
