#include <cstring>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kRtfType = 73;
constexpr uint64_t kCap = 512 * kMiB;

// The outer group closes the document: count braces, skipping escaped ones, up to the brace
// that brings the depth back to zero, and the line end written after it.
std::optional<uint64_t> ClosingBrace(const CarveContext& context) {
  FileView file(context, kCap);
  uint64_t depth = 0;
  bool escaped = false;
  for (uint64_t at = 0;;) {
    const ByteView chunk = file.Upto(at, FileView::kMaxSpan);
    if (chunk.empty()) return std::nullopt;
    for (size_t i = 0; i < chunk.size(); ++i) {
      const uint8_t c = *chunk.U8(i);
      if (c == 0) return std::nullopt;  // not text
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '{') {
        ++depth;
      } else if (c == '}') {
        if (depth == 0) return std::nullopt;
        if (--depth == 0) {
          return WithLineEnd(file, at + i + 1);
        }
      }
    }
    at += chunk.size();
  }
}

int IdentifyRtf(CarveContext&, const uint8_t* buffer, size_t length) {
  return length >= 16 && ByteView({buffer, length}).Matches(0, "{\\rtf1") ? kRtfType
                                                                          : kNoSignatureType;
}

uint64_t MeasureRtf(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, ClosingBrace(context), kCap);
}

}  // namespace

extern const Format kRtf = {"rtf", nullptr, kRtfType,    "document", "{",
                            1,     true,    IdentifyRtf, MeasureRtf};

}  // namespace velmora::formats
