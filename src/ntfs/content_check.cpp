#include "ntfs/content_check.h"

#include <vector>

#include "signature/signature_catalogue.h"
#include "storage/error_codes.h"

namespace velmora::ntfs {

namespace {

constexpr size_t kContentSampleBytes = 4096;

}  // namespace

StreamPlace PlaceOf(NtfsVolume& volume) {
  return StreamPlace{[&volume](const NtfsStream& stream, uint64_t limit, const StreamSink& sink) {
                       return CopyStreamData(volume, stream, limit, sink);
                     },
                     volume.Reader(), volume.DeviceSectorSize(), volume.Geometry().cluster_size,
                     volume.PartitionStart()};
}

StreamPlace PlaceOf(const VolumeWindow& window) {
  return StreamPlace{[window](const NtfsStream& stream, uint64_t limit, const StreamSink& sink) {
                       return CopyDeepStream(window, stream, limit, sink);
                     },
                     window.reader, window.sector_bytes, window.cluster_bytes, window.volume_start};
}

uint32_t StreamContentCheck(const NtfsStream& stream, std::string_view extension,
                            const StreamPlace& place) {
  uint64_t start_sector = 0;
  if (stream.resident) {
    if (stream.resident_data.empty()) return 0;
  } else {
    if (stream.runs.empty() || stream.runs.front().kind != RunKind::kAllocated ||
        stream.runs.front().lcn == 0 || stream.real_size == 0 || place.sector_bytes == 0) {
      return 1;
    }
    start_sector =
        place.volume_start + stream.runs.front().lcn * place.cluster_bytes / place.sector_bytes;
  }
  std::vector<uint8_t> sample;
  const int rc = place.copy(stream, kContentSampleBytes, [&](const uint8_t* bytes, size_t n) {
    sample.insert(sample.end(), bytes, bytes + n);
    return 0;
  });
  if (rc != kSuccess && sample.empty()) return 1;
  SectorReader* source = stream.resident || stream.compressed ? nullptr : place.disk;
  return JudgeContent(sample.data(), sample.size(), extension, source,
                      static_cast<int32_t>(place.sector_bytes), start_sector);
}

}  // namespace velmora::ntfs
