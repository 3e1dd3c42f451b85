#include <algorithm>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 4 * kGiB;
constexpr uint64_t kFewestPacks = 8;

// A program stream is packs and packets, each led by a start code; it ends with the end
// code 00 00 01 B9, or, as some muxers write it, after its last whole packet.
std::optional<uint64_t> WalkPacks(const CarveContext& context) {
  FileView file(context, kCap);
  uint64_t at = 0;
  for (uint64_t packs = 0;; ++packs) {
    const auto ended = [&] { return packs >= kFewestPacks ? std::optional(at) : std::nullopt; };
    const ByteView code = file.Bytes(at, 4);
    if (!code.Matches(0, {"\0\0\x01", 3})) return ended();
    const uint8_t id = *code.U8(3);
    if (id == 0xB9) return at + 4;
    if (id == 0xBA) {
      const ByteView head = file.Bytes(at, 14);
      if (head.empty()) return ended();
      const uint8_t mode = *head.U8(4);
      if ((mode & 0xC0) == 0x40) {
        at += 14 + (*head.U8(13) & 7);
      } else if ((mode & 0xF0) == 0x20) {
        at += 12;
      } else {
        return ended();
      }
    } else if (id >= 0xBB) {
      const auto size = file.Bytes(at + 4, 2).Be16(0);
      if (!size) return ended();
      at += 6 + *size;
    } else {
      return ended();
    }
  }
}

int IdentifyMpeg(CarveContext&, const uint8_t* b, size_t length) {
  if (length < 16) return kNoSignatureType;
  const size_t head = std::min<size_t>(length, 32);
  if (bytes::At(b, length, 0, {"\x00\x00\x01\xBA", 4}) &&
      bytes::Find(b, head, {"\x00\x00\x01\xBB", 4}) != bytes::kNotFound) {
    return 15;
  }
  if (bytes::At(b, length, 0, {"\x00\x00\x01\xB3", 4}) &&
      bytes::Find(b, head, {"\x00\x00\x01\xB8", 4}) != bytes::kNotFound) {
    return 15;
  }
  return kNoSignatureType;
}

uint64_t MpegByEndCode(CarveContext& context, const uint8_t* buffer, size_t length) {
  const bool sequence_header = bytes::At(buffer, length, 0, {"\x00\x00\x01\xB3", 4});
  const std::string_view end_code = sequence_header ? std::string_view{"\x00\x00\x01\xB7", 4}
                                                    : std::string_view{"\x00\x00\x01\xB9", 4};
  return ScanUntilFooter(context, 4 * kGiB, BoundaryMode::kIgnoreMpeg, end_code, true);
}

uint64_t MeasureMpeg(CarveContext& context, const uint8_t* buffer, size_t length) {
  if (ByteView({buffer, length}).Matches(0, {"\0\0\x01\xBA", 4})) {
    if (const auto end = WalkPacks(context)) return EndUnlessStructureInside(context, *end);
  }
  return MpegByEndCode(context, buffer, length);
}

}  // namespace

extern const Format kMpeg = {"mpeg", "mpg vob", 15,           "video",    "\0",
                             1,      true,      IdentifyMpeg, MeasureMpeg};

}  // namespace velmora::formats
