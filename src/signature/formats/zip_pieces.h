#pragma once

#include <cstdint>
#include <optional>

#include "signature/carve_context.h"

namespace velmora::formats {

struct TwoPieces {
  uint64_t first_piece_bytes;  // whole sectors
  uint64_t gap_bytes;          // whole sectors
};

// A file's own offsets as written: bytes from `cut` on lie `gap` bytes further on.
struct PieceMapping {
  uint64_t cut;
  uint64_t gap;
  uint64_t Physical(uint64_t logical) const { return logical < cut ? logical : logical + gap; }
};
constexpr PieceMapping kInOnePiece{UINT64_MAX, 0};

// A zip archive whose end record lies `record_at` bytes after the candidate's first byte but
// describes a directory ending `gap` bytes earlier: foreign sectors sit inside the archive.
// The central directory says where each member must start; the member whose data crosses
// the cut is decoded and its CRC decides where exactly the first piece ends. Nothing when
// the evidence does not place the cut at exactly one sector boundary.
std::optional<TwoPieces> FindZipPieces(const CarveContext& context, uint64_t record_at,
                                       uint64_t directory_offset, uint64_t directory_size);

}  // namespace velmora::formats
