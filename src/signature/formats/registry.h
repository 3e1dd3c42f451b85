#pragma once

#include <vector>

#include "signature/formats/format.h"

namespace velmora::formats {

// The formats listed in format_list.h, in order.
const std::vector<const Format*>& RegisteredFormats();

}  // namespace velmora::formats
