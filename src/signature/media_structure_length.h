#pragma once

#include <cstdint>
#include <optional>

#include "signature/carve_context.h"

// Lengths read from a media file's own structure, counted from the candidate file's first
// byte and cut at `cap` (not at the source's end: the catalogue does that). Empty when the structure cannot be
// trusted to say where the file ends; the caller then keeps its scanning rule.
namespace velmora::media {

// ISO base-media files (MP4, QuickTime, 3GP, M4A, HEIF, AVIF): the chain of top-level boxes
// from an "ftyp" box on, holding an "mdat" box and a "moov" (or, for pictures, "meta") box.
std::optional<uint64_t> IsoBoxChainLength(const CarveContext& context, uint64_t cap);

// Matroska and WebM: the EBML header plus a Segment element of known size.
std::optional<uint64_t> MatroskaLength(const CarveContext& context, uint64_t cap);

}  // namespace velmora::media
