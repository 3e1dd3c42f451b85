#include <algorithm>
#include <cstring>

#include "signature/formats/format.h"
#include "signature/formats/jpeg_pieces.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 128 * kMiB;
constexpr uint8_t kStartOfScan = 0xDA;
constexpr uint8_t kEndOfImage = 0xD9;

bool IsRestartOrStuffing(uint8_t byte) { return byte == 0x00 || (byte >= 0xD0 && byte <= 0xD7); }

// Offset of the first marker after entropy-coded data starting at `at` (stuffed FF 00 and
// restart markers belong to the data).
std::optional<uint64_t> SkipEntropyData(FileView& file, uint64_t at) {
  while (true) {
    const ByteView data = file.Upto(at, FileView::kMaxSpan);
    if (data.size() < 2) return std::nullopt;
    const uint8_t* begin = data.data();
    const uint8_t* end = begin + data.size() - 1;  // a marker needs the byte after FF too
    for (const uint8_t* p = begin; p < end;) {
      p = static_cast<const uint8_t*>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)));
      if (p == nullptr) break;
      if (!IsRestartOrStuffing(p[1]) && p[1] != 0xFF) return at + static_cast<uint64_t>(p - begin);
      p += p[1] == 0xFF ? 1 : 2;
    }
    at += data.size() - 1;
  }
}

// Where the pictures a multi-picture (MPF) index lists after this one end; 0 without one.
// `base` is the offset of the index's TIFF header; picture offsets count from it.
uint64_t MultiPictureEnd(FileView& file, uint64_t base) {
  const ByteView header = file.Bytes(base, 8);
  if (header.empty()) return 0;
  const bool big = header.Matches(0, {"MM\0\x2A", 4});
  if (!big && !header.Matches(0, {"II\x2A\0", 4})) return 0;
  const uint64_t ifd = *header.U32(4, big);
  const auto count = file.Bytes(base + ifd, 2).U16(0, big);
  if (!count || *count > 64) return 0;
  const ByteView entries = file.Bytes(base + ifd + 2, *count * 12u);
  if (entries.empty()) return 0;
  uint64_t end = 0;
  for (uint32_t i = 0; i < *count; ++i) {
    if (*entries.U16(i * 12, big) != 0xB002) continue;  // the picture list
    const uint32_t bytes = *entries.U32(i * 12 + 4, big);
    const uint64_t list = base + *entries.U32(i * 12 + 8, big);
    if (bytes % 16 != 0 || bytes > 16 * 64) return 0;
    const ByteView pictures = file.Bytes(list, bytes);
    if (pictures.empty()) return 0;
    for (uint32_t p = 0; p < bytes / 16; ++p) {
      const uint64_t size = *pictures.U32(p * 16 + 4, big);
      const uint64_t offset = *pictures.U32(p * 16 + 8, big);
      if (offset == 0) continue;  // the first picture: this one
      // Only a picture that is really there counts.
      if (!file.Bytes(base + offset, 3).Matches(0, "\xFF\xD8\xFF")) return 0;
      end = std::max(end, base + offset + size);
    }
  }
  return end;
}

// Segments with their lengths, entropy-coded scans after each start of scan, up to the end
// of image that closes the last scan; pictures an MPF index places after it are included.
std::optional<uint64_t> WalkSegments(const CarveContext& context) {
  FileView file(context, kCap);
  uint64_t at = 2;
  uint64_t extra_end = 0;
  bool scanned = false;
  while (true) {
    ByteView marker = file.Bytes(at, 2);
    if (marker.empty() || *marker.U8(0) != 0xFF) return std::nullopt;
    const uint8_t code = *marker.U8(1);
    if (code == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    if (code == kEndOfImage) {
      if (!scanned) return std::nullopt;
      return std::max(at + 2, extra_end);
    }
    if (code == 0xD8 || IsRestartOrStuffing(code) || code == 0x01) return std::nullopt;
    const auto size = file.Bytes(at + 2, 2).Be16(0);
    if (!size || *size < 2) return std::nullopt;
    if (code == 0xE2 && file.Bytes(at + 4, 4).Matches(0, {"MPF\0", 4})) {
      extra_end = std::max(extra_end, MultiPictureEnd(file, at + 8));
    }
    at += 2 + *size;
    if (code == kStartOfScan) {
      const auto next = SkipEntropyData(file, at);
      if (!next) return std::nullopt;
      at = *next;
      scanned = true;
    }
  }
}

// Camera pictures carry an EXIF thumbnail whose own end-of-image marker comes first and is
// followed by more picture data; every marker is tried, and only one whose sector tail is
// clear ends the file.
uint64_t JpegByEndMarker(CarveContext& context, const uint8_t* buffer, size_t length) {
  static constexpr std::string_view kEndOfImageMarker = "\xFF\xD9";
  const size_t in_first =
      FindFooterEnd(buffer, length, kEndOfImageMarker, context.sector_size, true);
  if (in_first != bytes::kNotFound) return in_first;
  return ScanWithCandidate(context, 128 * kMiB, std::nullopt, [&](const ScanChunk& chunk) {
    return FindFooterEnd(chunk.data, chunk.bytes, kEndOfImageMarker, context.sector_size, true);
  });
}

int IdentifyJpeg(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 16) return kNoSignatureType;
  if (b.Matches(0, "\xFF\xD8\xFF\xE0") && b.Matches(6, "JFIF")) return 10;
  if (b.Matches(0, "\xFF\xD8\xFF\xE1") && b.Matches(6, "Exif")) return 10;
  return kNoSignatureType;
}

uint64_t MeasureJpeg(CarveContext& context, const uint8_t* buffer, size_t length) {
  // Entropy-coded data that goes wrong at a sector boundary and on again later: two pieces.
  if (const auto pieces = FindJpegPieces(context, kCap)) {
    context.first_piece_bytes = pieces->pieces.first_piece_bytes;
    context.gap_bytes = pieces->pieces.gap_bytes;
    return pieces->length;
  }
  if (const auto end = WalkSegments(context)) return EndUnlessStructureInside(context, *end);
  return JpegByEndMarker(context, buffer, length);
}

// Pictures the original rows pass over: Adobe CMYK files (APP14 first), and files that begin
// with a quantisation table, a comment or another application segment.
int IdentifyOtherJpeg(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 16 || !b.Matches(0, "\xFF\xD8\xFF")) return kNoSignatureType;
  const uint8_t code = *b.U8(3);
  const uint16_t size = *b.Be16(4);
  if (size < 2) return kNoSignatureType;
  if (code == 0xEE) return b.Matches(6, "Adobe") ? 55 : kNoSignatureType;
  const bool plausible = code == 0xDB || code == 0xFE || (code >= 0xE0 && code <= 0xEF) ||
                         code == 0xC0 || code == 0xC2 || code == 0xC4;
  if (!plausible) return kNoSignatureType;
  // The next segment must follow where this one says it ends.
  const size_t next = 4 + size;
  if (next + 1 < length) return *b.U8(next) == 0xFF ? 55 : kNoSignatureType;
  return kNoSignatureType;
}

}  // namespace

extern const Format kOtherJpeg = {"jpg", nullptr,           55,         "photo", "\xFF", 1,
                                  true,  IdentifyOtherJpeg, MeasureJpeg};

extern const Format kJpeg = {"jpg", "jpeg jpe jfif", 10,         "photo", "\xFF", 1,
                             true,  IdentifyJpeg,    MeasureJpeg};

}  // namespace velmora::formats
