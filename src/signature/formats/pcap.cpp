#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kPcapType = 69;
constexpr int kPcapNgType = 70;
constexpr uint64_t kCap = 4 * kGiB;
constexpr uint32_t kMostPacket = 256 * 1024;

// Global header, then records of a 16-byte header and the captured bytes.
std::optional<uint64_t> WalkRecords(const CarveContext& context, bool big) {
  FileView file(context, kCap);
  uint64_t at = 24;
  while (true) {
    const ByteView record = file.Bytes(at, 16);
    if (record.empty()) break;
    const uint32_t captured = *record.U32(8, big);
    const uint32_t original = *record.U32(12, big);
    if (captured > kMostPacket || captured > original || *record.U32(4, big) >= 1000000000u) {
      break;
    }
    if (captured > 0 && file.Bytes(at + 16 + captured - 1, 1).empty()) break;
    at += 16 + captured;
  }
  return at > 24 ? std::optional(at) : std::nullopt;
}

// Blocks carry their length at both ends.
std::optional<uint64_t> WalkBlocks(const CarveContext& context, bool big) {
  FileView file(context, kCap);
  uint64_t at = 0;
  while (true) {
    const ByteView head = file.Bytes(at, 8);
    if (head.empty()) break;
    const uint32_t size = *head.U32(4, big);
    if (size < 12 || size % 4 != 0 || size > 16 * kMiB) break;
    if (at > 0 && *head.U32(0, big) == 0x0A0D0D0A) {
      // A new section: same byte order only.
      const auto order = file.Bytes(at + 8, 4).U32(0, big);
      if (!order || *order != 0x1A2B3C4D) break;
    }
    const auto trailer = file.Bytes(at + size - 4, 4).U32(0, big);
    if (!trailer || *trailer != size) break;
    at += size;
  }
  return at > 0 ? std::optional(at) : std::nullopt;
}

int IdentifyPcap(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 40) return kNoSignatureType;
  const bool little = b.Matches(0, "\xD4\xC3\xB2\xA1") || b.Matches(0, "\x4D\x3C\xB2\xA1");
  const bool big = b.Matches(0, "\xA1\xB2\xC3\xD4") || b.Matches(0, "\xA1\xB2\x3C\x4D");
  if (little || big) {
    return *b.U16(4, big) == 2 && *b.U16(6, big) == 4 ? kPcapType : kNoSignatureType;
  }
  if (b.Matches(0, "\x0A\x0D\x0D\x0A") &&
      (b.Matches(8, "\x4D\x3C\x2B\x1A") || b.Matches(8, "\x1A\x2B\x3C\x4D"))) {
    return kPcapNgType;
  }
  return kNoSignatureType;
}

uint64_t MeasurePcap(CarveContext& context, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  std::optional<uint64_t> measured;
  if (b.Matches(0, "\x0A\x0D\x0D\x0A")) {
    measured = WalkBlocks(context, b.Matches(8, "\x1A\x2B\x3C\x4D"));
  } else {
    measured = WalkRecords(context, b.Matches(0, "\xA1"));
  }
  return MeasuredOrScanned(context, measured, kCap);
}

}  // namespace

extern const Format kPcap = {"pcap", nullptr, kPcapType,    "others",   "\xD4\x4D\xA1",
                             3,      true,    IdentifyPcap, MeasurePcap};
extern const Format kPcapNg = {"pcap", nullptr, kPcapNgType,  "others",   "\x0A",
                               1,      true,    IdentifyPcap, MeasurePcap};

}  // namespace velmora::formats
