#include <algorithm>
#include <vector>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kOggType = 60;
constexpr int kOpusType = 61;
constexpr uint64_t kCap = 4 * kGiB;
constexpr uint8_t kFirstPage = 2;
constexpr uint8_t kLastPage = 4;

// Pages follow each other; the file ends with the page that closes the last open stream.
std::optional<uint64_t> WalkPages(const CarveContext& context) {
  FileView file(context, kCap);
  std::vector<uint32_t> open;
  uint64_t at = 0;
  while (true) {
    const ByteView header = file.Bytes(at, 27);
    if (!header.Matches(0, {"OggS\0", 5})) return std::nullopt;
    const uint8_t flags = *header.U8(5);
    const uint32_t serial = *header.Le32(14);
    const uint8_t segments = *header.U8(26);
    const ByteView lacing = file.Bytes(at + 27, segments);
    if (lacing.size() != segments) return std::nullopt;
    uint64_t body = 0;
    for (size_t i = 0; i < segments; ++i) body += *lacing.U8(i);
    const bool known = std::find(open.begin(), open.end(), serial) != open.end();
    if ((flags & kFirstPage) != 0) {
      if (known || open.size() >= 64) return std::nullopt;
      open.push_back(serial);
    } else if (!known) {
      return std::nullopt;
    }
    at += 27 + segments + body;
    if ((flags & kLastPage) != 0) {
      open.erase(std::find(open.begin(), open.end(), serial));
      if (open.empty()) return at;
    }
  }
}

int IdentifyOgg(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  // Only a stream's first page starts a file.
  if (length < 64 || !b.Matches(0, {"OggS\0", 5}) || *b.U8(5) != kFirstPage) {
    return kNoSignatureType;
  }
  const size_t payload = 27 + size_t{*b.U8(26)};
  return b.Matches(payload, "OpusHead") ? kOpusType : kOggType;
}

uint64_t MeasureOgg(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, WalkPages(context), kCap);
}

}  // namespace

extern const Format kOgg = {"ogg", "oga ogv", kOggType,    "audio",   "O",
                            1,     true,      IdentifyOgg, MeasureOgg};
extern const Format kOpus = {"opus", nullptr, kOpusType,   "audio",   "O",
                             1,      true,    IdentifyOgg, MeasureOgg};

}  // namespace velmora::formats
