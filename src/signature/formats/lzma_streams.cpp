#include "signature/formats/lzma_streams.h"

#include <lzma.h>

#include "signature/formats/stream_end.h"

namespace velmora::formats {

namespace {

enum class Container { kXz, kLzip };

std::optional<uint64_t> Decode(const CarveContext& context, uint64_t cap, Container container) {
  FileView file(context, cap);
  lzma_stream stream = LZMA_STREAM_INIT;
  const lzma_ret opened = container == Container::kXz ? lzma_stream_decoder(&stream, UINT64_MAX, 0)
                                                      : lzma_lzip_decoder(&stream, UINT64_MAX, 0);
  if (opened != LZMA_OK) return std::nullopt;
  static thread_local uint8_t sink[65536];
  const auto end = DecodedLength(file, [&](ByteView chunk, size_t* used) {
    stream.next_in = chunk.data();
    stream.avail_in = chunk.size();
    lzma_ret status = LZMA_OK;
    while (stream.avail_in > 0 && status == LZMA_OK) {
      stream.next_out = sink;
      stream.avail_out = sizeof sink;
      status = lzma_code(&stream, LZMA_RUN);
    }
    *used = chunk.size() - stream.avail_in;
    if (status == LZMA_STREAM_END) return FeedResult::kEnd;
    return status == LZMA_OK ? FeedResult::kMore : FeedResult::kBroken;
  });
  lzma_end(&stream);
  return end;
}

}  // namespace

std::optional<uint64_t> XzStreamLength(const CarveContext& context, uint64_t cap) {
  return Decode(context, cap, Container::kXz);
}

std::optional<uint64_t> LzipStreamLength(const CarveContext& context, uint64_t cap) {
  return Decode(context, cap, Container::kLzip);
}

}  // namespace velmora::formats
