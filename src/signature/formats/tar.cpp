#include <algorithm>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kTarType = 62;
constexpr uint64_t kCap = 8 * kGiB;
constexpr uint64_t kBlock = 512;
constexpr uint64_t kRecord = 20 * kBlock;  // tar writes whole records of 20 blocks

// Octal (or, for large sizes, base-256) number field.
std::optional<uint64_t> Number(ByteView field) {
  if (field.empty()) return std::nullopt;
  if ((*field.U8(0) & 0x80) != 0) {
    uint64_t value = 0;
    for (size_t i = 1; i < field.size(); ++i) value = (value << 8) | *field.U8(i);
    return value;
  }
  uint64_t value = 0;
  bool digits = false;
  for (size_t i = 0; i < field.size(); ++i) {
    const uint8_t c = *field.U8(i);
    if (c == ' ' && !digits) continue;
    if (c == 0 || c == ' ') break;
    if (c < '0' || c > '7') return std::nullopt;
    value = value * 8 + (c - '0');
    digits = true;
  }
  return value;
}

// The header checksum counts its own field as spaces.
bool ChecksumHolds(ByteView header) {
  const auto stored = Number(header.Sub(148, 8));
  if (!stored) return false;
  uint64_t sum = 0;
  for (size_t i = 0; i < kBlock; ++i) sum += (i >= 148 && i < 156) ? ' ' : *header.U8(i);
  return sum == *stored;
}

bool IsZeroBlock(ByteView block) {
  for (size_t i = 0; i < block.size(); ++i) {
    if (*block.U8(i) != 0) return false;
  }
  return !block.empty();
}

// Headers and their data up to the two zero blocks, then the zeros that fill the record.
std::optional<uint64_t> WalkHeaders(const CarveContext& context) {
  FileView file(context, kCap);
  uint64_t at = 0;
  while (true) {
    const ByteView header = file.Bytes(at, kBlock);
    if (header.empty()) return std::nullopt;
    if (IsZeroBlock(header)) {
      if (!IsZeroBlock(file.Bytes(at + kBlock, kBlock))) return std::nullopt;
      uint64_t end = at + 2 * kBlock;
      const uint64_t record_end = (end + kRecord - 1) / kRecord * kRecord;
      while (end < record_end && IsZeroBlock(file.Bytes(end, kBlock))) end += kBlock;
      return end == record_end ? record_end : at + 2 * kBlock;
    }
    if (!ChecksumHolds(header)) return std::nullopt;
    const auto size = Number(header.Sub(124, 12));
    if (!size) return std::nullopt;
    const uint8_t kind = *header.U8(156);
    // Links, directories and devices carry no data whatever their size field says.
    const bool has_data =
        kind != '1' && kind != '2' && kind != '3' && kind != '4' && kind != '5' && kind != '6';
    at += kBlock + (has_data ? (*size + kBlock - 1) / kBlock * kBlock : 0);
  }
}

int IdentifyTar(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < kBlock || *b.U8(0) == 0 || !b.Matches(257, "ustar")) return kNoSignatureType;
  return ChecksumHolds(b) ? kTarType : kNoSignatureType;
}

uint64_t MeasureTar(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, WalkHeaders(context), kCap);
}

}  // namespace

extern const Format kTar = {"tar", nullptr, kTarType,    "archive", "",
                            0,     true,    IdentifyTar, MeasureTar};

}  // namespace velmora::formats
