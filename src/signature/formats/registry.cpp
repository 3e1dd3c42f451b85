#include "signature/formats/registry.h"

namespace velmora::formats {

const std::vector<const Format*>& RegisteredFormats() {
  static const std::vector<const Format*> formats = {
#define VELMORA_FORMAT(name) &name,
#include "signature/formats/format_list.h"
#undef VELMORA_FORMAT
  };
  return formats;
}

}  // namespace velmora::formats
