#include "signature/forward_scan.h"

#include <algorithm>

#include "signature/boundary.h"
#include "signature/byte_search.h"

namespace velmora {

namespace {

// Reports the sectors read so far; false when the callback asks to stop.
bool ReportProgress(CarveContext& context, uint64_t sectors_read) {
  if (context.progress == nullptr) return true;
  const uint64_t processed = context.processed + sectors_read;
  const int percent = context.total == 0 ? 0 : static_cast<int>(processed * 100 / context.total);
  const int answer = context.progress(
      context.progress_context, percent + 10, context.scale, context.seconds_remaining,
      static_cast<uint32_t>(processed), static_cast<uint32_t>(processed >> 32),
      static_cast<uint32_t>(context.total), static_cast<uint32_t>(context.total >> 32),
      static_cast<uint32_t>(context.found), static_cast<uint32_t>(context.found >> 32));
  if (answer != 0) {
    context.stop_code = answer;
    return false;
  }
  return true;
}

}  // namespace

uint64_t ForwardScan(CarveContext& context, uint64_t cap, BoundaryMode mode,
                     const MarkerStep& marker_step) {
  const uint64_t sector_size = static_cast<uint64_t>(context.sector_size);
  uint64_t length = sector_size;
  if (context.scratch.empty() || sector_size == 0 || sector_size > context.scratch.size()) {
    return length;
  }
  const uint64_t chunk_sectors = context.scratch.size() / sector_size;
  const uint64_t source_sectors = context.SourceSectors();
  uint64_t budget = cap / sector_size;
  uint64_t sectors_read = 0;
  while (budget > 0) {
    const uint64_t next = context.start_sector + 1 + sectors_read;
    if (next < context.start_sector || next >= source_sectors) break;
    const uint64_t count = std::min({chunk_sectors, budget, source_sectors - next});
    const uint8_t* data = context.View(next, static_cast<uint32_t>(count));
    if (data == nullptr) break;
    sectors_read += count;
    budget -= count;
    if (!ReportProgress(context, sectors_read)) break;

    const size_t chunk_bytes = static_cast<size_t>(count * sector_size);
    const uint64_t before_boundary = length;
    const bool boundary = FindNextBoundary(context, chunk_bytes, data, &length, mode) != 0;
    if (marker_step) {
      // Bytes from the boundary on belong to the next file: its footers are not ours.
      const size_t boundary_offset = static_cast<size_t>(length - before_boundary);
      const ScanChunk chunk{data, boundary ? boundary_offset : chunk_bytes, before_boundary,
                            boundary, boundary_offset};
      uint64_t end = 0;
      if (marker_step(chunk, &end)) return end;
    }
    if (boundary) break;
    length += chunk_bytes;
  }
  return length;
}

bool TailIsClear(const uint8_t* data, size_t bytes, size_t marker_end, int32_t sector_size) {
  const size_t size = static_cast<size_t>(sector_size);
  if (marker_end % size == 0) return true;
  const size_t boundary = std::min(bytes, (marker_end / size + 1) * size);
  return marker_end <= boundary && bytes::AllZero(data + marker_end, boundary - marker_end);
}

size_t FindFooterEnd(const uint8_t* data, size_t bytes, std::string_view marker,
                     int32_t sector_size, bool all_occurrences, size_t from) {
  size_t at = bytes::Find(data, bytes, marker, from);
  while (at != bytes::kNotFound) {
    const size_t end = at + marker.size();
    if (TailIsClear(data, bytes, end, sector_size)) return end;
    if (!all_occurrences) return bytes::kNotFound;
    at = bytes::Find(data, bytes, marker, at + 1);
  }
  return bytes::kNotFound;
}

}  // namespace velmora
