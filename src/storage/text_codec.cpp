#include "storage/text_codec.h"

#include "storage/byte_view.h"

namespace velmora {

void AppendCodePoint(std::string* out, uint32_t cp) {
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

namespace {

template <typename UnitAt>
std::string ConvertUtf16(size_t units, UnitAt unit_at) {
  // Most names are ASCII: one byte per unit, nothing to decode.
  std::string out(units, '\0');
  size_t ascii = 0;
  while (ascii < units) {
    const uint32_t unit = unit_at(ascii);
    if (unit >= 0x80) break;
    out[ascii++] = static_cast<char>(unit);
  }
  if (ascii == units) return out;
  out.resize(ascii);
  for (size_t i = ascii; i < units; ++i) {
    uint32_t cp = unit_at(i);
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units) {
      const uint32_t low = unit_at(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendCodePoint(&out, cp);
  }
  return out;
}

}  // namespace

std::string Utf16LeToUtf8(const uint8_t* bytes, size_t units) {
  const ByteView text({bytes, 2 * units});
  return ConvertUtf16(units, [text](size_t i) { return uint32_t{text.Le16(2 * i).value_or(0)}; });
}

std::string Utf16ToUtf8(std::u16string_view text) {
  return ConvertUtf16(text.size(), [text](size_t i) { return static_cast<uint32_t>(text[i]); });
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    uint32_t cp = 0xFFFD;
    size_t extra = 0;
    if (lead < 0x80) {
      cp = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      cp = lead & 0x1F;
      extra = 1;
    } else if ((lead & 0xF0) == 0xE0) {
      cp = lead & 0x0F;
      extra = 2;
    } else if ((lead & 0xF8) == 0xF0) {
      cp = lead & 0x07;
      extra = 3;
    }
    bool valid = lead < 0x80 || extra > 0;
    for (size_t k = 1; valid && k <= extra; ++k) {
      if (i + k >= text.size() || (static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) {
        valid = false;
      } else {
        cp = (cp << 6) | (static_cast<uint8_t>(text[i + k]) & 0x3F);
      }
    }
    if (!valid) {
      cp = 0xFFFD;
      extra = 0;
    }
    i += extra + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string EscapeControl(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '\n': out += "\\n"; continue;
      case '\t': out += "\\t"; continue;
      case '\r': out += "\\r"; continue;
      case '\\': out += "\\\\"; continue;
      default: break;
    }
    if (u < 0x20 || u == 0x7f) {
      out += "\\x";
      out += kHex[u >> 4];
      out += kHex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace velmora
