#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/scan_record.h"
#include "storage/text_codec.h"

namespace velmora {

// Copies a UTF-8 name into a record, cut (see CutName) so it fits with its
// terminating NUL.
void SetRecordName(ScanRecord* record, std::string_view name);

// `name` in at most `limit` bytes: the part before the extension is cut at a character
// boundary and the extension (up to 16 bytes after the last '.') kept, so a file with a
// long name still opens with the program of its type.
std::string CutName(std::string_view name, size_t limit);
std::string_view RecordName(const ScanRecord& record);

// Extension after the last '.', or empty when there is none.
std::string_view ExtensionOf(std::string_view name);
std::string AsciiLower(std::string_view text);

}  // namespace velmora
