#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/scan_record.h"

namespace velmora {

// UTF-16LE code units (as NTFS and FAT long names store them) to UTF-8.
// Unpaired surrogates become U+FFFD.
std::string Utf16LeToUtf8(const uint8_t* bytes, size_t units);
std::string Utf16ToUtf8(std::u16string_view text);
// Invalid sequences become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
// Appends one code point as UTF-8; surrogates and values past U+10FFFF become U+FFFD.
void AppendCodePoint(std::string* out, uint32_t code_point);

// Copies a UTF-8 name into a record, cut at a character boundary so it fits
// with its terminating NUL.
void SetRecordName(ScanRecord* record, std::string_view name);
std::string_view RecordName(const ScanRecord& record);

// Extension after the last '.', or empty when there is none.
std::string_view ExtensionOf(std::string_view name);
std::string AsciiLower(std::string_view text);

}  // namespace velmora
