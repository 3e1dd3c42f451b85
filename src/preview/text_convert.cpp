#include "preview/text_convert.h"

namespace velmora::preview {

uint32_t Cp1252ToCodePoint(uint8_t byte) {
  // 0x80..0x9F differ from Latin-1; unassigned slots stay as their byte.
  static constexpr uint16_t kHigh[32] = {
      0x20AC, 0x81,   0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0x8D,   0x017D, 0x8F,   0x90,   0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x9D,   0x017E, 0x0178};
  return byte >= 0x80 && byte < 0xA0 ? kHigh[byte - 0x80] : byte;
}

size_t CountCodePoints(std::string_view text) {
  size_t count = 0;
  for (const char c : text) count += (static_cast<uint8_t>(c) & 0xC0) != 0x80;
  return count;
}

std::string FirstCodePoints(std::string_view text, size_t limit) {
  size_t count = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<uint8_t>(text[i]) & 0xC0) != 0x80 && count++ == limit) {
      return std::string(text.substr(0, i));
    }
  }
  return std::string(text);
}

}  // namespace velmora::preview
