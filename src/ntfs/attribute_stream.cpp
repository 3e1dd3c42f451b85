#include "ntfs/attribute_stream.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "ntfs/attribute_list.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs/run_reading.h"

namespace velmora::ntfs {

namespace {

bool Matches(const MftAttribute& a, uint32_t type, std::string_view name) {
  if (a.type != type) return false;
  if (name.empty()) return !a.IsNamed();
  return a.IsNamed() && a.NameUtf8() == name;
}

int ReadAttributeListData(NtfsVolume& volume, const MftAttribute& list,
                          std::vector<uint8_t>* data) {
  if (!list.non_resident) {
    data->assign(list.value.begin(), list.value.end());
    return 0;
  }
  if (list.real_size > kMaxAttributeListBytes) return kNtfsRunsIncomplete;
  std::vector<DataRun> runs;
  DecodeDataRuns(list.mapping_pairs, 0, volume.RunClusterLimit(), &runs);
  NtfsStream stream;
  stream.runs = std::move(runs);
  stream.real_size = stream.initialized_size = list.real_size;
  data->clear();
  return CopyStreamData(volume, stream, list.real_size, [&](const uint8_t* bytes, size_t n) {
    data->insert(data->end(), bytes, bytes + n);
    return 0;
  });
}

int LoadAttributeList(NtfsVolume& volume, const MftRecord& base,
                      std::vector<AttributeListEntry>* entries) {
  const MftAttribute* list = base.Find(kAttrAttributeList);
  if (!list) return 0;
  std::vector<uint8_t> data;
  const int rc = ReadAttributeListData(volume, *list, &data);
  ParseAttributeList(data, entries);
  return rc;
}

}  // namespace

void AddStreamExtent(const MftAttribute& attribute, uint64_t cluster_limit, NtfsStream* stream) {
  if (!attribute.non_resident) {
    stream->resident = true;
    stream->resident_data.assign(attribute.value.begin(), attribute.value.end());
    return;
  }
  if (attribute.start_vcn == 0) {
    stream->real_size = attribute.real_size;
    stream->initialized_size = std::min(attribute.initialized_size, attribute.real_size);
    stream->allocated_size = attribute.allocated_size;
    stream->compressed = attribute.IsCompressed() && attribute.compression_unit != 0;
    stream->compression_unit = attribute.compression_unit;
    stream->encrypted = attribute.IsEncrypted();
  }
  std::vector<DataRun> runs;
  if (DecodeDataRuns(attribute.mapping_pairs, attribute.start_vcn, cluster_limit, &runs) !=
      RunDecodeResult::kComplete) {
    stream->runs_complete = false;
  }
  stream->runs.insert(stream->runs.end(), runs.begin(), runs.end());
  std::sort(stream->runs.begin(), stream->runs.end(),
            [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
}

int LoadStream(NtfsVolume& volume, const MftRecord& base, uint64_t base_number, uint32_t type,
               std::string_view name, NtfsStream* out) {
  *out = NtfsStream{};
  out->type = type;
  out->name = std::string(name);
  bool found = false;
  std::set<uint64_t> extents_seen;
  for (const MftAttribute& a : base.attributes) {
    if (!Matches(a, type, name)) continue;
    if (!extents_seen.insert(a.non_resident ? a.start_vcn : 0).second) continue;
    AddStreamExtent(a, volume.RunClusterLimit(), out);
    found = true;
  }
  std::vector<AttributeListEntry> entries;
  if (LoadAttributeList(volume, base, &entries) != 0) out->runs_complete = false;
  std::vector<uint8_t> buffer;
  MftRecord extension;
  for (const AttributeListEntry& entry : entries) {
    if (entry.type != type || entry.name != name || entry.record == base_number) continue;
    if (extents_seen.count(entry.start_vcn) != 0) continue;
    if (volume.ReadMftRecord(entry.record, &buffer, &extension) != 0 ||
        extension.header.base_record != base_number) {
      out->runs_complete = false;
      continue;
    }
    bool taken = false;
    for (const MftAttribute& a : extension.attributes) {
      if (!Matches(a, type, name) || (a.non_resident ? a.start_vcn : 0) != entry.start_vcn)
        continue;
      AddStreamExtent(a, volume.RunClusterLimit(), out);
      extents_seen.insert(entry.start_vcn);
      taken = found = true;
      break;
    }
    if (!taken) out->runs_complete = false;
  }
  if (!found) return kNtfsAttributeMissing;
  return 0;
}

std::vector<std::string> NamedDataStreams(NtfsVolume& volume, const MftRecord& base) {
  std::vector<std::string> names;
  auto add = [&](std::string name) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(std::move(name));
    }
  };
  for (const MftAttribute& a : base.attributes) {
    if (a.type == kAttrData && a.IsNamed()) add(a.NameUtf8());
  }
  std::vector<AttributeListEntry> entries;
  LoadAttributeList(volume, base, &entries);
  for (const AttributeListEntry& entry : entries) {
    if (entry.type == kAttrData) add(entry.name);
  }
  return names;
}

namespace {

ClusterReader ReaderOf(NtfsVolume& volume) {
  return [&volume](uint64_t lcn, uint64_t count, uint8_t* buffer) {
    return volume.ReadClusters(lcn, count, buffer);
  };
}

}  // namespace

int CopyStreamData(NtfsVolume& volume, const NtfsStream& stream, uint64_t limit,
                   const StreamSink& sink) {
  return CopyStreamThrough(ReaderOf(volume), volume.Geometry().cluster_size, stream, limit, sink);
}

}  // namespace velmora::ntfs
