#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/scan_record.h"
#include "storage/text_codec.h"

namespace velmora {

// Copies a UTF-8 name into a record, cut at a character boundary so it fits
// with its terminating NUL.
void SetRecordName(ScanRecord* record, std::string_view name);
std::string_view RecordName(const ScanRecord& record);

// Extension after the last '.', or empty when there is none.
std::string_view ExtensionOf(std::string_view name);
std::string AsciiLower(std::string_view text);

}  // namespace velmora
