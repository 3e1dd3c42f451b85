#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ntfs/data_runs.h"
#include "ntfs/mft_record.h"
#include "ntfs/ntfs_geometry.h"
#include "storage/sector_reader.h"

namespace velmora::ntfs {

// Results of NTFS reads beyond the Win32-style codes.
constexpr int kNtfsNotRecord = -1;           // no "FILE" magic or unusable fix-up array
constexpr int kNtfsAttributeMissing = -100;  // the record has no such attribute
constexpr int kNtfsRunsIncomplete = -102;    // the runs stop before the data's end
constexpr int kNtfsNotNtfs = -103;           // the boot sector is not NTFS

// Read access to one NTFS volume on a drive or image: geometry, byte and
// cluster reads relative to the volume start, and MFT records by number.
// Sector numbers given to and returned from this class are in the reader's
// own sector size (512 for images), like a ScanRecord's location.
class NtfsVolume {
 public:
  NtfsVolume() = default;
  NtfsVolume(const NtfsVolume&) = delete;
  NtfsVolume& operator=(const NtfsVolume&) = delete;

  // Takes the reader, reads the boot sector at `partition_start` and, when
  // `load_mft` is set, the runs of the MFT. `sector_count` 0 means up to the
  // end of the reader.
  int Open(SectorReader reader, uint64_t partition_start, uint64_t sector_count, bool load_mft);
  bool IsOpen() const { return reader_.IsOpen() && geometry_.cluster_size != 0; }
  // The first sector was no NTFS boot sector; the copy in the last sector served.
  bool UsedBackupBoot() const { return used_backup_boot_; }
  // $MFT's own record could not be read; its runs came from $MFTMirr.
  bool UsedMftMirror() const { return used_mft_mirror_; }
  // Copies MFT record `number` from $MFTMirr, for the first records when the MFT's copy
  // cannot be read; false when the mirror does not hold it or cannot be read either.
  bool ReadMirroredRecord(uint64_t number, void* buffer);
  // The name in $Volume (MFT record 3), "" when it has none or cannot be read.
  std::string VolumeLabel();

  const NtfsGeometry& Geometry() const { return geometry_; }
  SectorReader* Reader() { return &reader_; }
  uint64_t PartitionStart() const { return partition_start_; }
  uint64_t SectorCount() const { return sector_count_; }
  uint32_t DeviceSectorSize() const { return device_sector_size_; }
  uint64_t VolumeBytes() const { return sector_count_ * device_sector_size_; }
  uint64_t ClusterCount() const { return VolumeBytes() / geometry_.cluster_size; }
  // The volume's size by its boot sector; more than VolumeBytes() when the source is cut short.
  uint64_t DeclaredBytes() const;
  bool CutShort() const { return DeclaredBytes() > VolumeBytes(); }
  // Clusters data runs may name: those of the volume as its boot sector describes it, so the
  // runs of data past the end of a cut source still decode (and their reads say why they fail).
  uint64_t RunClusterLimit() const;

  // Reads `length` bytes at `offset` bytes from the volume start.
  int ReadVolume(uint64_t offset, void* buffer, size_t length);
  int ReadClusters(uint64_t lcn, uint64_t count, void* buffer);

  // Where MFT record `number` lies, in bytes from the volume start. False when
  // it lies beyond the MFT's known runs.
  bool MftRecordOffset(uint64_t number, uint64_t* offset) const;
  // Absolute sector of record `number` (the location field of a ScanRecord), 0 outside the MFT.
  uint64_t MftRecordToSector(uint64_t number) const;
  // Number of records the MFT's runs hold.
  uint64_t MftRecordCapacity() const;

  // Reads record `number` (or the record at an absolute sector) and loads it
  // (LoadMftRecord): `record` points into `buffer`. kNtfsNotRecord without magic
  // or with a broken fix-up array.
  int ReadMftRecord(uint64_t number, std::vector<uint8_t>* buffer, MftRecord* record);
  int ReadMftRecordAtSector(uint64_t absolute_sector, std::vector<uint8_t>* buffer,
                            MftRecord* record);

  const std::vector<DataRun>& MftRuns() const { return mft_runs_; }
  uint64_t MftDataSize() const { return mft_data_size_; }

 private:
  int LoadMftRuns();

  SectorReader reader_;
  NtfsGeometry geometry_;
  uint64_t partition_start_ = 0;
  uint64_t sector_count_ = 0;
  uint32_t device_sector_size_ = 512;
  std::vector<DataRun> mft_runs_;
  uint64_t mft_data_size_ = 0;
  bool used_backup_boot_ = false;
  bool used_mft_mirror_ = false;
  std::vector<uint8_t> bounce_;
};

}  // namespace velmora::ntfs
