#include <bzlib.h>

#include "signature/formats/format.h"
#include "signature/formats/stream_end.h"

namespace velmora::formats {

namespace {

constexpr int kBzip2Type = 63;
constexpr uint64_t kCap = 4 * kGiB;

// Its end-of-stream marker is not byte aligned: decoding is what finds it.
std::optional<uint64_t> DecodedBzip2Length(const CarveContext& context) {
  FileView file(context, kCap);
  bz_stream stream{};
  if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) return std::nullopt;
  static thread_local char sink[65536];
  const auto end = DecodedLength(file, [&](ByteView chunk, size_t* used) {
    stream.next_in = reinterpret_cast<char*>(const_cast<uint8_t*>(chunk.data()));
    stream.avail_in = static_cast<unsigned>(chunk.size());
    int status = BZ_OK;
    while (stream.avail_in > 0 && status == BZ_OK) {
      stream.next_out = sink;
      stream.avail_out = sizeof sink;
      status = BZ2_bzDecompress(&stream);
    }
    *used = chunk.size() - stream.avail_in;
    if (status == BZ_STREAM_END) return FeedResult::kEnd;
    return status == BZ_OK ? FeedResult::kMore : FeedResult::kBroken;
  });
  BZ2_bzDecompressEnd(&stream);
  return end;
}

int IdentifyBzip2(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 14 || !b.Matches(0, "BZh") || !b.Matches(4, "1AY&SY")) return kNoSignatureType;
  const uint8_t level = *b.U8(3);
  return level >= '1' && level <= '9' ? kBzip2Type : kNoSignatureType;
}

uint64_t MeasureBzip2(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, DecodedBzip2Length(context), kCap);
}

}  // namespace

extern const Format kBzip2 = {"bz2", "tbz2", kBzip2Type,    "archive",   "B",
                              1,     true,   IdentifyBzip2, MeasureBzip2};

}  // namespace velmora::formats
