#pragma once

#include <string>
#include <vector>

#include "fat/deep_fat_recovery.h"
#include "fat/fat_entry_checks.h"
#include "fat/fat_sector_classifier.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"

namespace velmora::testing {

// Stands in for the combined deep scan: reads the image in 64 KiB buffers and
// hands the FAT deep engine what the combined pass would (directory starts and
// other directory sectors), between ResetForScan/LoadBootGeometry and FinishScan.
inline int RunFatDeepPass(CProfessionalFatRecovery* engine, const std::string& image,
                          const std::string& log_folder) {
  int result = engine->ResetForScanIn(log_folder, nullptr);
  if (result != kSuccess) return result;
  engine->LoadBootGeometry();
  SectorReader reader;
  result = OpenImageFile(&reader, image);
  if (result != kSuccess) return result;
  const uint32_t sector_size = engine->BytesPerSector();
  const uint32_t per_buffer = 65536 / sector_size;
  std::vector<uint8_t> buffer(65536);
  for (uint64_t sector = 0; sector < reader.total_sectors; sector += per_buffer) {
    const uint64_t left = reader.total_sectors - sector;
    const int32_t count = static_cast<int32_t>(left < per_buffer ? left : per_buffer);
    uint32_t got = 0;
    ReadSectors(&reader, count, buffer.data(), sector, static_cast<int32_t>(sector_size), &got);
    for (uint32_t i = 0; i < got; ++i) {
      const uint8_t* bytes = buffer.data() + static_cast<size_t>(i) * sector_size;
      if (IsDirectoryStartSector(bytes, sector_size)) {
        engine->AddDirectoryStart(bytes, sector + i);
      } else if (IsDeepDirectorySector(bytes, sector_size)) {
        engine->AddDirectorySector(bytes, sector + i);
      }
    }
  }
  return engine->FinishScan();
}

}  // namespace velmora::testing
