#include <zlib.h>

#include "signature/formats/format.h"
#include "signature/formats/stream_end.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 4 * kGiB;
constexpr int kAnyLevelGzipType = 57;

// Inflating the member is the only way to learn where its deflate data ends; the eight
// bytes of CRC and size follow.
std::optional<uint64_t> InflatedLength(const CarveContext& context) {
  FileView file(context, kCap);
  z_stream stream{};
  if (inflateInit2(&stream, 16 + MAX_WBITS) != Z_OK) return std::nullopt;
  static thread_local unsigned char sink[65536];
  const auto end = DecodedLength(file, [&](ByteView chunk, size_t* used) {
    stream.next_in = const_cast<Bytef*>(chunk.data());
    stream.avail_in = static_cast<uInt>(chunk.size());
    int status = Z_OK;
    while (stream.avail_in > 0 && status == Z_OK) {
      stream.next_out = sink;
      stream.avail_out = sizeof sink;
      status = inflate(&stream, Z_NO_FLUSH);
    }
    *used = chunk.size() - stream.avail_in;
    if (status == Z_STREAM_END) return FeedResult::kEnd;
    return status == Z_OK || status == Z_BUF_ERROR ? FeedResult::kMore : FeedResult::kBroken;
  });
  inflateEnd(&stream);
  return end;
}

int IdentifyAnyLevelGzip(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 18 || !b.Matches(0, "\x1F\x8B\x08")) return kNoSignatureType;
  const uint8_t flags = *b.U8(3);
  const uint8_t extra = *b.U8(8);
  const uint8_t os = *b.U8(9);
  if ((flags & 0xE0) != 0 || (extra != 0 && extra != 2 && extra != 4)) return kNoSignatureType;
  return os <= 13 || os == 0xFF ? kAnyLevelGzipType : kNoSignatureType;
}

int IdentifyGzip(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 16 || !bytes::At(b, length, 0, "\x1F\x8B\x08")) return kNoSignatureType;
  if (b[3] != 0x00 && b[3] != 0x08) return kNoSignatureType;
  if (b[8] != 0x02 && b[8] != 0x04) return kNoSignatureType;
  return b[9] < 14 || b[9] == 0xFF ? 36 : kNoSignatureType;
}

uint64_t MeasureGzip(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, InflatedLength(context), kCap);
}

}  // namespace

extern const Format kAnyLevelGzip = {"gz", "gzip tgz", kAnyLevelGzipType,    "archive",  "\x1F",
                                     1,    true,       IdentifyAnyLevelGzip, MeasureGzip};

extern const Format kGzip = {"gz", "gzip", 36,           "archive",  "\x1F",
                             1,    true,   IdentifyGzip, MeasureGzip};

}  // namespace velmora::formats
