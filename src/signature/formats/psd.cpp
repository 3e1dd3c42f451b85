#include <algorithm>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 128 * kMiB;

// Header, three sections with their lengths, then the merged image: raw planes or
// run-length rows whose byte counts stand in a table in front of them.
std::optional<uint64_t> WalkSections(const CarveContext& context) {
  FileView file(context, kCap);
  const ByteView header = file.Bytes(0, 26);
  if (header.empty()) return std::nullopt;
  const uint16_t version = *header.Be16(4);
  if (version != 1 && version != 2) return std::nullopt;
  const bool big = version == 2;
  const uint64_t channels = *header.Be16(12);
  const uint64_t height = *header.Be32(14);
  const uint64_t width = *header.Be32(18);
  const uint64_t depth = *header.Be16(22);
  if (channels == 0 || channels > 56 || height == 0 || width == 0 || height > 300000 ||
      width > 300000 || (depth != 1 && depth != 8 && depth != 16 && depth != 32)) {
    return std::nullopt;
  }
  uint64_t at = 26;
  for (int section = 0; section < 3; ++section) {
    const bool wide = big && section == 2;
    const ByteView size = file.Bytes(at, wide ? 8 : 4);
    if (size.empty()) return std::nullopt;
    at += (wide ? 8 : 4) + (wide ? *size.Be64(0) : *size.Be32(0));
    if (at >= file.limit()) return std::nullopt;
  }
  const auto compression = file.Bytes(at, 2).Be16(0);
  if (!compression) return std::nullopt;
  at += 2;
  const uint64_t rows = channels * height;
  if (*compression == 0) {
    const uint64_t row_bytes = depth == 1 ? (width + 7) / 8 : width * (depth / 8);
    return at + rows * row_bytes;
  }
  if (*compression != 1) return std::nullopt;
  const size_t count_bytes = big ? 4 : 2;
  uint64_t data = 0;
  for (uint64_t row = 0; row < rows;) {
    const size_t batch = static_cast<size_t>(std::min<uint64_t>(rows - row, 8192));
    const ByteView counts = file.Bytes(at + row * count_bytes, batch * count_bytes);
    if (counts.empty()) return std::nullopt;
    for (size_t i = 0; i < batch; ++i) {
      data += big ? *counts.Be32(i * 4) : *counts.Be16(i * 2);
    }
    row += batch;
  }
  return at + rows * count_bytes + data;
}

int IdentifyPsd(CarveContext&, const uint8_t* buffer, size_t length) {
  return length >= 40 && ByteView({buffer, length}).Matches(0, "8BPS") ? 28 : kNoSignatureType;
}

uint64_t MeasurePsd(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, WalkSections(context), kCap);
}

}  // namespace

extern const Format kPsd = {"psd", nullptr, 28, "photo", "8", 1, true, IdentifyPsd, MeasurePsd};

}  // namespace velmora::formats
