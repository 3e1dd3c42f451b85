#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "storage/text_codec.h"

namespace velmora::preview {

// One byte of the Western Windows code page as a code point.
uint32_t Cp1252ToCodePoint(uint8_t byte);

// Number of code points in UTF-8 text.
size_t CountCodePoints(std::string_view text);

// `text` cut after `limit` code points.
std::string FirstCodePoints(std::string_view text, size_t limit);

}  // namespace velmora::preview
