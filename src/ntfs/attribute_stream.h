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

// Takes an extent's resident value or, from the extent at cluster 0, the
// stream's sizes and flags. A non-resident extent's runs are left to the
// caller, which knows how far the volume reaches.
void TakeExtentValueAndSizes(const MftAttribute& attribute, NtfsStream* stream);

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

// Delivers the first min(limit, size) bytes of the stream in pieces of at most
// 64 KiB (or one cluster/compression unit when larger): resident bytes, the
// clusters of allocated runs, zeros for holes and for bytes past the
// initialized size, and compressed units decompressed. Runs that stop before
// the end give kNtfsRunsIncomplete after the covered part was delivered.
int CopyStreamData(NtfsVolume& volume, const NtfsStream& stream, uint64_t limit,
                   const StreamSink& sink);

}  // namespace velmora::ntfs
