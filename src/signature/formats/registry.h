#pragma once

#include <vector>

#include "signature/formats/format.h"

namespace velmora::formats {

#define VELMORA_FORMAT(name) extern const Format name;
#include "signature/formats/format_list.h"
#undef VELMORA_FORMAT

// The formats listed in format_list.h, in order.
const std::vector<const Format*>& RegisteredFormats();

}  // namespace velmora::formats
