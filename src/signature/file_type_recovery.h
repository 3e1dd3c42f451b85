#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/store_backed_engine.h"
#include "engine/scan_log_store.h"
#include "signature/carve_context.h"
#include "signature/signature_catalogue.h"
#include "storage/sector_reader.h"

namespace velmora {

// Signature engine: turns sectors that no file-system engine claims into carved
// files ("%lld.%s" named by their first sector) and serves them afterwards. It
// never walks the source itself; the combined deep scan hands it sectors.
class CFileTypeRecovery : public StoreBackedEngine {
 public:
  CFileTypeRecovery();
  ~CFileTypeRecovery() override;

  int OpenImage(const std::string& image_path, char16_t drive_tag) override;
  int OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                    char16_t drive_letter) override;
  // Reopens (or creates) the log `log_name` in the current scan folder; a disk
  // source when `image_path` is empty.
  int OpenSignatureLog(int32_t sector_size, int disk_number, const std::string& image_path,
                       const std::string& log_name, char16_t drive_tag);

  int SetScanCallback(ScanProgressCallback scan_progress, FileProgressCallback file_progress,
                      void* context, int scale) override;
  int Scan(const char*) override { return 0; }
  int GetChildren(const ScanRecord* directory, int depth, ScanRecordList* out) override;
  int CountFiles(const ScanRecord* directory, int depth, int* count) override;
  // Carved files sit in no folder; the path is left as it was.
  int GetFullPath(const ScanRecord&, std::string*) override { return 0; }
  int RecoverFile(const ScanRecord& record, const std::string& destination,
                  int base_depth) override;
  int GetNextFreeRange(uint64_t*, uint64_t*) override { return 0; }
  int LoadClusterBitmap() override { return 0; }
  int PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory, int* bytes,
                  PreviewProgressCallback callback, void* context) override;

  // Classifies one sector (absolute `sector_number` on `source`) and records the
  // file that starts there. 0: recorded, `skip` set to the sectors the walker
  // moves on; 87: nothing to record (skip untouched); kCancelledByUser.
  int CarveSectorAt(int32_t sector_size, const uint8_t* sector, size_t length,
                    uint64_t sector_number, uint64_t processed, uint64_t total,
                    int32_t seconds_remaining, SectorReader* source, uint64_t* skip,
                    uint64_t* found);

  // A carved file whose end waits for the scan to look for file-system structures inside it
  // (CarveContext::defer_structure_check): CarveSectorAt then records nothing yet and sets
  // skip to 1. HeldUntil is the sector after the file as measured (0: none held).
  // EndHeldAt records it ending at `sector` (a structure starts there; at or past HeldUntil
  // it keeps its measured length); EndHeldByReading makes the check itself by reading the
  // file from the source from `from_sector` on (the sectors before it were looked at).
  // Both give the sectors the scan moves on from the file's start.
  uint64_t HeldUntil() const { return held_.active ? held_.until : 0; }
  uint64_t HeldStart() const { return held_.sector; }
  uint64_t EndHeldAt(uint64_t sector, uint64_t* found);
  uint64_t EndHeldByReading(SectorReader* source, uint64_t from_sector, uint64_t* found);

  // The carving state to use; the combined engine shares its own. Without one the
  // engine keeps a private context.
  void UseCarveContext(CarveContext* context) { carve_ = context ? context : own_carve_.get(); }
  CarveContext* Carve() { return carve_; }

  // Sectors past the last one the source may deliver for carved data (the end of
  // the partition or image).
  void SetSourceEnd(uint64_t end_sector) { source_end_ = end_sector; }

  // Drops records whose first sector is at or after `sector` from the log, for a
  // resume after an unclean stop (those sectors are examined again).
  int DropRecordsFrom(uint64_t sector);

  ScanLogStore* Store() { return store_.get(); }
  int32_t SectorSize() const { return sector_size_; }

 private:
  int OpenStore(const std::string& log_name);
  // Writes the record of a carved file and returns the sectors the scan skips.
  uint64_t RecordCarved(uint64_t sector_number, const CarveResult& file, uint64_t* found);
  uint64_t EndHeld(uint64_t measured_or_cut, uint64_t* found);

  struct HeldCarve {
    bool active = false;
    uint64_t sector = 0;
    uint64_t until = 0;
    uint64_t measured = 0;
    uint64_t bytes_from_start = 0;
    CarveResult file;
  };
  HeldCarve held_;
  // Length of the carved file as stored: cut at the end of the source.
  uint64_t ClampToSource(uint64_t first_sector, uint64_t length) const;
  // The record's own bytes the source holds (a second piece counts after its gap).
  uint64_t OwnBytesOnSource(const ScanRecord& record) const;
  int ReadChunk(uint64_t sector, uint64_t bytes_wanted, std::vector<uint8_t>* buffer,
                size_t* bytes_read);

  char16_t drive_tag_ = 0;
  uint64_t partition_start_ = 0;
  uint64_t partition_count_ = 0;
  uint64_t source_end_ = 0;  // 0: the reader's end
  int32_t sector_size_ = 512;
  SectorReader source_;
  std::unique_ptr<CarveContext> own_carve_;
  CarveContext* carve_ = nullptr;
};

}  // namespace velmora
