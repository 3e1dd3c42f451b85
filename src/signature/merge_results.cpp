#include "signature/merge_results.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "engine/record_text.h"
#include "engine/scan_log_store.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_record.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr size_t kMaxMftRecordBytes = 4096;

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

bool NtfsDataSector(const ScanRecord& record, SectorReader* source, int32_t sector_size,
                    uint64_t* sector, SectorBlockCache* cache) {
  if (source == nullptr || !source->IsOpen() || sector_size <= 0 || record.cluster_size <= 0) {
    return false;
  }
  const uint32_t sectors = static_cast<uint32_t>(kMaxMftRecordBytes / static_cast<size_t>(sector_size));
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
  const size_t allocated = Le32(bytes.data() + 28);
  if (allocated < 512 || allocated > std::min(available, kMaxMftRecordBytes)) return false;
  std::span<uint8_t> span(bytes.data(), allocated);
  if (!ntfs::HasFileMagic(span) || ntfs::ApplyFixup(span) == ntfs::FixupResult::kBadArray) {
    return false;
  }
  ntfs::MftRecord parsed;
  if (ntfs::ParseMftRecord(span, &parsed) == ntfs::MftRecordVerdict::kNotRecord) return false;
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
    const uint64_t per_cluster = static_cast<uint64_t>(record.cluster_size) /
                                 static_cast<uint64_t>(sector_size);
    *sector = per_cluster * (record.object_id - 2ull) + record.partition_start +
              record.data_area_start;
    return true;
  }
  // A file without a first cluster is keyed 32 sectors before the data area.
  const uint64_t base = record.partition_start + record.data_area_start;
  if (base < 32) return false;
  *sector = base - 32;
  return true;
}

bool SameExtension(std::string_view a, std::string_view b) { return AsciiLower(a) == AsciiLower(b); }

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
    const uint64_t end = std::min<uint64_t>(source->total_sectors,
                                            sector + std::max<uint64_t>(count, kBlockBytes / sector_bytes));
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

int MergeResultsByType(const std::string& filter, IFileRecoveryParse* quick,
                       IFileRecoveryParse* fat_deep, IFileRecoveryParse* ntfs_deep,
                       IFileRecoveryParse* signature, const DataSectorOf& data_sector_of,
                       ScanRecordList* out) {
  const size_t first = out->size();
  for (IFileRecoveryParse* engine : {quick, fat_deep, ntfs_deep}) {
    if (engine != nullptr) engine->GetFilesByType(filter, out);
  }
  ScanRecordList carved;
  if (signature != nullptr) signature->GetFilesByType(filter, &carved);
  // Where each named file's data begins, with its extension. Only files that a carved file
  // could repeat are looked up (each NTFS one costs a read), in the order their records lie.
  std::set<std::string> carved_extensions;
  for (const auto& record : carved) carved_extensions.insert(AsciiLower(ExtensionOf(RecordName(record))));
  if (carved_extensions.count("jpg") != 0) carved_extensions.insert("thm");
  std::vector<size_t> wanted;
  for (size_t i = first; i < out->size(); ++i) {
    if (carved_extensions.count(AsciiLower(ExtensionOf(RecordName((*out)[i])))) != 0) {
      wanted.push_back(i);
    }
  }
  std::stable_sort(wanted.begin(), wanted.end(), [out](size_t a, size_t b) {
    return (*out)[a].location < (*out)[b].location;
  });
  std::multimap<uint64_t, std::string> starts;
  for (size_t i : wanted) {
    uint64_t sector = 0;
    if (data_sector_of && data_sector_of((*out)[i], &sector)) {
      starts.emplace(sector, std::string(ExtensionOf(RecordName((*out)[i]))));
    }
  }
  for (const auto& record : carved) {
    const std::string_view extension = ExtensionOf(RecordName(record));
    bool duplicate = false;
    const auto [begin, end] = starts.equal_range(record.location);
    for (auto it = begin; it != end && !duplicate; ++it) {
      duplicate = SameExtension(it->second, extension) ||
                  (SameExtension(extension, "jpg") && SameExtension(it->second, "thm"));
    }
    if (!duplicate) out->push_back(record);
  }
  if (out->size() - first >= 2) {
    ScanRecordList merged(out->begin() + static_cast<std::ptrdiff_t>(first), out->end());
    SortForListing(&merged);
    std::copy(merged.begin(), merged.end(), out->begin() + static_cast<std::ptrdiff_t>(first));
  }
  return 0;
}

}  // namespace velmora
