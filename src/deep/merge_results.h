#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "storage/sector_reader.h"

namespace velmora {

// Sector where a metadata engine's file begins on the source, or false when it
// cannot be told (an NTFS record without data runs, a directory).
using DataSectorOf = std::function<bool(const ScanRecord& record, uint64_t* sector)>;

// The listing of the combined deep scan: the metadata engines' files once each (a
// file the quick engine and a deep engine both found is listed under its real
// folder rather than a lost one), then carved files, except a carved file that
// starts where a listed file's data starts: it is that file without its name,
// unless the named file failed its content check and the carved one is of another
// kind. A carved "jpg" at the start of a "thm" thumbnail counts as the same file.
// Unless `sorted`, the files come in no particular order, and of one file seen twice under
// two names in folders of the same kind the one kept is one a sorted listing could keep: a
// count by kind of name is the same.
int MergeResultsByType(const std::string& filter, IFileRecoveryParse* quick,
                       IFileRecoveryParse* fat_deep, IFileRecoveryParse* ntfs_deep,
                       IFileRecoveryParse* signature, const DataSectorOf& data_sector_of,
                       ScanRecordList* out, bool sorted = true);

// Sectors of the source read a block at a time, for many small reads that mostly go
// forward (the MFT records of a listing, asked for in the order they lie).
class SectorBlockCache {
 public:
  // Copies `count` sectors at `sector` into `out`; the number of whole sectors copied.
  uint32_t Read(SectorReader* source, uint64_t sector, uint32_t count, int32_t sector_size,
                uint8_t* out);

 private:
  static constexpr uint32_t kBlockBytes = 1u << 20;
  uint64_t first_ = 0;
  uint32_t held_ = 0;  // sectors held from first_ on
  int32_t sector_size_ = 0;
  std::vector<uint8_t> bytes_;
};

// First data sector of a record made by an NTFS or FAT engine (kinds 0-3), read
// from the record itself (FAT) or from its MFT record on `source` (NTFS), through
// `cache` when one is given.
bool MetadataRecordDataSector(const ScanRecord& record, SectorReader* source, int32_t sector_size,
                              uint64_t* sector, SectorBlockCache* cache = nullptr);

}  // namespace velmora
