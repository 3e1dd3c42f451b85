#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kDebType = 67;
constexpr uint64_t kCap = 4 * kGiB;
constexpr uint64_t kMemberHeader = 60;

// Decimal size field of an ar member header, space padded.
std::optional<uint64_t> MemberSize(ByteView header) {
  if (!header.Matches(58, "`\n")) return std::nullopt;
  uint64_t size = 0;
  bool digits = false;
  for (size_t i = 48; i < 58; ++i) {
    const uint8_t c = *header.U8(i);
    if (c == ' ') break;
    if (c < '0' || c > '9') return std::nullopt;
    size = size * 10 + (c - '0');
    digits = true;
  }
  return digits ? std::optional(size) : std::nullopt;
}

// The archive's members, each padded to an even length, up to the first that is not one.
std::optional<uint64_t> WalkMembers(const CarveContext& context) {
  FileView file(context, kCap);
  uint64_t at = 8;
  int members = 0;
  while (const auto size = MemberSize(file.Bytes(at, kMemberHeader))) {
    at += kMemberHeader + *size + (*size & 1);
    ++members;
  }
  // debian-binary, the control archive and the data archive at least.
  return members >= 3 ? std::optional(at) : std::nullopt;
}

int IdentifyDeb(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 80 || !b.Matches(0, "!<arch>\ndebian-binary")) return kNoSignatureType;
  return MemberSize(b.Sub(8, kMemberHeader)) ? kDebType : kNoSignatureType;
}

uint64_t MeasureDeb(CarveContext& context, const uint8_t*, size_t) {
  return MeasuredOrScanned(context, WalkMembers(context), kCap);
}

}  // namespace

extern const Format kDeb = {"deb", "udeb", kDebType,    "archive", "!",
                            1,     true,   IdentifyDeb, MeasureDeb};

}  // namespace velmora::formats
