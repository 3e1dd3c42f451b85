#pragma once

#include "engine/file_recovery_parse.h"
#include "storage/platform_device.h"

namespace velmora {

// ext2/3/4 in quick mode: no metadata scan yet, so a scan finds nothing.
// Holds the region so a deep scan of the same source can read it whole.
class CFastExtRecovery : public IFileRecoveryParse {
 public:
  ~CFastExtRecovery() override;

  int OpenImage(const std::string& image_path, char16_t drive_tag) override;
  int OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                    char16_t drive_letter) override;
  int SetScanCallback(ScanProgressCallback, FileProgressCallback, void*, int) override { return 0; }
  int Scan(const char*) override { return 0; }
  int GetChildren(const ScanRecord*, int, ScanRecordList*) override { return 0; }
  int CountFiles(const ScanRecord*, int, int*) override { return 0; }
  uint64_t GetRecordCount() override { return 0; }
  int GetFullPath(const ScanRecord&, std::string*) override { return 0; }
  int RecoverFile(const ScanRecord&, const std::string&, int) override { return 0; }
  int GetNextFreeRange(uint64_t*, uint64_t*) override { return 0; }
  int SetRecoverCallback(ListingProgressCallback, void*) override { return 0; }
  int GetFilesByType(const std::string&, ScanRecordList*) override { return 0; }
  int LoadClusterBitmap() override { return 0; }
  int PreviewFile(const ScanRecord&, std::string*, uint8_t*, int*, PreviewProgressCallback,
                  void*) override {
    return 0;
  }

  uint64_t StartSector() const { return start_sector_; }
  uint64_t SectorCount() const { return sector_count_; }

 private:
  platform::FileHandle handle_ = platform::kInvalidHandle;
  uint64_t start_sector_ = 0;
  uint64_t sector_count_ = 0;
};

}  // namespace velmora
