#pragma once

#include <cstdint>
#include <vector>

#include "fat/fat_boot_geometry.h"
#include "fat/fat_volume.h"
#include "storage/byte_view.h"
#include "storage/error_codes.h"

namespace velmora {

// The first file allocation table, read through a window of at most 16 MiB
// that is refilled only when a lookup falls outside it. FAT12, FAT16 and FAT32
// entries; FAT32 values are reduced to their 28 significant bits.
class FatTable {
 public:
  static constexpr uint32_t kWindowBytes = 0x1000000;

  FatTable() = default;
  FatTable(const FatVolume* volume, const FatGeometry& geometry) { Attach(volume, geometry); }
  void Attach(const FatVolume* volume, const FatGeometry& geometry);

  // Entry of `cluster` (2 .. cluster_count + 1, or 0 and 1 for the reserved
  // entries). 87 for a cluster outside the table, 30 when the FAT cannot be read.
  int Entry(uint32_t cluster, uint32_t* value) {
    // Walks of the whole table ask this for every cluster: an entry inside the window is
    // answered here, without a call.
    uint64_t offset = 0;
    uint32_t width = 0;
    if (volume_ != nullptr && Place(cluster, &offset, &width) && offset >= window_offset_ &&
        offset + width <= window_offset_ + window_.size()) {
      *value = Decode(cluster, ByteView(window_).Sub(offset - window_offset_, width));
      return kSuccess;
    }
    return EntryAnyWay(cluster, value);
  }

  bool IsFree(uint32_t value) const { return value == 0; }
  bool IsEndOfChain(uint32_t value) const { return value >= end_marker_; }
  bool IsBad(uint32_t value) const { return value == end_marker_ - 1; }
  // A value that names another data cluster of this volume.
  bool IsLink(uint32_t value) const { return geometry_.IsDataCluster(value); }

  const FatGeometry& Geometry() const { return geometry_; }
  // Sectors of the first table that could not be read and were taken from another copy.
  uint64_t SectorsFromCopy() const { return sectors_from_copy_; }

 private:
  int LoadWindowAt(uint64_t byte_offset);
  int EntryAnyWay(uint32_t cluster, uint32_t* value);
  // Where the entry of `cluster` lies in the FAT and how many bytes it spans; false for a
  // cluster outside the table.
  bool Place(uint32_t cluster, uint64_t* offset, uint32_t* width) const {
    if (cluster >= 2 && !geometry_.IsDataCluster(cluster)) return false;
    switch (geometry_.type) {
      case FatType::kFat12:
        *offset = cluster + cluster / 2;
        *width = 2;
        break;
      case FatType::kFat16:
        *offset = static_cast<uint64_t>(cluster) * 2;
        *width = 2;
        break;
      case FatType::kFat32:
        *offset = static_cast<uint64_t>(cluster) * 4;
        *width = 4;
        break;
    }
    return *offset + *width <= fat_bytes_;
  }
  // The value of the entry of `cluster`, whose bytes start at `p`.
  uint32_t Decode(uint32_t cluster, ByteView entry) const {
    switch (geometry_.type) {
      case FatType::kFat12: {
        const uint32_t raw = entry.Le16(0).value_or(0);
        return (cluster & 1) ? raw >> 4 : raw & 0x0FFF;
      }
      case FatType::kFat16: return entry.Le16(0).value_or(0);
      case FatType::kFat32: break;
    }
    return entry.Le32(0).value_or(0) & 0x0FFFFFFF;
  }

  const FatVolume* volume_ = nullptr;
  FatGeometry geometry_;
  uint32_t end_marker_ = 0xFFF8;
  uint64_t fat_bytes_ = 0;
  std::vector<uint8_t> window_;
  uint64_t window_offset_ = 0;  // byte offset of window_[0] within the FAT
  uint64_t sectors_from_copy_ = 0;
};

}  // namespace velmora
