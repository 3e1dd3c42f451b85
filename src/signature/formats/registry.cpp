#include "signature/formats/registry.h"

namespace velmora::formats {

#define VELMORA_FORMAT(name) extern const Format name;
#include "signature/formats/format_list.h"
#undef VELMORA_FORMAT

const std::vector<const Format*>& RegisteredFormats() {
  static const std::vector<const Format*> formats = {
#define VELMORA_FORMAT(name) &name,
#include "signature/formats/format_list.h"
#undef VELMORA_FORMAT
  };
  return formats;
}

}  // namespace velmora::formats
