#include "engine/record_text.h"

#include <cstring>

namespace velmora {

namespace {

constexpr size_t kKeptExtensionBytes = 16;

}  // namespace

std::string CutName(std::string_view name, size_t limit) {
  if (name.size() <= limit) return std::string(name);
  std::string_view extension;
  const size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && dot > 0 && name.size() - dot <= kKeptExtensionBytes + 1 &&
      name.size() - dot < limit) {
    extension = name.substr(dot);
  }
  size_t stem = limit - extension.size();
  // Step back over continuation bytes so a multi-byte character is never split.
  while (stem > 0 && (static_cast<uint8_t>(name[stem]) & 0xC0) == 0x80) --stem;
  std::string out(name.substr(0, stem));
  out.append(extension);
  return out;
}

void SetRecordName(ScanRecord* record, std::string_view name) {
  const std::string cut = CutName(name, kRecordNameBytes - 1);
  std::memcpy(record->name, cut.data(), cut.size());
  std::memset(record->name + cut.size(), 0, kRecordNameBytes - cut.size());
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
