#include "deep/merge_results.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "engine/record_text.h"
#include "engine/scan_log_store.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_record.h"
#include "storage/byte_view.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr size_t kMaxMftRecordBytes = 4096;

bool NtfsDataSector(const ScanRecord& record, SectorReader* source, int32_t sector_size,
                    uint64_t* sector, SectorBlockCache* cache) {
  if (source == nullptr || !source->IsOpen() || sector_size <= 0 || record.cluster_size <= 0) {
    return false;
  }
  const uint32_t sectors =
      static_cast<uint32_t>(kMaxMftRecordBytes / static_cast<size_t>(sector_size));
  std::vector<uint8_t> bytes(kMaxMftRecordBytes, 0);
  const uint32_t wanted = std::max<uint32_t>(sectors, 1);
  uint32_t got = 0;
  if (cache != nullptr) {
    got = cache->Read(source, record.location, wanted, sector_size, bytes.data());
  } else {
    ReadSectors(source, static_cast<int32_t>(wanted), bytes.data(), record.location, sector_size,
                &got);
  }
  const size_t available = static_cast<size_t>(got) * static_cast<size_t>(sector_size);
  if (available < 512) return false;
  // The record's own allocated size bounds it; anything else is damage.
  const size_t readable = std::min(available, kMaxMftRecordBytes);
  ntfs::MftRecordHeader header;
  if (!ntfs::ParseMftRecordHeader(std::span<const uint8_t>(bytes.data(), readable), &header)) {
    return false;
  }
  const size_t allocated = header.bytes_allocated;
  if (allocated < 512 || allocated > readable) return false;
  ntfs::MftRecord parsed;
  const ntfs::MftRecordVerdict verdict =
      ntfs::LoadMftRecord(std::span<uint8_t>(bytes.data(), allocated), &parsed);
  if (verdict == ntfs::MftRecordVerdict::kNotRecord ||
      verdict == ntfs::MftRecordVerdict::kBadFixup) {
    return false;
  }
  const ntfs::MftAttribute* data = parsed.Find(ntfs::kAttrData, true);
  if (data == nullptr || !data->non_resident) return false;
  std::vector<ntfs::DataRun> runs;
  ntfs::DecodeDataRuns(data->mapping_pairs, data->start_vcn, 0, &runs);
  if (runs.empty() || runs.front().kind != ntfs::RunKind::kAllocated) return false;
  *sector = runs.front().lcn * static_cast<uint64_t>(record.cluster_size) /
                static_cast<uint64_t>(sector_size) +
            record.partition_start;
  return true;
}

bool FatDataSector(const ScanRecord& record, int32_t sector_size, uint64_t* sector) {
  if (record.object_id != 0) {
    if (record.cluster_size <= 0 || sector_size <= 0 || record.object_id < 2) return false;
    const uint64_t per_cluster =
        static_cast<uint64_t>(record.cluster_size) / static_cast<uint64_t>(sector_size);
    *sector =
        per_cluster * (record.object_id - 2ull) + record.partition_start + record.data_area_start;
    return true;
  }
  // A file without a first cluster is keyed 32 sectors before the data area.
  const uint64_t base = record.partition_start + record.data_area_start;
  if (base < 32) return false;
  *sector = base - 32;
  return true;
}

bool SameExtension(std::string_view a, std::string_view b) {
  return AsciiLower(a) == AsciiLower(b);
}

}  // namespace

uint32_t SectorBlockCache::Read(SectorReader* source, uint64_t sector, uint32_t count,
                                int32_t sector_size, uint8_t* out) {
  const size_t sector_bytes = static_cast<size_t>(sector_size);
  const bool held = sector_size == sector_size_ && sector >= first_ && count <= held_ &&
                    sector - first_ <= held_ - count;
  if (!held) {
    held_ = 0;
    sector_size_ = sector_size;
    first_ = sector;
    const uint64_t end = std::min<uint64_t>(
        source->total_sectors, sector + std::max<uint64_t>(count, kBlockBytes / sector_bytes));
    if (end <= sector) return 0;
    bytes_.resize(static_cast<size_t>(end - sector) * sector_bytes);
    uint32_t got = 0;
    ReadSectors(source, static_cast<int32_t>(end - sector), bytes_.data(), sector, sector_size,
                &got);
    held_ = got;
    if (got < count) {
      // A bad spot inside the block: read just what was asked for.
      held_ = 0;
      uint32_t direct = 0;
      ReadSectors(source, static_cast<int32_t>(count), out, sector, sector_size, &direct);
      return direct;
    }
  }
  std::memcpy(out, bytes_.data() + static_cast<size_t>(sector - first_) * sector_bytes,
              static_cast<size_t>(count) * sector_bytes);
  return count;
}

bool MetadataRecordDataSector(const ScanRecord& record, SectorReader* source, int32_t sector_size,
                              uint64_t* sector, SectorBlockCache* cache) {
  switch (record.source_kind) {
    case kSourceNtfsQuick:
    case kSourceNtfsDeep: return NtfsDataSector(record, source, sector_size, sector, cache);
    case kSourceFatQuick:
    case kSourceFatDeep: return FatDataSector(record, sector_size, sector);
    default: return false;
  }
}

namespace {

// What makes two named records one file: the same volume's file seen by the quick
// engine and again by a deep engine (same MFT record, or same first data sector on
// FAT, and the same size).
using SameFileKey = std::tuple<int, uint64_t, uint64_t, std::string>;

bool KeyOf(const ScanRecord& record, bool has_sector, uint64_t sector, SameFileKey* key) {
  switch (record.source_kind) {
    case kSourceNtfsQuick:
    case kSourceNtfsDeep:
      if (record.object_id == 0) return false;
      *key = {0, (static_cast<uint64_t>(record.object_id) << 32) ^ record.partition_start,
              record.size, std::string()};
      return true;
    case kSourceFatQuick:
    case kSourceFatDeep:
      if (record.object_id >= 2 && has_sector) {
        *key = {1, sector, record.size, std::string()};
      } else {
        // An empty file has no cluster: its directory entry tells it.
        *key = {2, record.location, record.size, AsciiLower(RecordName(record))};
      }
      return true;
    default: return false;
  }
}

bool InLostFolder(const std::string& path) {
  return path.rfind("LostFolder", 0) == 0 || path.find("/LostFolder") != std::string::npos;
}

}  // namespace

int MergeResultsByType(const std::string& filter, IFileRecoveryParse* quick,
                       IFileRecoveryParse* fat_deep, IFileRecoveryParse* ntfs_deep,
                       IFileRecoveryParse* signature, const DataSectorOf& data_sector_of,
                       ScanRecordList* out, bool sorted) {
  const size_t first = out->size();
  ScanRecordList named;
  // Room for every record the engines hold (folders too) at once, rather than moving the
  // records already listed each time the list grows.
  uint64_t record_count = 0;
  for (IFileRecoveryParse* engine : {quick, fat_deep, ntfs_deep}) {
    if (engine != nullptr) record_count += engine->GetRecordCount();
  }
  named.reserve(static_cast<size_t>(std::min<uint64_t>(record_count, uint64_t{1} << 22)));
  for (IFileRecoveryParse* engine : {quick, fat_deep, ntfs_deep}) {
    if (engine != nullptr) ListFilesOf(engine, filter, &named, sorted);
  }
  ScanRecordList carved;
  if (signature != nullptr) ListFilesOf(signature, filter, &carved, sorted);
  auto owner_of = [&](const ScanRecord& record) -> IFileRecoveryParse* {
    switch (record.source_kind) {
      case kSourceNtfsDeep: return ntfs_deep;
      case kSourceFatDeep: return fat_deep;
      default: return quick;
    }
  };
  auto lost = [&](const ScanRecord& record) {
    IFileRecoveryParse* engine = owner_of(record);
    std::string path;
    if (engine != nullptr) engine->GetFullPath(record, &path);
    return InLostFolder(path);
  };
  // The first data sector is looked up only where it is needed (each NTFS one costs a
  // read): for the FAT key (read from the record itself) and for named files a carved file
  // could repeat (content that agreed with the name, or an extension some carved file has).
  // They are looked up in the order their records lie.
  std::set<std::string> carved_extensions;
  for (const auto& record : carved)
    carved_extensions.insert(AsciiLower(ExtensionOf(RecordName(record))));
  if (carved_extensions.count("jpg") != 0) carved_extensions.insert("thm");
  std::vector<size_t> wanted;
  for (size_t i = 0; i < named.size(); ++i) {
    const ScanRecord& record = named[i];
    const bool fat = record.source_kind == kSourceFatQuick || record.source_kind == kSourceFatDeep;
    const bool could_repeat =
        !carved.empty() &&
        (record.content_check != 0 ||
         carved_extensions.count(AsciiLower(ExtensionOf(RecordName(record)))) != 0);
    if (fat || could_repeat) wanted.push_back(i);
  }
  std::stable_sort(wanted.begin(), wanted.end(),
                   [&named](size_t a, size_t b) { return named[a].location < named[b].location; });
  std::vector<uint64_t> data_sectors(named.size(), 0);
  std::vector<uint8_t> has_data_sector(named.size(), 0);
  if (data_sector_of) {
    for (size_t i : wanted) has_data_sector[i] = data_sector_of(named[i], &data_sectors[i]) ? 1 : 0;
  }
  // Where each named file's data begins, with its extension and whether its content
  // agreed with that extension.
  struct Start {
    std::string extension;
    bool content_checked;
  };
  std::vector<std::pair<uint64_t, Start>> starts;
  starts.reserve(named.size());
  std::map<SameFileKey, size_t> seen;
  out->reserve(out->size() + named.size() + carved.size());
  for (size_t i = 0; i < named.size(); ++i) {
    const ScanRecord& record = named[i];
    const uint64_t sector = data_sectors[i];
    const bool has_sector = has_data_sector[i] != 0;
    if (has_sector) {
      starts.push_back(
          {sector, Start{std::string(ExtensionOf(RecordName(record))), record.content_check != 0}});
    }
    SameFileKey key;
    if (record.is_directory || !KeyOf(record, has_sector, sector, &key)) {
      out->push_back(record);
      continue;
    }
    const auto [it, inserted] = seen.emplace(key, out->size());
    if (inserted) {
      out->push_back(record);
      continue;
    }
    ScanRecord& held = (*out)[it->second];
    if (sorted) {
      if (lost(held) && !lost(record)) held = record;  // the real folder wins over a lost one
    } else if (lost(held) ? !lost(record) || ListsBefore(record, held)
                          : ListsBefore(record, held) && !lost(record)) {
      // The one a sorted listing keeps: the first in a real folder, else the first.
      held = record;
    }
  }
  // Sorted once and searched, rather than kept in a tree built one node at a time.
  const auto by_sector = [](const std::pair<uint64_t, Start>& a,
                            const std::pair<uint64_t, Start>& b) { return a.first < b.first; };
  std::stable_sort(starts.begin(), starts.end(), by_sector);
  for (const auto& record : carved) {
    const std::string_view extension = ExtensionOf(RecordName(record));
    bool duplicate = false;
    const auto [begin, end] = std::equal_range(
        starts.begin(), starts.end(), std::pair<uint64_t, Start>{record.location, {}}, by_sector);
    // The named file's own data, unless its content did not look like its name
    // said (then the carved file is what the cluster really holds).
    for (auto it = begin; it != end && !duplicate; ++it) {
      duplicate = it->second.content_checked || SameExtension(it->second.extension, extension) ||
                  (SameExtension(extension, "jpg") && SameExtension(it->second.extension, "thm"));
    }
    if (!duplicate) out->push_back(record);
  }
  if (!sorted) return 0;
  if (first == 0 && out->size() >= 2) {
    SortForListing(out);
  } else if (out->size() - first >= 2) {
    ScanRecordList merged(out->begin() + static_cast<std::ptrdiff_t>(first), out->end());
    SortForListing(&merged);
    std::copy(merged.begin(), merged.end(), out->begin() + static_cast<std::ptrdiff_t>(first));
  }
  return 0;
}

}  // namespace velmora
