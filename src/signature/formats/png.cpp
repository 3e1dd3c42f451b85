#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 128 * kMiB;

bool IsChunkType(ByteView type) {
  for (size_t i = 0; i < 4; ++i) {
    const uint8_t c = *type.U8(i);
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
  }
  return true;
}

// Signature, then chunks of length, type, data and CRC up to the one named IEND.
std::optional<uint64_t> WalkChunks(const CarveContext& context) {
  FileView file(context, kCap);
  uint64_t at = 8;
  while (true) {
    const ByteView header = file.Bytes(at, 8);
    if (header.empty() || !IsChunkType(header.Sub(4, 4))) return std::nullopt;
    const uint32_t size = *header.Be32(0);
    if (size > 0x7FFFFFFFu) return std::nullopt;
    at += 12 + uint64_t{size};
    if (header.Matches(4, "IEND")) return at <= file.limit() ? std::optional(at) : std::nullopt;
  }
}

uint64_t PngByTrailer(CarveContext& context, const uint8_t* buffer, size_t length) {
  return FirstSectorThenFooter(context, buffer, length, 128 * kMiB, "IEND\xAE\x42\x60\x82");
}

int IdentifyPng(CarveContext&, const uint8_t* buffer, size_t length) {
  return ByteView({buffer, length}).Matches(0, "\x89PNG\r\n\x1A\n") ? 30 : kNoSignatureType;
}

uint64_t MeasurePng(CarveContext& context, const uint8_t* buffer, size_t length) {
  if (const auto end = WalkChunks(context)) return EndUnlessStructureInside(context, *end);
  return PngByTrailer(context, buffer, length);
}

}  // namespace

extern const Format kPng = {"png", nullptr, 30, "photo", "\x89", 1, true, IdentifyPng, MeasurePng};

}  // namespace velmora::formats
