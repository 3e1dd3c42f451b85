#include "engine/record_text.h"

#include <cstring>

namespace velmora {

void SetRecordName(ScanRecord* record, std::string_view name) {
  size_t length = std::min(name.size(), kRecordNameBytes - 1);
  // Step back over continuation bytes so a multi-byte character is never split.
  if (length < name.size()) {
    while (length > 0 && (static_cast<uint8_t>(name[length]) & 0xC0) == 0x80) --length;
  }
  std::memcpy(record->name, name.data(), length);
  std::memset(record->name + length, 0, kRecordNameBytes - length);
}

std::string_view RecordName(const ScanRecord& record) {
  return std::string_view(record.name, strnlen(record.name, kRecordNameBytes));
}

std::string_view ExtensionOf(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  return name.substr(dot + 1);
}

std::string AsciiLower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace velmora
