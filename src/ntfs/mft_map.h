#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "ntfs/data_runs.h"

namespace velmora::ntfs {

// Where the records of one MFT lie on the device: the runs of a $MFT that was
// found (cluster numbers relative to the volume start), or, for an MFT known
// only from one of its records, a contiguous area from `contiguous_start`.
// All sectors are absolute sectors of the device.
struct MftLayout {
  uint64_t volume_start = 0;
  uint32_t sectors_per_cluster = 0;
  std::vector<DataRun> runs;      // empty: contiguous layout
  uint64_t contiguous_start = 0;  // first sector of a contiguous MFT
  bool from_map = false;          // placed by a $MFT that was found

  // Absolute sector of sector `index` of the MFT; false outside the MFT's runs or in a hole.
  bool MftSectorToDevice(uint64_t index, uint64_t* sector) const;
  // First sector of record `number` with `sectors_per_record` sectors each.
  bool RecordSector(uint64_t number, uint32_t sectors_per_record, uint64_t* sector) const;
  // Identity of the MFT this layout stands for (for de-duplication).
  uint64_t Key() const { return from_map ? volume_start : contiguous_start; }
};

// Layout of an MFT that holds record `number` at `sector` and is contiguous.
// False when the record number places the MFT before sector 0.
bool ContiguousLayout(uint64_t number, uint64_t sector, uint32_t sectors_per_record,
                      uint64_t volume_start, uint32_t sectors_per_cluster, MftLayout* out);

// Every MFT learnt during a deep scan, keyed by the absolute sector of its
// first record. Bounded, so a disk full of "$MFT" look-alikes cannot grow it
// without end: past kMaxEntries new MFTs are ignored (known ones are still replaced).
class MftMap {
 public:
  static constexpr size_t kMaxEntries = 64;
  static constexpr size_t kMaxRunsPerEntry = 8192;

  // Adds or replaces the MFT whose record 0 lies at `mft_start`. The runs must
  // start with an allocated run whose cluster puts the volume start at or
  // after sector 0. False when refused.
  bool Add(uint64_t mft_start, uint32_t sectors_per_cluster, std::vector<DataRun> runs);

  // The MFT (in ascending start order) whose runs put record `number` exactly at `sector`.
  bool Locate(uint64_t number, uint64_t sector, uint32_t sectors_per_record, MftLayout* out) const;

  void Clear() { entries_.clear(); }
  size_t Size() const { return entries_.size(); }
  const std::map<uint64_t, MftLayout>& Entries() const { return entries_; }

 private:
  std::map<uint64_t, MftLayout> entries_;
};

}  // namespace velmora::ntfs
