#pragma once

#include <cstdint>
#include <string_view>

#include "ntfs/attribute_stream.h"
#include "ntfs/deep_data_copy.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs/stream_output.h"
#include "storage/sector_reader.h"

namespace velmora::ntfs {

// Where a stream's bytes come from, for either engine: how its data is copied, and the disk
// with the volume's start and cluster size, to find the sector its first cluster is on.
struct StreamPlace {
  StreamCopier copy;
  SectorReader* disk = nullptr;
  uint32_t sector_bytes = 512;
  uint32_t cluster_bytes = 0;
  uint64_t volume_start = 0;  // absolute sector
};

// A mounted volume's place, and one known only by a deep-scan window (copied in).
StreamPlace PlaceOf(NtfsVolume& volume);
StreamPlace PlaceOf(const VolumeWindow& window);

// The content check a record keeps (JudgeContent) for a file's stream: 0 for empty resident
// data; 1 (no test applies) when the data does not start in an allocated cluster or cannot be
// read; otherwise the verdict on its first bytes. Resident and compressed data are not on the
// disk as the file's bytes, so the sample is all the check sees of them.
uint32_t StreamContentCheck(const NtfsStream& stream, std::string_view extension,
                            const StreamPlace& place);

}  // namespace velmora::ntfs
