#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "ntfs/data_runs.h"
#include "ntfs/mft_record.h"

namespace velmora::ntfs {

class NtfsVolume;

// Everything needed to read one attribute's data, gathered from the base
// record and, through its $ATTRIBUTE_LIST, from extension records.
struct NtfsStream {
  uint32_t type = kAttrData;
  std::string name;  // UTF-8, empty for the unnamed data
  bool resident = false;
  std::vector<uint8_t> resident_data;
  std::vector<DataRun> runs;  // sorted by vcn
  uint64_t real_size = 0;
  uint64_t initialized_size = 0;
  uint64_t allocated_size = 0;
  uint8_t compression_unit = 0;
  bool compressed = false;
  bool encrypted = false;
  bool runs_complete = true;  // false when an extent could not be read or decoded

  uint64_t Size() const { return resident ? resident_data.size() : real_size; }
};

// Adds one extent of an attribute to `stream`: its resident value or its runs, which must lie
// below `cluster_limit` (runs kept sorted); the extent at cluster 0 gives the sizes and flags.
void AddStreamExtent(const MftAttribute& attribute, uint64_t cluster_limit, NtfsStream* stream);

// Collects attribute (`type`, `name`) of base record `base_number`. Extents are
// taken inline and, when the record has an attribute list, from the extension
// records it names (only those whose base reference points back here).
// 0, kNtfsAttributeMissing, or a read error of the attribute list.
int LoadStream(NtfsVolume& volume, const MftRecord& base, uint64_t base_number, uint32_t type,
               std::string_view name, NtfsStream* out);

// Names of the named $DATA streams of a base record, inline and listed.
std::vector<std::string> NamedDataStreams(NtfsVolume& volume, const MftRecord& base);

// Receives a stream's bytes in order; a non-zero result stops the copy and is returned.
using StreamSink = std::function<int(const uint8_t* data, size_t length)>;

// CopyStreamThrough over the clusters of a mounted volume.
int CopyStreamData(NtfsVolume& volume, const NtfsStream& stream, uint64_t limit,
                   const StreamSink& sink);

}  // namespace velmora::ntfs
