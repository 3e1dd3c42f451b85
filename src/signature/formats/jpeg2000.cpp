#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kJp2Type = 78;
constexpr uint64_t kCap = 512 * kMiB;

// Boxes up to the codestream box; a codestream box that runs to the end of the file ends
// at the codestream's own end marker.
std::optional<uint64_t> WalkBoxes(const CarveContext& context) {
  FileView file(context, kCap);
  uint64_t at = 0;
  for (int boxes = 0; boxes < 4096; ++boxes) {
    const ByteView header = file.Bytes(at, 8);
    if (header.empty()) return std::nullopt;
    uint64_t size = *header.Be32(0);
    uint64_t header_size = 8;
    if (size == 1) {
      const auto large = file.Bytes(at + 8, 8).Be64(0);
      if (!large) return std::nullopt;
      size = *large;
      header_size = 16;
    }
    const bool codestream = header.Matches(4, "jp2c");
    if (size == 0 && codestream) {
      for (uint64_t from = at + header_size;;) {
        const ByteView chunk = file.Upto(from, FileView::kMaxSpan);
        if (chunk.size() < 2) return std::nullopt;
        for (size_t i = 0; i + 1 < chunk.size(); ++i) {
          if (*chunk.U8(i) == 0xFF && *chunk.U8(i + 1) == 0xD9) return from + i + 2;
        }
        from += chunk.size() - 1;
      }
    }
    if (size < header_size) return std::nullopt;
    at += size;
    if (codestream) return at;
  }
  return std::nullopt;
}

int IdentifyJp2(CarveContext&, const uint8_t* buffer, size_t length) {
  return length >= 32 && ByteView({buffer, length}).Matches(0, {"\0\0\0\x0CjP  \r\n\x87\n", 12})
             ? kJp2Type
             : kNoSignatureType;
}

uint64_t MeasureJp2(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, WalkBoxes(context), kCap);
}

}  // namespace

extern const Format kJp2 = {"jp2", "jpx jpf", kJp2Type,    "photo",   "\0",
                            1,     true,      IdentifyJp2, MeasureJp2};

}  // namespace velmora::formats
