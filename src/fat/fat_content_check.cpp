#include "fat/fat_content_check.h"

#include "signature/signature_catalogue.h"

namespace velmora {

bool FatContentMatchesExtension(const uint8_t* data, size_t length, std::string_view extension,
                                SectorReader* source, uint32_t sector_size,
                                uint64_t absolute_sector) {
  return CheckContentMatchesExtension(data, length, extension, source,
                                      static_cast<int32_t>(sector_size), absolute_sector) != 0;
}

}  // namespace velmora
