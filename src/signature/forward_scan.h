#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string_view>

#include "signature/carve_context.h"

namespace velmora {

// One chunk of a forward scan as the marker step sees it.
struct ScanChunk {
  const uint8_t* data;
  size_t bytes;            // up to the boundary when one was found
  uint64_t file_offset;    // offset of data[0] from the file's first byte
  bool boundary_found;     // a new file or file-system structure starts inside the chunk
  size_t boundary_offset;  // where, when boundary_found
};

// Returns true with the file's length in *end to finish the scan there.
using MarkerStep = std::function<bool(const ScanChunk& chunk, uint64_t* end)>;

// What ends a forward scan: any recognised file or file-system structure, the same
// without MPEG hits, or file-system structures alone.
enum class BoundaryMode { kEveryType, kIgnoreMpeg, kFileSystemOnly };

// Reads the sectors after the first one in 64 KiB chunks until a boundary, the marker
// step, the cap (bytes after the first sector), the end of the source, a failed read or
// a nonzero progress answer ends it. Returns the length reached, counted from the file's
// first byte (the first sector included).
uint64_t ForwardScan(CarveContext& context, uint64_t cap,
                     BoundaryMode mode = BoundaryMode::kEveryType,
                     const MarkerStep& marker_step = nullptr);

// A footer ends a file only when it ends on a sector boundary or only zeros follow it
// up to the next boundary. `data` starts on a sector boundary of the file.
bool TailIsClear(const uint8_t* data, size_t bytes, size_t marker_end, int32_t sector_size);

// Offset just past the first accepted occurrence of `marker` (tail rule) at or after
// `from`; kNotFound when none. `all_occurrences` false gives up after the first one.
size_t FindFooterEnd(const uint8_t* data, size_t bytes, std::string_view marker,
                     int32_t sector_size, bool all_occurrences, size_t from = 0);

}  // namespace velmora
