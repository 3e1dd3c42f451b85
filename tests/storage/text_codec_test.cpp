// UTF-16 names (FAT long names, NTFS names) turned into UTF-8.
#include "storage/text_codec.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {
namespace {

std::vector<uint8_t> Le(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : text) {
    bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

TEST(TextCodecTest, NamesOfEveryKindComeOutAsUtf8) {
  struct Case {
    std::u16string text;
    std::string utf8;
  };
  const Case cases[] = {
      {u"", ""},
      {u"report.pdf", "report.pdf"},
      {std::u16string(u"a\0b", 3), std::string("a\0b", 3)},
      {u"\u007F", "\x7F"},
      {u"\u0080", "\xC2\x80"},                  // the first unit past ASCII
      {u"caf\u00E9.txt", "caf\xC3\xA9.txt"},    // ASCII, then not, then ASCII again
      {u"\u00E9t\u00E9", "\xC3\xA9t\xC3\xA9"},  // not ASCII from the first unit
      {u"\u65E5\u672C.doc", "\xE6\x97\xA5\xE6\x9C\xAC.doc"},
      {u"x\U0001F600", "x\xF0\x9F\x98\x80"},            // a surrogate pair
      {std::u16string(u"x\xD800y"), "x\xEF\xBF\xBDy"},  // a lone high surrogate
      {std::u16string(u"\xDC00"), "\xEF\xBF\xBD"},      // a lone low surrogate
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Utf16ToUtf8(c.text), c.utf8);
    const std::vector<uint8_t> bytes = Le(c.text);
    EXPECT_EQ(Utf16LeToUtf8(bytes.data(), c.text.size()), c.utf8);
    // And back, where nothing was replaced.
    if (c.utf8.find("\xEF\xBF\xBD") == std::string::npos) {
      EXPECT_EQ(Utf8ToUtf16(c.utf8), c.text);
    }
  }
}

}  // namespace
}  // namespace velmora
