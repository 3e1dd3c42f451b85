#pragma once

#include <cstdint>
#include <optional>

#include "signature/formats/file_view.h"

namespace velmora::formats {

enum class FeedResult { kMore, kEnd, kBroken };

// Hands the candidate file to a decoder chunk by chunk from its first byte. `feed` takes a
// chunk, returns what the decoder says and sets how many of its bytes it used. The result is
// where the decoder's stream ended, or nothing when it broke or ran out of data first.
template <typename Feed>
std::optional<uint64_t> DecodedLength(FileView& file, Feed feed) {
  uint64_t at = 0;
  while (true) {
    const ByteView chunk = file.Upto(at, FileView::kMaxSpan);
    if (chunk.empty()) return std::nullopt;
    size_t used = 0;
    const FeedResult result = feed(chunk, &used);
    at += used;
    if (result == FeedResult::kEnd) return at;
    if (result == FeedResult::kBroken || used == 0) return std::nullopt;
  }
}

}  // namespace velmora::formats
