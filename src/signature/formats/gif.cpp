#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 128 * kMiB;

// Offset after a run of data sub-blocks (each a length byte and that many bytes, 0 ends).
std::optional<uint64_t> SkipSubBlocks(FileView& file, uint64_t at) {
  while (true) {
    const auto size = file.Bytes(at, 1).U8(0);
    if (!size) return std::nullopt;
    at += 1 + *size;
    if (*size == 0) return at;
  }
}

uint64_t ColourTableBytes(uint8_t flags) {
  return (flags & 0x80) != 0 ? 3ull << ((flags & 7) + 1) : 0;
}

// Header, screen descriptor and colour table, then images and extensions up to the trailer.
std::optional<uint64_t> WalkBlocks(const CarveContext& context) {
  FileView file(context, kCap);
  const ByteView screen = file.Bytes(0, 13);
  if (screen.empty()) return std::nullopt;
  uint64_t at = 13 + ColourTableBytes(*screen.U8(10));
  bool has_image = false;
  while (true) {
    const auto introducer = file.Bytes(at, 1).U8(0);
    if (!introducer) return std::nullopt;
    std::optional<uint64_t> next;
    if (*introducer == 0x3B) {
      return has_image ? std::optional(at + 1) : std::nullopt;
    } else if (*introducer == 0x21) {
      next = SkipSubBlocks(file, at + 2);
    } else if (*introducer == 0x2C) {
      const ByteView descriptor = file.Bytes(at, 10);
      if (descriptor.empty()) return std::nullopt;
      // After the descriptor and its colour table comes the LZW code size, then the data.
      const uint64_t data = at + 10 + ColourTableBytes(*descriptor.U8(9));
      const auto code_size = file.Bytes(data, 1).U8(0);
      if (!code_size || *code_size < 2 || *code_size > 11) return std::nullopt;
      next = SkipSubBlocks(file, data + 1);
      has_image = true;
    }
    if (!next) return std::nullopt;
    at = *next;
  }
}

uint64_t GifByTrailer(CarveContext& context, const uint8_t* buffer, size_t length) {
  return FirstSectorThenFooter(context, buffer, length, 128 * kMiB, {"\x00\x3B", 2});
}

int IdentifyGif(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 8 || !b.Matches(0, "GIF")) return kNoSignatureType;
  const auto digit = [](uint8_t c) { return c >= '0' && c <= '9'; };
  return digit(*b.U8(3)) && digit(*b.U8(4)) && *b.U8(5) >= 'a' && *b.U8(5) <= 'z'
             ? 31
             : kNoSignatureType;
}

uint64_t MeasureGif(CarveContext& context, const uint8_t* buffer, size_t length) {
  if (const auto end = WalkBlocks(context)) return EndUnlessStructureInside(context, *end);
  return GifByTrailer(context, buffer, length);
}

}  // namespace

extern const Format kGif = {"gif", nullptr, 31, "photo", "G", 1, true, IdentifyGif, MeasureGif};

}  // namespace velmora::formats
