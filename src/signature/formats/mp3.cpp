#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 2 * kGiB;
constexpr int kBareMp3Type = 56;
constexpr int kFramesForBareStream = 8;

struct FrameHeader {
  uint32_t bytes;
  uint32_t shape;  // version, layer and sample rate bits: equal along one stream
};

// An MPEG audio frame header and the length of its frame.
std::optional<FrameHeader> ParseFrame(ByteView b) {
  const auto h = b.Be32(0);
  if (!h || (*h & 0xFFE00000u) != 0xFFE00000u) return std::nullopt;
  const uint32_t version = (*h >> 19) & 3;  // 0: 2.5, 2: 2, 3: 1
  const uint32_t layer = (*h >> 17) & 3;    // 1: III, 2: II, 3: I
  const uint32_t bitrate_index = (*h >> 12) & 15;
  const uint32_t rate_index = (*h >> 10) & 3;
  const uint32_t padding = (*h >> 9) & 1;
  if (version == 1 || layer == 0 || bitrate_index == 0 || bitrate_index == 15 || rate_index == 3) {
    return std::nullopt;
  }
  static constexpr uint16_t kKbps[2][3][15] = {
      {{0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
       {0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448}},
      {{0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
       {0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256}}};
  static constexpr uint32_t kRates[3] = {44100, 48000, 32000};
  const bool mpeg1 = version == 3;
  const uint32_t rate = kRates[rate_index] >> (mpeg1 ? 0 : version == 2 ? 1 : 2);
  const uint32_t bits_per_second = kKbps[mpeg1 ? 0 : 1][layer - 1][bitrate_index] * 1000u;
  uint32_t bytes;
  if (layer == 3) {
    bytes = (12 * bits_per_second / rate + padding) * 4;
  } else {
    const uint32_t factor = layer == 1 && !mpeg1 ? 72 : 144;
    bytes = factor * bits_per_second / rate + padding;
  }
  if (bytes < 24) return std::nullopt;
  return FrameHeader{bytes, *h & 0xFFFE0C00u};
}

// Frames chained from `at`: where the last whole one ends and how many there were.
struct Chain {
  uint64_t end;
  uint32_t frames;
};

Chain WalkFrames(FileView& file, uint64_t at, uint32_t most = UINT32_MAX) {
  Chain chain{at, 0};
  std::optional<uint32_t> shape;
  while (chain.frames < most) {
    const auto frame = ParseFrame(file.Bytes(chain.end, 4));
    if (!frame || (shape && frame->shape != *shape)) break;
    if (file.Bytes(chain.end + frame->bytes - 1, 1).empty()) break;
    shape = frame->shape;
    chain.end += frame->bytes;
    ++chain.frames;
  }
  return chain;
}

// Tags after the frames: ID3v1 (128 bytes), and an APE tag footer before it.
uint64_t WithTrailingTags(FileView& file, uint64_t end) {
  const ByteView ape = file.Bytes(end, 32);
  if (ape.Matches(0, "APETAGEX")) {
    const auto size = ape.Le32(12);
    if (size && *size >= 32 && *size < 16 * kMiB) end += *size;  // the size counts the footer
  }
  if (file.Bytes(end, 128).Matches(0, "TAG")) end += 128;
  return end;
}

// ID3v2 tag (its size is syncsafe), zeros some writers add, frames, closing tags.
std::optional<uint64_t> WalkTaggedStream(const CarveContext& context, ByteView first) {
  FileView file(context, kCap);
  const ByteView tag = first.Sub(0, 10);
  if (tag.empty()) return std::nullopt;
  uint64_t at = 10;
  at += (uint64_t{*tag.U8(6)} << 21) | (uint64_t{*tag.U8(7)} << 14) | (uint64_t{*tag.U8(8)} << 7) |
        *tag.U8(9);
  if ((*tag.U8(5) & 0x10) != 0) at += 10;  // footer
  for (uint64_t zeros = 0; zeros < 64 * 1024; ++zeros, ++at) {
    const auto byte = file.Bytes(at, 1).U8(0);
    if (!byte || *byte != 0) break;
  }
  const Chain chain = WalkFrames(file, at);
  if (chain.frames < 2) return std::nullopt;
  return WithTrailingTags(file, chain.end);
}

int IdentifyBareMp3(CarveContext& context, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  const auto frame = ParseFrame(b);
  if (!frame) return kNoSignatureType;
  // Reaching past the sector costs a read, so the next header must check out first.
  if (frame->bytes + 4 <= length) {
    const auto next = ParseFrame(b.Sub(frame->bytes, 4));
    if (!next || next->shape != frame->shape) return kNoSignatureType;
  }
  FileView file(context, 64 * 1024, context.cursor);
  return WalkFrames(file, 0, kFramesForBareStream).frames == kFramesForBareStream
             ? kBareMp3Type
             : kNoSignatureType;
}

uint64_t MeasureBareMp3(CarveContext& context, const uint8_t*, size_t) {
  FileView file(context, kCap);
  const Chain chain = WalkFrames(file, 0);
  return EndUnlessStructureInside(context, WithTrailingTags(file, chain.end));
}

// The tag header is ten bytes: "ID3", version, revision, flags, four 7-bit size bytes.
int IdentifyMp3(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 10 || !bytes::At(b, length, 0, "ID3")) return kNoSignatureType;
  if (b[3] == 0xFF || b[4] == 0xFF || (b[5] & 0x1F) != 0) return kNoSignatureType;
  for (int i = 6; i <= 9; ++i) {
    if (b[i] >= 0x80) return kNoSignatureType;
  }
  return 12;
}

// An ID3v1 tag ("TAG" + 125 bytes) closes the file.
uint64_t Mp3ByTag(CarveContext& context, const uint8_t*, size_t) {
  return ScanWithCandidate(context, 2 * kGiB, std::nullopt, [](const ScanChunk& chunk) {
    const size_t at = bytes::Find(chunk.data, chunk.bytes, "TAG");
    return at == bytes::kNotFound ? bytes::kNotFound : at + 128;
  });
}

uint64_t MeasureMp3(CarveContext& context, const uint8_t* buffer, size_t length) {
  if (const auto end = WalkTaggedStream(context, ByteView({buffer, length}))) {
    return EndUnlessStructureInside(context, *end);
  }
  return Mp3ByTag(context, buffer, length);
}

}  // namespace

extern const Format kBareMp3 = {"mp3", nullptr, kBareMp3Type,    "audio",       "\xFF",
                                1,     true,    IdentifyBareMp3, MeasureBareMp3};

extern const Format kMp3 = {"mp3", nullptr, 12, "audio", "I", 1, true, IdentifyMp3, MeasureMp3};

}  // namespace velmora::formats
