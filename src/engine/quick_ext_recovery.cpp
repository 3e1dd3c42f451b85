#include "engine/quick_ext_recovery.h"

#include "storage/error_codes.h"

namespace velmora {

CFastExtRecovery::~CFastExtRecovery() { platform::CloseHandle(&handle_); }

int CFastExtRecovery::OpenImage(const std::string&, char16_t) { return kSuccess; }

int CFastExtRecovery::OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                                    char16_t) {
  platform::CloseHandle(&handle_);
  start_sector_ = start_sector;
  sector_count_ = sector_count;
  const std::string path = platform::PhysicalDrivePath(disk_number);
  if (path.empty()) return kErrFileNotFound;
  return platform::OpenSourceReadOnly(path, &handle_);
}

}  // namespace velmora
