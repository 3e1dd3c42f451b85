#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora {

// UTF-16LE code units (as NTFS, FAT long names and GPT store them) to UTF-8.
// Unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(const uint8_t* bytes, size_t units);
std::string Utf16ToUtf8(std::u16string_view text);
// Invalid sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// Appends one code point as UTF-8; surrogates and values past U+10FFFF become U+FFFD.
void AppendCodePoint(std::string* out, uint32_t code_point);
// Control characters as escapes ("\n", "\t", "\x1b"), and '\' as "\\", so a name or a
// path the user gave can neither move the terminal nor split a line where it is shown.
std::string EscapeControl(std::string_view text);

}  // namespace velmora
