#include "ntfs/content_check.h"

#include "signature/signature_catalogue.h"

namespace velmora::ntfs {

uint32_t ContentMatchesExtension(std::span<const uint8_t> sample, std::string_view extension,
                                 SectorReader* source, uint32_t sector_size, uint64_t start_sector) {
  return JudgeContent(sample.data(), sample.size(), extension, source,
                      static_cast<int32_t>(sector_size), start_sector);
}

}  // namespace velmora::ntfs
