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

uint64_t SectorBytes(const CarveContext& context) {
  return static_cast<uint64_t>(context.sector_size);
}

uint64_t CutAtFileSystemStructure(CarveContext& context, uint64_t measured, uint64_t from_sector) {
  const uint64_t sector_size = SectorBytes(context);
  if (sector_size == 0 || measured <= sector_size) return measured;
  const uint64_t first = context.start_sector;
  const uint64_t end = first + (measured + sector_size - 1) / sector_size;
  from_sector = std::clamp(from_sector, first + 1, end);
  // The scan looks at the sectors after its start sector: start it just before `from_sector`.
  context.start_sector = from_sector - 1;
  bool structure_inside = false;
  const uint64_t reached =
      ForwardScan(context, (end - from_sector) * sector_size, BoundaryMode::kFileSystemOnly,
                  [&](const ScanChunk& chunk, uint64_t*) {
                    structure_inside = chunk.boundary_found;
                    return false;
                  });
  context.start_sector = first;
  return structure_inside ? reached + (from_sector - 1 - first) * sector_size : measured;
}

// A file-system structure inside a structurally measured file means the file is not stored
// in one piece there, and carving over it would hide that structure from the scan that skips
// the carved file: the file then ends where the structure starts. A scan that sees those
// sectors anyway makes the check itself.
uint64_t UpToFileSystemStructure(CarveContext& context, uint64_t measured) {
  const uint64_t sector_size = SectorBytes(context);
  if (sector_size == 0 || measured <= sector_size) return measured;
  if (context.defer_structure_check) {
    context.structure_check_deferred = true;
    return measured;
  }
  return CutAtFileSystemStructure(context, measured);
}

uint64_t ScanUntilFooter(CarveContext& context, uint64_t cap, BoundaryMode mode,
                         std::string_view marker, bool all_occurrences) {
  return ForwardScan(context, cap, mode, [&](const ScanChunk& chunk, uint64_t* end) {
    const size_t at =
        FindFooterEnd(chunk.data, chunk.bytes, marker, context.sector_size, all_occurrences);
    if (at == bytes::kNotFound) return false;
    *end = chunk.file_offset + at;
    return true;
  });
}

uint64_t FirstSectorThenFooter(CarveContext& context, const uint8_t* buffer, size_t length,
                               uint64_t cap, std::string_view marker) {
  const size_t in_first = FindFooterEnd(buffer, length, marker, context.sector_size, true);
  if (in_first != bytes::kNotFound) return in_first;
  return ScanUntilFooter(context, cap, BoundaryMode::kEveryType, marker, true);
}

uint64_t ScanToBoundary(CarveContext& context, uint64_t cap) { return ForwardScan(context, cap); }

uint64_t ToBoundary256MiB(CarveContext& context, const uint8_t*, size_t) {
  return ForwardScan(context, 256 * kMiB);
}
uint64_t ToBoundary2GiB(CarveContext& context, const uint8_t*, size_t) {
  return ForwardScan(context, 2 * kGiB);
}
uint64_t ToBoundary4GiB(CarveContext& context, const uint8_t*, size_t) {
  return ForwardScan(context, 4 * kGiB);
}

uint64_t MeasuredOrScanned(CarveContext& context, std::optional<uint64_t> measured, uint64_t cap) {
  if (measured && *measured > 0) return EndUnlessStructureInside(context, std::min(*measured, cap));
  return ScanToBoundary(context, cap);
}

}  // namespace velmora::formats
