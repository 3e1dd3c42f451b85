#include <algorithm>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr int kElfType = 68;
constexpr uint64_t kCap = 1 * kGiB;
constexpr uint32_t kNoBits = 8;  // a section that takes no room in the file

// The furthest of the section header table, every section and every segment.
std::optional<uint64_t> TableEnds(const CarveContext& context, ByteView ident) {
  FileView file(context, kCap);
  const bool wide = *ident.U8(4) == 2;
  const bool big = *ident.U8(5) == 2;
  const ByteView header = file.Bytes(0, wide ? 64 : 52);
  if (header.empty()) return std::nullopt;
  const auto word = [&](const ByteView& v, size_t at32, size_t at64) -> uint64_t {
    if (!wide) return *v.U32(at32, big);
    const uint64_t low = *v.U32(at64 + (big ? 4 : 0), big);
    const uint64_t high = *v.U32(at64 + (big ? 0 : 4), big);
    return (high << 32) | low;
  };
  const uint64_t program_at = word(header, 28, 32);
  const uint64_t section_at = word(header, 32, 40);
  const uint32_t program_size = *header.U16(wide ? 54 : 42, big);
  const uint32_t programs = *header.U16(wide ? 56 : 44, big);
  const uint32_t section_size = *header.U16(wide ? 58 : 46, big);
  const uint32_t sections = *header.U16(wide ? 60 : 48, big);
  if (sections == 0 || section_size != (wide ? 64u : 40u)) return std::nullopt;
  uint64_t end = section_at + uint64_t{sections} * section_size;
  for (uint32_t i = 0; i < sections; ++i) {
    const ByteView section = file.Bytes(section_at + uint64_t{i} * section_size, section_size);
    if (section.empty()) return std::nullopt;
    if (*section.U32(4, big) == kNoBits) continue;
    end = std::max(end, word(section, 16, 24) + word(section, 20, 32));
  }
  if (programs > 0 && program_size == (wide ? 56u : 32u)) {
    for (uint32_t i = 0; i < programs; ++i) {
      const ByteView segment = file.Bytes(program_at + uint64_t{i} * program_size, program_size);
      if (segment.empty()) return std::nullopt;
      end = std::max(end, word(segment, 4, 8) + word(segment, 16, 32));
    }
  }
  return end;
}

int IdentifyElf(CarveContext&, const uint8_t* buffer, size_t length) {
  const ByteView b({buffer, length});
  if (length < 64 || !b.Matches(0,
                                "\x7F"
                                "ELF"))
    return kNoSignatureType;
  const uint8_t width = *b.U8(4);
  const uint8_t order = *b.U8(5);
  if ((width != 1 && width != 2) || (order != 1 && order != 2) || *b.U8(6) != 1) {
    return kNoSignatureType;
  }
  const auto kind = static_cast<uint16_t>(*b.U16(16, order == 2));
  return kind >= 1 && kind <= 4 ? kElfType : kNoSignatureType;
}

uint64_t MeasureElf(CarveContext& context, const uint8_t* buffer, size_t length) {
  return MeasuredOrScanned(context, TableEnds(context, ByteView({buffer, length})), kCap);
}

}  // namespace

extern const Format kElf = {"elf", "so o", kElfType,    "others",  "\x7F",
                            1,     true,   IdentifyElf, MeasureElf};

}  // namespace velmora::formats
