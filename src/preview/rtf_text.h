#pragma once

#include <string>
#include <string_view>

namespace velmora::preview {

// The text of an RTF document without control words, groups of destinations
// that are not text (font tables, pictures, "\*" groups) left out. At most
// `limit` code points; false when `rtf` does not start as RTF.
bool RtfText(std::string_view rtf, size_t limit, std::string* out);

}  // namespace velmora::preview
