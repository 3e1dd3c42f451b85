// The deep NTFS engine: records handed over by the combined scan, placed in
// the MFT they belong to, with their folders written after the pass.
#include "ntfs/deep_ntfs_recovery.h"
#include "ntfs/record_times.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "engine/record_text.h"
#include "ntfs/attribute_list.h"
#include "ntfs/cluster_estimate.h"
#include "ntfs/content_check.h"
#include "ntfs/deep_data_copy.h"
#include "ntfs/ntfs_geometry.h"
#include "ntfs/ntfs_volume.h"
#include "storage/byte_view.h"
#include "storage/error_codes.h"

namespace velmora {

using namespace ntfs;

namespace {

// Records 1-11 are the volume's own metadata files; 11 is $Extend, whose
// entries ($Quota, $ObjId, $Reparse, $UsnJrnl) are metadata too.
constexpr uint32_t kLastSystemRecord = 11;
constexpr uint32_t kExtendRecord = 11;
constexpr size_t kBootAreaBytes = 4096;
constexpr size_t kLinkCacheLimit = 1u << 16;
// An attribute list of a heavily fragmented file stays far below these.
constexpr size_t kMaxListedExtents = 4096;

uint32_t OwnNumber(std::span<const uint8_t> record) {
  return ByteView(record).Le32(0x2C).value_or(0);
}

}  // namespace

CProfessionalNtfsRecovery::CProfessionalNtfsRecovery() = default;

CProfessionalNtfsRecovery::~CProfessionalNtfsRecovery() {
  if (store_) store_->Close();
}

int CProfessionalNtfsRecovery::OpenImage(const std::string& image_path, char16_t drive_tag) {
  return OpenImageRegion(image_path, 0, 0, drive_tag);
}

int CProfessionalNtfsRecovery::OpenImageRegion(const std::string& image_path, uint64_t start_sector,
                                               uint64_t sector_count, char16_t drive_tag) {
  SectorReader reader;
  const int rc = OpenImageFile(&reader, image_path);
  if (rc != kSuccess) return rc;
  return OpenOn(std::move(reader), start_sector, sector_count, drive_tag,
                [image_path](SectorReader* r) { return OpenImageFile(r, image_path); });
}

int CProfessionalNtfsRecovery::OpenPartition(int disk_number, uint64_t start_sector,
                                             uint64_t sector_count, char16_t drive_letter) {
  SectorReader reader;
  const int rc = OpenPhysicalDrive(&reader, disk_number);
  if (rc != kSuccess) return rc;
  return OpenOn(std::move(reader), start_sector, sector_count, drive_letter,
                [disk_number](SectorReader* r) { return OpenPhysicalDrive(r, disk_number); });
}

int CProfessionalNtfsRecovery::OpenOn(SectorReader reader, uint64_t start_sector,
                                      uint64_t sector_count, char16_t tag,
                                      const std::function<int(SectorReader*)>& reopen) {
  reader_ = std::move(reader);
  drive_tag_ = tag;
  sector_bytes_ = reader_.device_sector_size > 0 ? reader_.device_sector_size : 512;
  if (start_sector > reader_.total_sectors) return kErrInvalidParameter;
  partition_start_ = start_sector;
  const uint64_t available = reader_.total_sectors - start_sector;
  sector_count_ = sector_count == 0 ? available : std::min(sector_count, available);
  record_bytes_ = sector_bytes_ == 512 ? 1024 : sector_bytes_;
  sectors_per_record_ = record_bytes_ / sector_bytes_;
  cluster_estimate_ = DefaultSectorsPerCluster(sector_count_, sector_bytes_);
  mft_map_.Clear();
  layouts_.clear();
  layout_index_.clear();
  parents_.clear();
  parent_seen_.clear();
  foreign_ids_.clear();
  next_foreign_id_ = kForeignIdBase;
  link_cache_.clear();
  LearnBootSector(reopen);
  return kSuccess;
}

// A boot sector at the partition start gives the record size, the cluster
// size and the volume's own MFT, the first entry of the map.
void CProfessionalNtfsRecovery::LearnBootSector(const std::function<int(SectorReader*)>& reopen) {
  const uint64_t sectors = std::min<uint64_t>(sector_count_, kBootAreaBytes / sector_bytes_);
  if (sectors == 0) return;
  std::vector<uint8_t> boot(sectors * sector_bytes_);
  uint32_t got = 0;
  if (ReadSectors(&reader_, static_cast<int32_t>(sectors), boot.data(), partition_start_,
                  static_cast<int32_t>(sector_bytes_), &got) != kSuccess ||
      boot.size() < 512 || !IsNtfsBootSector(boot.data())) {
    return;
  }
  NtfsGeometry geometry;
  if (!ParseNtfsBootSector(boot.data(), boot.size(), &geometry)) return;
  if (geometry.mft_record_size >= sector_bytes_ && geometry.mft_record_size % sector_bytes_ == 0) {
    record_bytes_ = geometry.mft_record_size;
    sectors_per_record_ = record_bytes_ / sector_bytes_;
  }
  if (geometry.cluster_size % sector_bytes_ != 0) return;
  const uint32_t sectors_per_cluster = geometry.cluster_size / sector_bytes_;
  cluster_estimate_ = sectors_per_cluster;
  // The volume reader follows the MFT's attribute list, so the whole MFT is mapped.
  SectorReader second;
  if (reopen(&second) != kSuccess) return;
  NtfsVolume volume;
  if (volume.Open(std::move(second), partition_start_, sector_count_, true) != kSuccess) return;
  if (geometry.mft_first_cluster > (UINT64_MAX - partition_start_) / sectors_per_cluster) return;
  const uint64_t mft_start = partition_start_ + geometry.mft_first_cluster * sectors_per_cluster;
  mft_map_.Add(mft_start, sectors_per_cluster, volume.MftRuns());
}

int CProfessionalNtfsRecovery::OpenDeepLog(const char* log_name) {
  parents_.clear();
  parent_seen_.clear();
  link_cache_.clear();
  if (store_) store_->Close();
  store_ = std::make_unique<ScanLogStore>();
  store_->SetListingCallback(listing_progress_, listing_context_);
  if (!log_name) {
    return store_->Open(FormatLogName("Pro_Ntfs_", static_cast<int64_t>(partition_start_)));
  }
  const int rc = store_->Open(log_name);
  if (store_->IsOpen()) RememberWrittenFolders();
  return rc;
}

// A resumed scan goes on with the folders the earlier part already wrote: they
// are not written twice, and files found now are registered under the same ids.
void CProfessionalNtfsRecovery::RememberWrittenFolders() {
  std::vector<uint8_t> buffer;
  for (const DirectoryEntry& folder : store_->Directories()) {
    const uint32_t id = folder.object_id;  // copies: the entry is packed
    const uint32_t index = folder.record_index;
    parent_seen_.insert(id);
    if (id < kForeignIdBase) continue;
    ScanRecord record;
    MftRecordHeader header;
    if (store_->ReadRecord(index, &record) != kSuccess || record.location == 0 ||
        ReadRecordAtSector(record.location, &buffer) != kSuccess ||
        !ParseMftRecordHeader(buffer, &header)) {
      continue;
    }
    const uint64_t volume_start = record.partition_start;
    foreign_ids_.emplace(std::make_pair(volume_start, OwnNumber(buffer)), id);
    next_foreign_id_ = std::max(next_foreign_id_, id + 1);
  }
}

int CProfessionalNtfsRecovery::HandleFileRecord(std::span<const uint8_t> record, uint64_t sector,
                                                RecordPass pass, uint32_t forced_number) {
  if (record.size() < record_bytes_) return kErrInvalidParameter;
  std::vector<uint8_t> copy(record.begin(), record.begin() + record_bytes_);
  return HandleRecord(copy, sector, pass, forced_number, nullptr);
}

ScanRecord CProfessionalNtfsRecovery::NewRecord() const {
  ScanRecord r{};
  r.drive_tag = static_cast<uint16_t>(drive_tag_);
  r.source_kind = kSourceNtfsDeep;
  r.content_check = 1;
  return r;
}

void CProfessionalNtfsRecovery::WriteLostFolder(uint32_t number, uint32_t layout) {
  const uint32_t id = StoreIdOf(number, layout);
  ScanRecord r = NewRecord();
  r.is_directory = 1;
  r.object_id = id;
  r.cluster_size = static_cast<int32_t>(cluster_estimate_ * sector_bytes_);
  char name[32];
  std::snprintf(name, sizeof(name), "LostFolder%u", number);
  SetRecordName(&r, name);
  store_->AppendRecord(&r);
  store_->AddRelation(kRootRecord, 0, r.record_index, id, r.name);
}

int CProfessionalNtfsRecovery::HandleRecord(std::span<uint8_t> bytes, uint64_t sector,
                                            RecordPass pass, uint32_t forced_number,
                                            const ParentEntry* entry) {
  if (!store_) return kErrInvalidParameter;
  const bool second = pass == RecordPass::kSecond;
  // In the second pass the record stands for folder `forced_number`: whatever
  // is wrong with it, the files registered under that folder need a home.
  auto lost = [&](int result) {
    if (second) {
      const uint32_t number = forced_number != 0 ? forced_number : OwnNumber(bytes);
      uint32_t layout = entry ? entry->layout : 0;
      if (!entry) {
        Placement placement;
        if (!PlaceRecord(number, sector, &placement)) return result;
        layout = placement.layout;
      }
      WriteLostFolder(number, layout);
    }
    return result;
  };

  MftRecord record;  // a broken chain keeps the attributes before the fault
  const MftRecordVerdict verdict = LoadMftRecord(bytes, &record);
  if (verdict == MftRecordVerdict::kNotRecord) return lost(kNtfsNotRecord);
  const MftRecordHeader& header = record.header;
  if (!second && header.IsDirectory()) return kSuccess;
  if (verdict == MftRecordVerdict::kBadFixup) return lost(kNtfsNotRecord);
  if (record_bytes_ < header.bytes_in_use || record_bytes_ < header.first_attribute ||
      header.bytes_in_use < header.first_attribute) {
    return lost(kErrInvalidParameter);
  }
  const uint32_t own = OwnNumber(bytes);
  if (second && (!header.IsDirectory() || (forced_number != 0 && own != forced_number))) {
    return lost(kSuccess);
  }
  FileNameAttribute name;
  bool named = PreferredFileName(record, &name);

  if (!second && own == 0) {
    if (named && strcasecmp(name.name.c_str(), "$MFT") == 0) LearnMft(record, sector);
    return kSuccess;
  }
  if (own <= kLastSystemRecord) return second ? lost(kSuccess) : kSuccess;
  // Extension records are read through their base record.
  if (record.header.base_record != 0) return second ? lost(kSuccess) : kSuccess;
  const bool listed = record.Find(kAttrAttributeList) != nullptr;
  if (!named && !listed) return second ? lost(kSuccess) : kSuccess;

  Placement placement;
  bool placed = false;
  if (entry) {
    placement.layout = entry->layout;
    placed = true;
  } else {
    placed = PlaceRecord(own, sector, &placement);
  }
  const uint32_t from_record = SectorsPerClusterFromRecord(record, sector_bytes_);
  if (from_record != 0) cluster_estimate_ = from_record;
  uint32_t sectors_per_cluster = from_record != 0 ? from_record : cluster_estimate_;
  uint64_t volume_start = partition_start_;
  if (placed) {
    const MftLayout& layout = layouts_[placement.layout];
    volume_start = layout.volume_start;
    if (layout.from_map) sectors_per_cluster = layout.sectors_per_cluster;
  }
  const VolumeWindow volume{&reader_, volume_start, sector_bytes_,
                            sectors_per_cluster * sector_bytes_};
  // With many names or streams the names may have moved to extension records.
  if (!named && placed) {
    named = ListedFileName(record, own, layouts_[placement.layout], volume, &name);
  }
  if (!named) return second ? lost(kSuccess) : kSuccess;
  if (!second && placed && UnderExtend(name.parent_record, placement.layout)) return kSuccess;

  uint64_t size = name.real_size;
  uint32_t check = 1;
  if (!second && placed) {
    NtfsStream stream;
    if (LoadDeepStream(record, own, layouts_[placement.layout], volume, &stream) == kSuccess) {
      size = stream.Size();
      check = StreamContentCheck(stream, ExtensionOf(name.name), PlaceOf(volume));
    }
  }
  const uint32_t object_id = second ? StoreIdOf(own, placement.layout) : own;

  ScanRecord found = NewRecord();
  ScanRecord* r = &found;
  r->is_directory = second ? 1 : 0;
  // In use within an MFT that was found: an existing file. In use elsewhere (a record outside
  // every known MFT, an MFT formatted over): whether it exists cannot be told.
  if (!second && header.InUse()) {
    const bool in_known_mft = placed && layouts_[placement.layout].from_map;
    r->deleted_directory_mark = in_known_mft ? kMarkExisting : kMarkEntryUnknown;
  }
  r->content_check = check;
  r->object_id = object_id;
  r->cluster_size = static_cast<int32_t>(sectors_per_cluster * sector_bytes_);
  RecordTimesEntry times = ApplyFileTimes(record, name, r);
  r->size = size;
  r->location = sector;
  r->partition_start = volume_start;
  SetRecordName(r, name.name);
  store_->AppendRecord(r);
  const uint32_t index = r->record_index;
  times.record_index = index;
  store_->AddTimes(times);
  std::string directory_name;
  if (second) directory_name = r->name;

  uint32_t depth = 0;
  uint32_t parent_id = kRootRecord;
  const uint64_t parent = name.parent_record;
  if (placed && parent != kRootRecord && parent <= UINT32_MAX && parent != own) {
    const uint32_t candidate = StoreIdOf(static_cast<uint32_t>(parent), placement.layout);
    // With the parent list full a new folder could never be written: keep the file in the root.
    if (parent_seen_.count(candidate) != 0 || parents_.size() < kMaxParentEntries) {
      parent_id = candidate;
      WalkParentChainDeep(parent, placement.layout, &depth);
    }
  }
  store_->AddRelation(parent_id, depth, index, object_id,
                      second ? directory_name.c_str() : nullptr);
  return kSuccess;
}

void CProfessionalNtfsRecovery::LearnMft(const MftRecord& record, uint64_t sector) {
  const MftAttribute* data = record.Find(kAttrData, true);
  if (!data || !data->non_resident || data->start_vcn != 0) return;
  uint32_t sectors_per_cluster = SectorsPerClusterFromRecord(record, sector_bytes_);
  if (sectors_per_cluster == 0) sectors_per_cluster = cluster_estimate_;
  std::vector<DataRun> runs;
  const uint64_t device_clusters = reader_.total_sectors / sectors_per_cluster;
  // Only the runs held in this record: with an attribute list the later
  // extents are not followed, and records there are placed as contiguous.
  DecodeDataRuns(data->mapping_pairs, 0, device_clusters, &runs);
  mft_map_.Add(sector, sectors_per_cluster, std::move(runs));
}

bool CProfessionalNtfsRecovery::AddLayout(MftLayout layout, uint32_t* index) {
  const std::pair<bool, uint64_t> key{layout.from_map, layout.Key()};
  const auto it = layout_index_.find(key);
  if (it != layout_index_.end()) {
    *index = it->second;
    return true;
  }
  if (layouts_.size() >= kMaxLayouts) return false;
  *index = static_cast<uint32_t>(layouts_.size());
  layouts_.push_back(std::move(layout));
  layout_index_[key] = *index;
  return true;
}

bool CProfessionalNtfsRecovery::PlaceRecord(uint32_t number, uint64_t sector, Placement* out) {
  MftLayout layout;
  if (!mft_map_.Locate(number, sector, sectors_per_record_, &layout) &&
      !ContiguousLayout(number, sector, sectors_per_record_, partition_start_, cluster_estimate_,
                        &layout)) {
    return false;
  }
  return AddLayout(std::move(layout), &out->layout);
}

uint32_t CProfessionalNtfsRecovery::StoreIdOf(uint32_t number, uint32_t layout) {
  if (number == kRootRecord || layout >= layouts_.size()) return number;
  const uint64_t volume_start = layouts_[layout].volume_start;
  if (volume_start == partition_start_) return number;
  const auto key = std::make_pair(volume_start, number);
  const auto it = foreign_ids_.find(key);
  if (it != foreign_ids_.end()) return it->second;
  if (foreign_ids_.size() >= kMaxParentEntries || next_foreign_id_ == UINT32_MAX) return number;
  const uint32_t id = next_foreign_id_++;
  foreign_ids_[key] = id;
  return id;
}

void CProfessionalNtfsRecovery::AddParent(uint32_t number, uint32_t layout) {
  const uint32_t id = StoreIdOf(number, layout);
  if (parent_seen_.count(id) != 0 || parents_.size() >= kMaxParentEntries) return;
  parent_seen_.insert(id);
  parents_.push_back({number, layout, id});
}

int CProfessionalNtfsRecovery::WalkParentChainDeep(uint64_t parent, uint32_t layout,
                                                   uint32_t* depth) {
  std::unordered_set<uint64_t> visited;
  uint64_t current = parent;
  while (current != kRootRecord && current <= UINT32_MAX && *depth < kMaxParentDepth) {
    visited.insert(current);
    AddParent(static_cast<uint32_t>(current), layout);
    ++*depth;
    const DirectoryLink link = ReadDirectoryLink(static_cast<uint32_t>(current), layout);
    if (link.result != kSuccess) return link.result;
    if (!link.is_directory || link.own_number != current) return kSuccess;
    // A loop of parent references ends here.
    if (visited.count(link.parent) != 0) return kSuccess;
    current = link.parent;
  }
  return kSuccess;
}

bool CProfessionalNtfsRecovery::UnderExtend(uint64_t parent, uint32_t layout) {
  std::unordered_set<uint64_t> visited;
  for (uint64_t current = parent; current != kRootRecord && current <= UINT32_MAX;) {
    if (current == kExtendRecord) return true;
    if (!visited.insert(current).second || visited.size() > kMaxParentDepth) return false;
    const DirectoryLink link = ReadDirectoryLink(static_cast<uint32_t>(current), layout);
    if (link.result != kSuccess || !link.is_directory || link.own_number != current) return false;
    current = link.parent;
  }
  return false;
}

int CProfessionalNtfsRecovery::ReadRecordAt(const MftLayout& layout, uint64_t number,
                                            std::vector<uint8_t>* buffer) {
  buffer->resize(record_bytes_);
  const uint64_t first = number * sectors_per_record_;
  // Sector by sector: a record may straddle two runs of a fragmented MFT.
  for (uint32_t i = 0; i < sectors_per_record_; ++i) {
    uint64_t sector = 0;
    if (!layout.MftSectorToDevice(first + i, &sector)) return kNtfsNotRecord;
    uint32_t got = 0;
    const int rc = ReadSectors(&reader_, 1, buffer->data() + static_cast<size_t>(i) * sector_bytes_,
                               sector, static_cast<int32_t>(sector_bytes_), &got);
    if (rc != kSuccess) return rc;
  }
  return kSuccess;
}

int CProfessionalNtfsRecovery::ReadRecordAtSector(uint64_t sector, std::vector<uint8_t>* buffer) {
  buffer->resize(record_bytes_);
  uint32_t got = 0;
  return ReadSectors(&reader_, static_cast<int32_t>(sectors_per_record_), buffer->data(), sector,
                     static_cast<int32_t>(sector_bytes_), &got);
}

CProfessionalNtfsRecovery::DirectoryLink CProfessionalNtfsRecovery::ReadDirectoryLink(
    uint32_t number, uint32_t layout) {
  DirectoryLink link;
  uint64_t sector = 0;
  if (!layouts_[layout].RecordSector(number, sectors_per_record_, &sector)) {
    link.result = kNtfsNotRecord;
    return link;
  }
  const auto cached = link_cache_.find(sector);
  if (cached != link_cache_.end()) return cached->second;
  std::vector<uint8_t> buffer;
  link.result = ReadRecordAt(layouts_[layout], number, &buffer);
  MftRecord record;
  const MftRecordHeader& header = record.header;
  if (link.result == kSuccess) {
    const MftRecordVerdict verdict = LoadMftRecord(buffer, &record);
    if (verdict == MftRecordVerdict::kNotRecord || verdict == MftRecordVerdict::kBadFixup) {
      link.result = kNtfsNotRecord;
    } else if (record_bytes_ < header.bytes_in_use || record_bytes_ < header.first_attribute ||
               header.bytes_in_use < header.first_attribute) {
      link.result = kErrInvalidParameter;
    }
  }
  if (link.result == kSuccess && header.IsDirectory()) {
    link.is_directory = true;
    link.own_number = OwnNumber(buffer);
    FileNameAttribute name;
    if (PreferredFileName(record, &name)) {
      link.parent = name.parent_record;
    } else {
      link.is_directory = false;  // nothing leads further up
    }
  }
  if (link_cache_.size() >= kLinkCacheLimit) link_cache_.clear();
  link_cache_[sector] = link;
  return link;
}

bool CProfessionalNtfsRecovery::LayoutForRecord(uint32_t number, uint64_t sector,
                                                MftLayout* out) const {
  return mft_map_.Locate(number, sector, sectors_per_record_, out) ||
         ContiguousLayout(number, sector, sectors_per_record_, partition_start_, cluster_estimate_,
                          out);
}

std::vector<AttributeListEntry> CProfessionalNtfsRecovery::ListEntriesOf(
    const MftRecord& base, const VolumeWindow& volume) {
  std::vector<AttributeListEntry> entries;
  const MftAttribute* list = base.Find(kAttrAttributeList);
  if (!list) return entries;
  std::vector<uint8_t> bytes;
  if (!list->non_resident) {
    bytes.assign(list->value.begin(), list->value.end());
  } else {
    NtfsStream stream;
    AddStreamExtent(*list, volume.ClusterLimit(), &stream);
    CopyDeepStream(volume, stream, kMaxAttributeListBytes, [&](const uint8_t* data, size_t n) {
      bytes.insert(bytes.end(), data, data + n);
      return 0;
    });
  }
  ParseAttributeList(bytes, &entries);
  return entries;
}

bool CProfessionalNtfsRecovery::ReadExtension(const MftLayout& layout, uint64_t number,
                                              uint32_t base, std::vector<uint8_t>* buffer,
                                              MftRecord* out) {
  if (number == base || ReadRecordAt(layout, number, buffer) != kSuccess) return false;
  const MftRecordVerdict verdict = LoadMftRecord(*buffer, out);
  return verdict != MftRecordVerdict::kNotRecord && verdict != MftRecordVerdict::kBadFixup &&
         out->header.bytes_in_use <= record_bytes_ && out->header.base_record == base;
}

bool CProfessionalNtfsRecovery::ListedFileName(const MftRecord& base, uint32_t number,
                                               const MftLayout& layout, const VolumeWindow& volume,
                                               FileNameAttribute* name) {
  std::vector<uint8_t> buffer;
  MftRecord extension;
  std::set<uint64_t> read;
  for (const AttributeListEntry& entry : ListEntriesOf(base, volume)) {
    if (entry.type != kAttrFileName || !read.insert(entry.record).second) continue;
    if (read.size() > kMaxListedExtents) break;
    if (ReadExtension(layout, entry.record, number, &buffer, &extension) &&
        PreferredFileName(extension, name)) {
      if (name->name_space != kNameDos) return true;
    }
  }
  return !read.empty() && !name->name.empty();
}

int CProfessionalNtfsRecovery::LoadDeepStream(const MftRecord& base, uint32_t number,
                                              const MftLayout& layout, const VolumeWindow& volume,
                                              NtfsStream* out) {
  *out = NtfsStream{};
  std::set<uint64_t> extents;
  for (const MftAttribute& a : base.attributes) {
    if (a.type != kAttrData || a.IsNamed()) continue;
    if (!extents.insert(a.non_resident ? a.start_vcn : 0).second) continue;
    AddStreamExtent(a, volume.ClusterLimit(), out);
  }
  if (!base.Find(kAttrAttributeList)) return extents.empty() ? kNtfsAttributeMissing : kSuccess;
  std::vector<uint8_t> buffer;
  MftRecord extension;
  size_t followed = 0;
  for (const AttributeListEntry& entry : ListEntriesOf(base, volume)) {
    if (entry.type != kAttrData || !entry.name.empty() || entry.record == number) continue;
    if (extents.count(entry.start_vcn) != 0) continue;
    // An attribute list names each extent once; more is damage.
    if (++followed > kMaxListedExtents) break;
    if (!ReadExtension(layout, entry.record, number, &buffer, &extension)) {
      out->runs_complete = false;
      continue;
    }
    for (const MftAttribute& a : extension.attributes) {
      if (a.type != kAttrData || a.IsNamed() ||
          (a.non_resident ? a.start_vcn : 0) != entry.start_vcn) {
        continue;
      }
      AddStreamExtent(a, volume.ClusterLimit(), out);
      extents.insert(entry.start_vcn);
      break;
    }
  }
  return extents.empty() ? kNtfsAttributeMissing : kSuccess;
}

// Every folder a file was registered under gets a record: its own when it can
// be read as a folder, a lost folder otherwise. So per-folder faults are not
// the phase's result; only a failure to write the log is.
int CProfessionalNtfsRecovery::FinishDirectories() {
  if (!store_) return kErrInvalidParameter;
  std::vector<uint8_t> buffer;
  // Entries added while folders are written are handled too.
  for (size_t i = 0; i < parents_.size(); ++i) {
    const ParentEntry entry = parents_[i];
    const MftLayout& layout = layouts_[entry.layout];
    uint64_t sector = 0;
    const bool mapped = layout.RecordSector(entry.number, sectors_per_record_, &sector);
    if (!mapped || ReadRecordAt(layout, entry.number, &buffer) != kSuccess) {
      WriteLostFolder(entry.number, entry.layout);
      continue;
    }
    HandleRecord(buffer, sector, RecordPass::kSecond, entry.number, &entry);
  }
  return store_->Flush();
}

int CProfessionalNtfsRecovery::Scan(const char*) { return kSuccess; }
int CProfessionalNtfsRecovery::GetNextFreeRange(uint64_t*, uint64_t*) { return 0; }
int CProfessionalNtfsRecovery::LoadClusterBitmap() { return kSuccess; }

RelationKey CProfessionalNtfsRecovery::KeyFor(const ScanRecord* directory, int depth) const {
  if (directory == nullptr) return RelationKey{kRootRecord, 0};
  return StoreBackedEngine::KeyFor(directory, depth);
}

}  // namespace velmora
