#include <array>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kFlacType = 81;
constexpr uint64_t kCap = 2 * kGiB;

// CRC-8 (poly 07) guards each frame header, CRC-16 (poly 8005) each whole frame; both are
// zero when run over the data followed by its checksum.
struct CrcTables {
  std::array<uint8_t, 256> crc8{};
  std::array<uint16_t, 256> crc16{};
  CrcTables() {
    for (unsigned i = 0; i < 256; ++i) {
      unsigned c8 = i;
      unsigned c16 = i << 8;
      for (int bit = 0; bit < 8; ++bit) {
        c8 = (c8 & 0x80) != 0 ? (c8 << 1) ^ 0x07 : c8 << 1;
        c16 = (c16 & 0x8000) != 0 ? (c16 << 1) ^ 0x8005 : c16 << 1;
      }
      crc8[i] = static_cast<uint8_t>(c8);
      crc16[i] = static_cast<uint16_t>(c16);
    }
  }
};

const CrcTables& Crc() {
  static const CrcTables tables;
  return tables;
}

// Samples in the frame whose header starts `header`; 0 when it is not a valid header.
uint32_t FrameSamples(const ByteView& header) {
  const auto sync = header.Be16(0);
  if (!sync || (*sync & 0xFFFE) != 0xFFF8 || header.size() < 6) return 0;
  const uint8_t size_code = *header.U8(2) >> 4;
  const uint8_t rate_code = *header.U8(2) & 15;
  if (size_code == 0 || rate_code == 15 || (*header.U8(3) & 1) != 0) return 0;
  // The frame or sample number, coded like UTF-8 in one to seven bytes.
  size_t at = 4;
  const uint8_t lead = *header.U8(at);
  size_t more = 0;
  if ((lead & 0x80) == 0) {
    more = 0;
  } else if ((lead & 0xE0) == 0xC0) {
    more = 1;
  } else if ((lead & 0xF0) == 0xE0) {
    more = 2;
  } else if ((lead & 0xF8) == 0xF0) {
    more = 3;
  } else if ((lead & 0xFC) == 0xF8) {
    more = 4;
  } else if ((lead & 0xFE) == 0xFC) {
    more = 5;
  } else if (lead == 0xFE) {
    more = 6;
  } else {
    return 0;
  }
  at += 1 + more;
  uint32_t samples = 0;
  if (size_code == 1) {
    samples = 192;
  } else if (size_code <= 5) {
    samples = 576u << (size_code - 2);
  } else if (size_code == 6) {
    const auto v = header.U8(at++);
    if (!v) return 0;
    samples = *v + 1u;
  } else if (size_code == 7) {
    const auto v = header.Be16(at);
    if (!v) return 0;
    at += 2;
    samples = *v + 1u;
  } else {
    samples = 256u << (size_code - 8);
  }
  at += rate_code == 12 ? 1 : (rate_code == 13 || rate_code == 14) ? 2 : 0;
  if (!header.Has(at, 1)) return 0;
  uint8_t crc = 0;
  for (size_t i = 0; i <= at; ++i) crc = Crc().crc8[crc ^ *header.U8(i)];
  return crc == 0 ? samples : 0;
}

// Metadata blocks, then frames: each ends where its CRC-16 checks and the next frame (or
// the last sample the stream information promises) follows.
std::optional<uint64_t> WalkStream(const CarveContext& context) {
  FileView file(context, kCap);
  uint64_t at = 4;
  uint64_t total_samples = 0;
  for (bool last = false; !last;) {
    const ByteView block = file.Bytes(at, 4);
    if (block.empty()) return std::nullopt;
    last = (*block.U8(0) & 0x80) != 0;
    const uint32_t size = *block.Be24(1);
    if ((*block.U8(0) & 0x7F) == 0) {
      const ByteView info = file.Bytes(at + 4, 34);
      if (info.empty() || size != 34) return std::nullopt;
      total_samples = ((uint64_t{*info.U8(13)} & 15) << 32) | *info.Be32(14);
    }
    at += 4 + size;
  }
  if (total_samples == 0) return std::nullopt;
  uint64_t samples = 0;
  while (samples < total_samples) {
    const uint32_t in_frame = FrameSamples(file.Upto(at, 16));
    if (in_frame == 0) return std::nullopt;
    samples += in_frame;
    uint16_t crc = 0;
    uint64_t end = 0;
    for (uint64_t from = at; end == 0;) {
      const ByteView chunk = file.Upto(from, FileView::kMaxSpan);
      if (chunk.empty() || from - at > 16 * kMiB) return std::nullopt;
      for (size_t i = 0; i < chunk.size(); ++i) {
        crc = static_cast<uint16_t>((crc << 8) ^ Crc().crc16[(crc >> 8) ^ *chunk.U8(i)]);
        const uint64_t here = from + i + 1;
        if (crc != 0 || here - at < 10) continue;
        if (samples >= total_samples || FrameSamples(file.Upto(here, 16)) != 0) {
          end = here;
          break;
        }
      }
      from += chunk.size();
    }
    at = end;
  }
  return at;
}

int IdentifyFlac(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  // The first metadata block is always the 34-byte stream information.
  if (length < 42 || !b.Matches(0, "fLaC") || (*b.U8(4) & 0x7F) != 0) return kNoSignatureType;
  return *b.Be24(5) == 34 ? kFlacType : kNoSignatureType;
}

uint64_t MeasureFlac(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, WalkStream(context), kCap);
}

}  // namespace

extern const Format kFlac = {"flac", nullptr, kFlacType,    "audio",    "f",
                             1,      true,    IdentifyFlac, MeasureFlac};

}  // namespace velmora::formats
