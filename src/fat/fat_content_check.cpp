#include "fat/fat_content_check.h"

#include <cstring>
#include <string>

#include "engine/record_text.h"

namespace velmora {

namespace {

struct HeaderRule {
  const char* extensions;  // '|'-separated, lower case
  const char* magic;
  size_t magic_length;
};

// Headers of the commonest types; the signature catalogue supersedes this table
// once it is available.
constexpr HeaderRule kRules[] = {
    {"jpg|jpeg|jpe|jfif", "\xFF\xD8\xFF", 3},
    {"png", "\x89PNG\r\n\x1A\n", 8},
    {"gif", "GIF8", 4},
    {"bmp", "BM", 2},
    {"pdf", "%PDF", 4},
    {"zip|docx|xlsx|pptx|odt|ods|odp|jar|epub", "PK\x03\x04", 4},
    {"doc|xls|ppt|msg", "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8},
    {"rar", "Rar!\x1A\x07", 6},
    {"7z", "7z\xBC\xAF\x27\x1C", 6},
    {"gz|tgz", "\x1F\x8B", 2},
    {"bz2", "BZh", 3},
    {"psd", "8BPS", 4},
    {"rtf", "{\\rtf", 5},
    {"tif|tiff", nullptr, 0},
};

bool ListContains(const char* list, const std::string& extension) {
  std::string_view rest(list);
  while (!rest.empty()) {
    const size_t bar = rest.find('|');
    if (rest.substr(0, bar) == extension) return true;
    if (bar == std::string_view::npos) break;
    rest.remove_prefix(bar + 1);
  }
  return false;
}

bool IsTiffHeader(const uint8_t* data, size_t length) {
  return length >= 4 &&
         ((std::memcmp(data, "II*\0", 4) == 0) || std::memcmp(data, "MM\0*", 4) == 0);
}

}  // namespace

bool FatContentMatchesExtension(const uint8_t* data, size_t length, std::string_view extension) {
  const std::string lower = AsciiLower(extension);
  for (const HeaderRule& rule : kRules) {
    if (!ListContains(rule.extensions, lower)) continue;
    if (rule.magic == nullptr) return IsTiffHeader(data, length);
    return length >= rule.magic_length && std::memcmp(data, rule.magic, rule.magic_length) == 0;
  }
  return true;
}

}  // namespace velmora
