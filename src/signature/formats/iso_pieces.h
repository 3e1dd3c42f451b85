#pragma once

#include <cstdint>
#include <optional>

#include "signature/carve_context.h"
#include "signature/formats/zip_pieces.h"

namespace velmora::formats {

// ISO base-media files (MP4, QuickTime, 3GP, M4A, HEIF, AVIF): the length the chain of
// top-level boxes gives, from an "ftyp" box on, holding an "mdat" box and a "moov" (or, for
// pictures, "meta") box; counted from the file's first byte and cut at `cap` (not at the
// source's end: the catalogue does that). Empty when the chain cannot be trusted to say
// where the file ends.
std::optional<uint64_t> IsoBoxChainLength(const CarveContext& context, uint64_t cap);

struct IsoPieces {
  TwoPieces pieces;
  uint64_t length;  // the file's own bytes, the gap left out
};

// An MP4/QuickTime file with foreign sectors inside its media data. The movie box's chunk
// tables say where every sample lies; H.264/HEVC samples hold a chain of NAL lengths that
// must add up to the sample size, so they show where the data stops holding and by how many
// sectors it moved. Nothing unless exactly one cut and one gap fit.
std::optional<IsoPieces> FindIsoMediaPieces(const CarveContext& context, uint64_t cap);

}  // namespace velmora::formats
