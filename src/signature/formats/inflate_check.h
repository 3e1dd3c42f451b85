#pragma once

#include <cstdint>
#include <string>

#include "signature/formats/file_view.h"

namespace velmora::formats {

// The candidate file as it would read with foreign bytes [cut, cut + gap) taken out.
class JoinedView {
 public:
  JoinedView(FileView& file, uint64_t cut, uint64_t gap) : file_(file), cut_(cut), gap_(gap) {}
  // Up to `count` bytes at `offset` of the joined file, not crossing the cut.
  ByteView At(uint64_t offset, size_t count);
  // Up to `count` bytes at `offset`, across the cut.
  std::string Copy(uint64_t offset, size_t count);

 private:
  FileView& file_;
  uint64_t cut_;
  uint64_t gap_;
};

struct InflateOutcome {
  bool ended = false;  // the stream's end was reached with its check intact
  uint64_t used = 0;   // compressed bytes taken up to the end or the first fault
  uint32_t crc = 0;    // CRC-32 of what came out (raw deflate members carry one)
};

// Inflates at most `most` bytes from `offset` of `view`: raw deflate, or zlib with its
// header and Adler-32 when `zlib` is set.
InflateOutcome Inflate(JoinedView& view, uint64_t offset, uint64_t most, bool zlib);

}  // namespace velmora::formats
