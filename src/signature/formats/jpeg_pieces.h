#pragma once

#include <cstdint>
#include <optional>

#include "signature/carve_context.h"
#include "signature/formats/zip_pieces.h"

namespace velmora::formats {

struct JpegPieces {
  TwoPieces pieces;
  uint64_t length;  // the picture's own bytes up to its end of image, the gap left out
};

// A baseline JPEG whose entropy-coded data goes wrong at a sector boundary and goes on, some
// whole sectors later, to decode cleanly to its end of image with the frame's number of MCUs
// (checked again by libjpeg). Nothing when no cut and gap near the failure do.
std::optional<JpegPieces> FindJpegPieces(const CarveContext& context, uint64_t cap);

}  // namespace velmora::formats
