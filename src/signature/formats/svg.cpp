#include <algorithm>
#include <string_view>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kSvgType = 74;
constexpr uint64_t kCap = 64 * kMiB;
constexpr std::string_view kClose = "</svg>";

// The first sector is text that opens an svg element (after an XML declaration, comments or
// a doctype).
int IdentifySvg(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 64 || !(b.Matches(0, "<?xml") || b.Matches(0, "<svg") || b.Matches(0, "<!--"))) {
    return kNoSignatureType;
  }
  const std::string_view text(reinterpret_cast<const char*>(buffer), length);
  const size_t open = text.find("<svg");
  if (open == std::string_view::npos) return kNoSignatureType;
  if (text.substr(0, open).find('\0') != std::string_view::npos) return kNoSignatureType;
  return kSvgType;
}

// Up to the last closing tag of the outer element and its line end; text only.
std::optional<uint64_t> ClosingTag(const CarveContext& context) {
  FileView file(context, kCap);
  for (uint64_t at = 0;;) {
    const ByteView chunk = file.Upto(at, FileView::kMaxSpan);
    if (chunk.size() < kClose.size()) return std::nullopt;
    const std::string_view text(reinterpret_cast<const char*>(chunk.data()), chunk.size());
    const size_t close = text.find(kClose);
    const size_t zero = text.find('\0');
    if (close != std::string_view::npos && (zero == std::string_view::npos || close < zero)) {
      return WithLineEnd(file, at + close + kClose.size());
    }
    if (zero != std::string_view::npos) return std::nullopt;
    at += chunk.size() - (kClose.size() - 1);
  }
}

uint64_t MeasureSvg(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, ClosingTag(context), kCap);
}

}  // namespace

extern const Format kSvg = {"svg", nullptr, kSvgType,    "photo",   "<",
                            1,     true,    IdentifySvg, MeasureSvg};

}  // namespace velmora::formats
