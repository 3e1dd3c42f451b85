#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/file_recovery_parse.h"

namespace velmora {

// Read the first 16 KiB of the region, classify it and return an opened engine
// (null when the source cannot be read or, in quick mode, nothing is recognised).
std::unique_ptr<IFileRecoveryParse> CreateEngineForPartition(int disk_number, uint32_t start_low,
                                                             uint32_t start_high,
                                                             uint32_t count_low,
                                                             uint32_t count_high,
                                                             char16_t drive_letter, bool deep);
std::unique_ptr<IFileRecoveryParse> CreateEngineForImage(const std::string& image_path,
                                                         char16_t drive_tag, bool deep);

// Fingerprint of what a region holds now (FingerprintRegion with the first
// metadata of its file system); "" when it cannot be read.
std::string FingerprintPartition(int disk_number, uint64_t start_sector, uint64_t sector_count);
std::string FingerprintImage(const std::string& image_path);

}  // namespace velmora
