#include "ntfs/ntfs_volume.h"

#include <algorithm>
#include <cstring>

#include "ntfs/attribute_stream.h"
#include "ntfs/mft_record.h"
#include "storage/error_codes.h"
#include "storage/text_codec.h"

namespace velmora::ntfs {

int NtfsVolume::Open(SectorReader reader, uint64_t partition_start, uint64_t sector_count,
                     bool load_mft) {
  reader_ = std::move(reader);
  device_sector_size_ = reader_.device_sector_size > 0 ? reader_.device_sector_size : 512;
  partition_start_ = partition_start;
  if (partition_start > reader_.total_sectors) return kErrInvalidParameter;
  const uint64_t available = reader_.total_sectors - partition_start;
  sector_count_ = sector_count == 0 ? available : std::min(sector_count, available);
  geometry_ = NtfsGeometry{};
  mft_runs_.clear();
  mft_data_size_ = 0;
  used_mft_mirror_ = false;

  std::vector<uint8_t> boot(std::max<uint32_t>(4096, device_sector_size_));
  size_t length = std::min<uint64_t>(boot.size(), sector_count_ * device_sector_size_);
  if (length < 512) return kErrReadFault;
  int rc = ReadVolume(0, boot.data(), length);
  // Only the boot sector itself is needed: a fault in the sectors after it does not count.
  if (rc != 0) rc = ReadVolume(0, boot.data(), length = 512);
  used_backup_boot_ = false;
  if (rc != 0 || !ParseNtfsBootSector(boot.data(), length, &geometry_)) {
    // A damaged or unreadable first sector: the format keeps a copy in the volume's last sector.
    geometry_ = NtfsGeometry{};
    const uint64_t last = (sector_count_ - 1) * device_sector_size_;
    if (sector_count_ < 2 || ReadVolume(last, boot.data(), device_sector_size_) != 0 ||
        !ParseNtfsBootSector(boot.data(), device_sector_size_, &geometry_) ||
        !IsBackupBootSectorAt(geometry_, last)) {
      geometry_ = NtfsGeometry{};
      return rc != 0 ? rc : kNtfsNotNtfs;
    }
    used_backup_boot_ = true;
  }
  return load_mft ? LoadMftRuns() : 0;
}

uint64_t NtfsVolume::DeclaredBytes() const {
  const uint64_t sectors = geometry_.total_sectors;
  const uint64_t unit = geometry_.bytes_per_sector;
  if (unit == 0 || sectors > UINT64_MAX / unit) return VolumeBytes();
  return std::max(VolumeBytes(), sectors * unit);
}

uint64_t NtfsVolume::RunClusterLimit() const {
  return geometry_.cluster_size == 0 ? 0 : DeclaredBytes() / geometry_.cluster_size;
}

int NtfsVolume::ReadVolume(uint64_t offset, void* buffer, size_t length) {
  if (!reader_.IsOpen()) return kErrInvalidParameter;
  if (offset > VolumeBytes() || length > VolumeBytes() - offset) {
    const uint64_t declared = DeclaredBytes();
    return offset <= declared && length <= declared - offset ? kErrBeyondSourceEnd
                                                             : kErrInvalidParameter;
  }
  const uint64_t ss = device_sector_size_;
  const uint64_t absolute = partition_start_ * ss + offset;
  uint32_t got = 0;
  if (absolute % ss == 0 && length % ss == 0) {
    return ReadSectors(&reader_, static_cast<int32_t>(length / ss), buffer, absolute / ss,
                       static_cast<int32_t>(ss), &got);
  }
  const uint64_t first = absolute / ss;
  const uint64_t last = (absolute + length + ss - 1) / ss;
  bounce_.resize((last - first) * ss);
  const int rc = ReadSectors(&reader_, static_cast<int32_t>(last - first), bounce_.data(), first,
                             static_cast<int32_t>(ss), &got);
  if (rc != 0) return rc;
  std::memcpy(buffer, bounce_.data() + (absolute - first * ss), length);
  return 0;
}

int NtfsVolume::ReadClusters(uint64_t lcn, uint64_t count, void* buffer) {
  const uint64_t cs = geometry_.cluster_size;
  if (count == 0) return 0;
  const uint64_t limit = RunClusterLimit();
  if (lcn > limit || count > limit - lcn) return kErrInvalidParameter;
  return ReadVolume(lcn * cs, buffer, static_cast<size_t>(count * cs));
}

bool NtfsVolume::MftRecordOffset(uint64_t number, uint64_t* offset) const {
  const uint64_t cs = geometry_.cluster_size;
  const uint64_t rs = geometry_.mft_record_size;
  if (cs == 0) return false;
  const uint64_t byte_in_mft = number * rs;
  if (number != 0 && byte_in_mft / number != rs) return false;
  const uint64_t vcn = byte_in_mft / cs;
  auto it = std::upper_bound(mft_runs_.begin(), mft_runs_.end(), vcn,
                             [](uint64_t v, const DataRun& r) { return v < r.vcn; });
  if (it == mft_runs_.begin()) return false;
  const DataRun& run = *(it - 1);
  if (vcn >= run.vcn + run.length || run.kind == RunKind::kSparse) return false;
  // A record larger than a cluster must not cross into another run.
  if (rs > cs && (vcn - run.vcn) * cs + rs > run.length * cs) return false;
  *offset = (run.lcn + (vcn - run.vcn)) * cs + byte_in_mft % cs;
  return *offset + rs <= VolumeBytes();
}

uint64_t NtfsVolume::MftRecordToSector(uint64_t number) const {
  uint64_t offset = 0;
  if (!MftRecordOffset(number, &offset)) return 0;
  return partition_start_ + offset / device_sector_size_;
}

uint64_t NtfsVolume::MftRecordCapacity() const {
  const uint64_t from_runs = TotalClusters(mft_runs_) * geometry_.cluster_size;
  const uint64_t bytes = mft_data_size_ != 0 ? std::min(mft_data_size_, from_runs) : from_runs;
  return geometry_.mft_record_size ? bytes / geometry_.mft_record_size : 0;
}

namespace {

// The record's spans point into `buffer`, which the caller keeps.
int LoadRecord(std::vector<uint8_t>* buffer, MftRecord* record) {
  const MftRecordVerdict verdict = LoadMftRecord(*buffer, record);
  return verdict == MftRecordVerdict::kNotRecord || verdict == MftRecordVerdict::kBadFixup
             ? kNtfsNotRecord
             : 0;
}

}  // namespace

int NtfsVolume::ReadMftRecord(uint64_t number, std::vector<uint8_t>* buffer, MftRecord* record) {
  uint64_t offset = 0;
  if (!MftRecordOffset(number, &offset)) return kNtfsNotRecord;
  buffer->resize(geometry_.mft_record_size);
  const int rc = ReadVolume(offset, buffer->data(), buffer->size());
  if (rc != 0) return ReadMirroredRecord(number, buffer->data()) ? LoadRecord(buffer, record) : rc;
  return LoadRecord(buffer, record);
}

bool NtfsVolume::ReadMirroredRecord(uint64_t number, void* buffer) {
  // $MFTMirr copies at least the first four records (one cluster when records are smaller).
  const uint64_t rs = geometry_.mft_record_size;
  const uint64_t mirrored = std::max<uint64_t>(4, rs ? geometry_.cluster_size / rs : 0);
  if (number >= mirrored || geometry_.mft_mirror_cluster == 0) return false;
  const uint64_t cs = geometry_.cluster_size;
  if (geometry_.mft_mirror_cluster > VolumeBytes() / std::max<uint64_t>(1, cs)) return false;
  return ReadVolume(geometry_.mft_mirror_cluster * cs + number * rs, buffer, rs) == 0;
}

int NtfsVolume::ReadMftRecordAtSector(uint64_t absolute_sector, std::vector<uint8_t>* buffer,
                                      MftRecord* record) {
  if (absolute_sector < partition_start_) return kErrInvalidParameter;
  buffer->resize(geometry_.mft_record_size);
  const int rc = ReadVolume((absolute_sector - partition_start_) * device_sector_size_,
                            buffer->data(), buffer->size());
  if (rc != 0) return rc;
  return LoadRecord(buffer, record);
}

std::string NtfsVolume::VolumeLabel() {
  constexpr uint64_t kVolumeRecord = 3;
  std::vector<uint8_t> buffer;
  MftRecord record;
  if (ReadMftRecord(kVolumeRecord, &buffer, &record) != 0) return {};
  const MftAttribute* name = record.Find(kAttrVolumeName);
  if (name == nullptr || name->non_resident) return {};
  return Utf16LeToUtf8(name->value.data(), name->value.size() / 2);
}

int NtfsVolume::LoadMftRuns() {
  const uint64_t cs = geometry_.cluster_size;
  std::vector<uint8_t> buffer(geometry_.mft_record_size);
  MftRecord record;
  int rc = ReadVolume(geometry_.mft_first_cluster * cs, buffer.data(), buffer.size());
  if (rc == 0) rc = LoadRecord(&buffer, &record);
  if (rc != 0) {
    // $MFT's own record lost: $MFTMirr holds a copy of the first records.
    used_mft_mirror_ =
        ReadVolume(geometry_.mft_mirror_cluster * cs, buffer.data(), buffer.size()) == 0 &&
        LoadRecord(&buffer, &record) == 0;
    if (!used_mft_mirror_) return rc;
  }
  const MftAttribute* data = record.Find(kAttrData, true);
  if (!data || !data->non_resident) return kNtfsAttributeMissing;
  // The first extent locates the early records, where any extension records of $MFT live.
  DecodeDataRuns(data->mapping_pairs, data->start_vcn, RunClusterLimit(), &mft_runs_);
  mft_data_size_ = data->start_vcn == 0 ? data->real_size : 0;
  if (mft_runs_.empty()) return kNtfsRunsIncomplete;
  if (!record.Find(kAttrAttributeList)) return 0;
  NtfsStream stream;
  if (LoadStream(*this, record, 0, kAttrData, "", &stream) == 0 && !stream.runs.empty()) {
    mft_runs_ = std::move(stream.runs);
    if (stream.real_size != 0) mft_data_size_ = stream.real_size;
  }
  return 0;
}

}  // namespace velmora::ntfs
