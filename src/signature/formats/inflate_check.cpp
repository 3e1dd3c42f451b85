#include "signature/formats/inflate_check.h"

#include <zlib.h>

#include <algorithm>

namespace velmora::formats {

ByteView JoinedView::At(uint64_t offset, size_t count) {
  if (offset < cut_) {
    return file_.Upto(offset, static_cast<size_t>(std::min<uint64_t>(count, cut_ - offset)));
  }
  return file_.Upto(offset + gap_, count);
}

std::string JoinedView::Copy(uint64_t offset, size_t count) {
  std::string out;
  while (out.size() < count) {
    const ByteView part = At(offset + out.size(), count - out.size());
    if (part.empty()) break;
    out.append(reinterpret_cast<const char*>(part.data()), part.size());
  }
  return out;
}

InflateOutcome Inflate(JoinedView& view, uint64_t offset, uint64_t most, bool zlib) {
  InflateOutcome outcome;
  z_stream stream{};
  if (inflateInit2(&stream, zlib ? MAX_WBITS : -MAX_WBITS) != Z_OK) return outcome;
  static thread_local unsigned char sink[65536];
  uLong crc = crc32(0, nullptr, 0);
  bool fault = false;
  while (!outcome.ended && !fault && outcome.used < most) {
    const ByteView chunk = view.At(offset + outcome.used, FileView::kMaxSpan);
    const size_t take = static_cast<size_t>(std::min<uint64_t>(chunk.size(), most - outcome.used));
    if (take == 0) break;
    stream.next_in = const_cast<Bytef*>(chunk.data());
    stream.avail_in = static_cast<uInt>(take);
    while (stream.avail_in > 0) {
      stream.next_out = sink;
      stream.avail_out = sizeof sink;
      const int status = inflate(&stream, Z_NO_FLUSH);
      crc = crc32(crc, sink, static_cast<uInt>(sizeof sink - stream.avail_out));
      if (status == Z_STREAM_END) {
        outcome.ended = true;
        break;
      }
      if (status != Z_OK) {
        fault = true;
        break;
      }
    }
    outcome.used += take - stream.avail_in;
  }
  inflateEnd(&stream);
  outcome.crc = static_cast<uint32_t>(crc);
  return outcome;
}

}  // namespace velmora::formats
