#include "ntfs/quick_ntfs_recovery.h"

#include <algorithm>

#include "ntfs/attribute_stream.h"
#include "ntfs/record_extraction.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"

namespace velmora {

CFastNtfsRecovery::CFastNtfsRecovery() = default;

CFastNtfsRecovery::~CFastNtfsRecovery() {
  if (store_) store_->Close();
}

int CFastNtfsRecovery::OpenOn(SectorReader reader, uint64_t start_sector, uint64_t sector_count,
                              char16_t tag) {
  drive_tag_ = tag;
  return volume_.Open(std::move(reader), start_sector, sector_count, true);
}

int CFastNtfsRecovery::OpenImage(const std::string& image_path, char16_t drive_tag) {
  return OpenImageRegion(image_path, 0, 0, drive_tag);
}

int CFastNtfsRecovery::OpenImageRegion(const std::string& image_path, uint64_t start_sector,
                                       uint64_t sector_count, char16_t drive_tag) {
  SectorReader reader;
  const int rc = OpenImageFile(&reader, image_path);
  if (rc != kSuccess) return rc;
  return OpenOn(std::move(reader), start_sector, sector_count, drive_tag);
}

int CFastNtfsRecovery::OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                                     char16_t drive_letter) {
  SectorReader reader;
  const int rc = OpenPhysicalDrive(&reader, disk_number);
  if (rc != kSuccess) return rc;
  return OpenOn(std::move(reader), start_sector, sector_count, drive_letter);
}

int CFastNtfsRecovery::LoadClusterBitmap() {
  if (!volume_.IsOpen()) return kErrInvalidParameter;
  constexpr uint64_t kBitmapRecord = 6;
  std::vector<uint8_t> buffer;
  ntfs::MftRecord record;
  int rc = volume_.ReadMftRecord(kBitmapRecord, &buffer, &record);
  if (rc != kSuccess) return rc;
  ntfs::NtfsStream stream;
  rc = ntfs::LoadStream(volume_, record, kBitmapRecord, ntfs::kAttrData, "", &stream);
  if (rc == ntfs::kNtfsAttributeMissing) return kErrInvalidParameter;
  if (rc != kSuccess) return rc;
  // One bit per cluster; a larger claim is damage.
  const uint64_t needed = (volume_.RunClusterLimit() + 7) / 8;
  const uint64_t size = std::min<uint64_t>(stream.Size(), needed + 8);
  std::vector<uint8_t> bits;
  bits.reserve(size);
  rc = ntfs::CopyStreamData(volume_, stream, size, [&](const uint8_t* data, size_t n) {
    bits.insert(bits.end(), data, data + n);
    return 0;
  });
  if (rc != kSuccess) return rc;
  bitmap_.Assign(std::move(bits), size);
  return kSuccess;
}

int CFastNtfsRecovery::GetNextFreeRange(uint64_t* position, uint64_t* length) {
  if (!position || !length) return 1;
  const uint64_t sectors_per_cluster =
      std::max<uint64_t>(1, volume_.Geometry().cluster_size / volume_.DeviceSectorSize());
  if (bitmap_.Empty()) {
    // Without a bitmap nothing is known to be free.
    *length = 0;
    *position = volume_.SectorCount();
    return 1;
  }
  bitmap_.NextFreeRange(sectors_per_cluster, volume_.SectorCount(), position, length);
  return 1;
}

bool CFastNtfsRecovery::EstimateOverwrite(const ScanRecord& record, OverwriteEstimate* out) {
  if (record.source_kind != kSourceNtfsQuick && record.source_kind != kSourceNtfsDeep) return false;
  if (record.is_directory || !volume_.IsOpen()) return false;
  if (bitmap_.Empty() && LoadClusterBitmap() != kSuccess) return false;
  ntfs::NtfsStream stream;
  if (ntfs::LoadRecordStream(volume_, record, &stream) != kSuccess) return false;
  *out = OverwriteEstimate{};
  if (stream.resident) return true;  // the data lives in the record itself
  const uint64_t cluster = volume_.Geometry().cluster_size;
  const uint64_t wanted = (record.size + cluster - 1) / cluster;
  // Clusters past the end of a cut source are missing, whatever the bitmap says of them.
  const uint64_t present = volume_.ClusterCount();
  for (const ntfs::DataRun& run : stream.runs) {
    if (run.kind != ntfs::RunKind::kAllocated || run.vcn >= wanted) continue;
    const uint64_t length = std::min(run.length, wanted - run.vcn);
    out->clusters += length;
    for (uint64_t i = 0; i < length; ++i) {
      if (run.lcn + i >= present) {
        ++out->beyond_source;
      } else if (bitmap_.IsAllocated(run.lcn + i)) {
        ++out->in_use;
      }
    }
  }
  return true;
}

RelationKey CFastNtfsRecovery::KeyFor(const ScanRecord* directory, int depth) const {
  if (directory == nullptr) return RelationKey{kRootRecord, 0};
  return StoreBackedEngine::KeyFor(directory, depth);
}

}  // namespace velmora
