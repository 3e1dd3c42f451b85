#include "ntfs/attribute_stream.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "ntfs/attribute_list.h"
#include "ntfs/lznt1.h"
#include "ntfs/ntfs_volume.h"

namespace velmora::ntfs {

namespace {

// Attribute lists are small; a larger claim is damage.
constexpr uint64_t kMaxAttributeListBytes = 4u << 20;
constexpr size_t kCopyBlockBytes = 65536;

bool Matches(const MftAttribute& a, uint32_t type, std::string_view name) {
  if (a.type != type) return false;
  if (name.empty()) return !a.IsNamed();
  return a.IsNamed() && a.NameUtf8() == name;
}

void AddExtent(const NtfsVolume& volume, const MftAttribute& a, NtfsStream* out) {
  if (!a.non_resident) {
    out->resident = true;
    out->resident_data.assign(a.value.begin(), a.value.end());
    return;
  }
  if (a.start_vcn == 0) {
    out->real_size = a.real_size;
    out->initialized_size = std::min(a.initialized_size, a.real_size);
    out->allocated_size = a.allocated_size;
    out->compressed = a.IsCompressed() && a.compression_unit != 0;
    out->compression_unit = a.compression_unit;
    out->encrypted = a.IsEncrypted();
  }
  std::vector<DataRun> runs;
  const RunDecodeResult decoded =
      DecodeDataRuns(a.mapping_pairs, a.start_vcn, volume.ClusterCount(), &runs);
  if (decoded != RunDecodeResult::kComplete) out->runs_complete = false;
  out->runs.insert(out->runs.end(), runs.begin(), runs.end());
}

int ReadAttributeListData(NtfsVolume& volume, const MftAttribute& list, std::vector<uint8_t>* data) {
  if (!list.non_resident) {
    data->assign(list.value.begin(), list.value.end());
    return 0;
  }
  if (list.real_size > kMaxAttributeListBytes) return kNtfsRunsIncomplete;
  std::vector<DataRun> runs;
  DecodeDataRuns(list.mapping_pairs, 0, volume.ClusterCount(), &runs);
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
    AddExtent(volume, a, out);
    found = true;
  }
  std::vector<AttributeListEntry> entries;
  if (LoadAttributeList(volume, base, &entries) != 0) out->runs_complete = false;
  std::vector<uint8_t> buffer;
  MftRecord extension;
  for (const AttributeListEntry& entry : entries) {
    if (entry.type != type || entry.name != name || entry.record == base_number) continue;
    if (extents_seen.count(entry.start_vcn) != 0) continue;
    if (volume.ReadMftRecord(entry.record, &buffer) != 0 ||
        ParseMftRecord(buffer, &extension) == MftRecordVerdict::kNotRecord ||
        extension.header.base_record != base_number) {
      out->runs_complete = false;
      continue;
    }
    bool taken = false;
    for (const MftAttribute& a : extension.attributes) {
      if (!Matches(a, type, name) || (a.non_resident ? a.start_vcn : 0) != entry.start_vcn) continue;
      AddExtent(volume, a, out);
      extents_seen.insert(entry.start_vcn);
      taken = found = true;
      break;
    }
    if (!taken) out->runs_complete = false;
  }
  if (!found) return kNtfsAttributeMissing;
  std::sort(out->runs.begin(), out->runs.end(),
            [](const DataRun& a, const DataRun& b) { return a.vcn < b.vcn; });
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

// The run holding cluster `vcn`, or null in a gap.
const DataRun* RunAt(const std::vector<DataRun>& runs, uint64_t vcn) {
  auto it = std::upper_bound(runs.begin(), runs.end(), vcn,
                             [](uint64_t v, const DataRun& r) { return v < r.vcn; });
  if (it == runs.begin()) return nullptr;
  --it;
  return vcn < it->vcn + it->length ? &*it : nullptr;
}

// Fills `count` clusters from `vcn` into `buffer`: disk clusters or zeros.
// `allocated` counts the clusters that came from disk. Returns false at a gap,
// with `filled` clusters done.
int FillClusters(NtfsVolume& volume, const std::vector<DataRun>& runs, uint64_t vcn, uint64_t count,
                 uint8_t* buffer, bool pack_allocated, uint64_t* filled, uint64_t* allocated) {
  const uint32_t cs = volume.Geometry().cluster_size;
  *filled = 0;
  *allocated = 0;
  while (*filled < count) {
    const uint64_t at = vcn + *filled;
    const DataRun* run = RunAt(runs, at);
    if (!run) return kNtfsRunsIncomplete;
    const uint64_t n = std::min(count - *filled, run->vcn + run->length - at);
    if (run->kind == RunKind::kSparse) {
      if (!pack_allocated) std::memset(buffer + *filled * cs, 0, n * cs);
    } else {
      uint8_t* target = buffer + (pack_allocated ? *allocated : *filled) * cs;
      const int rc = volume.ReadClusters(run->lcn + (at - run->vcn), n, target);
      if (rc != 0) return rc;
      *allocated += n;
    }
    *filled += n;
  }
  return 0;
}

void ZeroPastInitialized(const NtfsStream& stream, uint64_t position, uint8_t* data, size_t length) {
  if (position + length <= stream.initialized_size) return;
  const uint64_t keep = stream.initialized_size > position ? stream.initialized_size - position : 0;
  std::memset(data + keep, 0, length - keep);
}

int CopyPlain(NtfsVolume& volume, const NtfsStream& stream, uint64_t size, const StreamSink& sink) {
  const uint32_t cs = volume.Geometry().cluster_size;
  const uint64_t block_clusters =
      std::min(std::max<uint64_t>(1, kCopyBlockBytes / cs), (size + cs - 1) / cs);
  std::vector<uint8_t> buffer(block_clusters * cs);
  uint64_t position = 0;
  while (position < size) {
    const uint64_t vcn = position / cs;
    const uint64_t clusters = std::min(block_clusters, (size - position + cs - 1) / cs);
    uint64_t filled = 0;
    uint64_t allocated = 0;
    int rc = 0;
    if (position >= stream.initialized_size) {
      // Never written: zeros, nothing to read.
      if (!RunAt(stream.runs, vcn)) return kNtfsRunsIncomplete;
      std::memset(buffer.data(), 0, clusters * cs);
      filled = clusters;
    } else {
      rc = FillClusters(volume, stream.runs, vcn, clusters, buffer.data(), false, &filled, &allocated);
    }
    const uint64_t bytes = std::min<uint64_t>(filled * cs, size - position);
    if (bytes > 0) {
      ZeroPastInitialized(stream, position, buffer.data(), bytes);
      const int stop = sink(buffer.data(), bytes);
      if (stop != 0) return stop;
    }
    if (rc != 0) return rc;
    position += bytes;
  }
  return 0;
}

int CopyCompressed(NtfsVolume& volume, const NtfsStream& stream, uint64_t size,
                   const StreamSink& sink) {
  const uint32_t cs = volume.Geometry().cluster_size;
  const uint64_t unit_clusters = uint64_t{1} << stream.compression_unit;
  const size_t unit_bytes = unit_clusters * cs;
  std::vector<uint8_t> raw(unit_bytes);
  std::vector<uint8_t> plain(unit_bytes);
  int damaged = 0;
  for (uint64_t position = 0; position < size; position += unit_bytes) {
    const uint64_t vcn = position / cs;
    uint64_t filled = 0;
    uint64_t allocated = 0;
    const int rc =
        FillClusters(volume, stream.runs, vcn, unit_clusters, raw.data(), true, &filled, &allocated);
    // A unit whose runs end early is complete as far as its compressed bytes go.
    if (rc != 0 && (rc != kNtfsRunsIncomplete || filled == 0)) return rc;
    const uint8_t* unit = plain.data();
    if (allocated == unit_clusters) {
      unit = raw.data();  // stored uncompressed
    } else {
      std::fill(plain.begin(), plain.end(), 0);
      if (allocated != 0) {
        size_t produced = 0;
        if (!DecompressLznt1({raw.data(), allocated * cs}, plain, &produced)) {
          damaged = kNtfsRunsIncomplete;
        }
      }
    }
    const uint64_t bytes = std::min<uint64_t>(unit_bytes, size - position);
    if (unit != plain.data()) std::memcpy(plain.data(), unit, bytes);
    ZeroPastInitialized(stream, position, plain.data(), bytes);
    const int stop = sink(plain.data(), bytes);
    if (stop != 0) return stop;
  }
  return damaged;
}

}  // namespace

int CopyStreamData(NtfsVolume& volume, const NtfsStream& stream, uint64_t limit,
                   const StreamSink& sink) {
  const uint64_t size = std::min(limit, stream.Size());
  if (size == 0) return 0;
  if (stream.resident) {
    return sink(stream.resident_data.data(), static_cast<size_t>(size));
  }
  return stream.compressed ? CopyCompressed(volume, stream, size, sink)
                           : CopyPlain(volume, stream, size, sink);
}

}  // namespace velmora::ntfs
