#include "signature/formats/format.h"

#include "signature/forward_scan.h"

namespace velmora::formats {

uint64_t EndUnlessStructureInside(CarveContext& context, uint64_t measured) {
  const uint64_t sector_size = static_cast<uint64_t>(context.sector_size);
  if (sector_size == 0 || measured <= sector_size) return measured;
  const uint64_t after_first = ((measured + sector_size - 1) / sector_size - 1) * sector_size;
  bool structure_inside = false;
  const uint64_t reached = ForwardScan(context, after_first, BoundaryMode::kFileSystemOnly,
                                       [&](const ScanChunk& chunk, uint64_t*) {
                                         structure_inside = chunk.boundary_found;
                                         return false;
                                       });
  return structure_inside ? reached : measured;
}

uint64_t WithLineEnd(FileView& file, uint64_t end) {
  const ByteView tail = file.Upto(end, 2);
  if (tail.Matches(0, "\r\n")) return end + 2;
  return tail.Matches(0, "\n") || tail.Matches(0, "\r") ? end + 1 : end;
}

uint64_t ScanToBoundary(CarveContext& context, uint64_t cap) { return ForwardScan(context, cap); }

uint64_t MeasuredOrScanned(CarveContext& context, std::optional<uint64_t> measured, uint64_t cap) {
  if (measured && *measured > 0) return EndUnlessStructureInside(context, std::min(*measured, cap));
  return ScanToBoundary(context, cap);
}

}  // namespace velmora::formats
