#pragma once

#include <cstddef>
#include <cstdint>

#include "storage/sector_reader.h"

namespace velmora {

// The engines a deep-scan pass hands sectors to. Each sector goes to the first
// one that recognises it: NTFS file records, FAT directory sectors, then carving.
class DeepSectorSink {
 public:
  virtual ~DeepSectorSink() = default;
  // A non-directory NTFS file record of `bytes` bytes found at `sector`.
  virtual void OnNtfsFileRecord(const uint8_t* record, size_t bytes, uint64_t sector) = 0;
  // A sector that begins with a FAT directory's "." and ".." pair.
  virtual void OnFatDirectoryStart(const uint8_t* sector, uint64_t sector_number) = 0;
  // Any other sector that passes the FAT deep scan's directory-sector test.
  virtual void OnFatDirectorySector(const uint8_t* sector, uint64_t sector_number) = 0;
  // Everything else: 0 with `skip` set when a file was carved there, kNothingCarved when
  // nothing was recorded, kCancelledByUser to stop.
  virtual int Carve(const uint8_t* sector, uint64_t sector_number, uint64_t* skip) = 0;
  // A carved file whose end waits for a look at its sectors: the sector after it as
  // measured, or 0. Its sectors are not dispatched but only checked for file-system
  // structures; EndHeldAt then closes it at the first one (or at HeldUntil when there is
  // none) and the dispatch goes on from there.
  virtual uint64_t HeldUntil() { return 0; }
  virtual void EndHeldAt(uint64_t) {}

  // A sector the hints rule out for every engine: carving would find nothing there. A sink
  // whose carving keeps state between sectors brings it to where such a sector leaves it.
  virtual void Unrecognised(const uint8_t* sector, uint64_t sector_number) {
    uint64_t skip = 1;
    Carve(sector, sector_number, &skip);
  }
  // `count` such sectors one after another, `sector_bytes` apart, with no held file open.
  virtual void UnrecognisedRun(const uint8_t* first, uint64_t first_number, uint64_t count,
                               size_t sector_bytes) {
    for (uint64_t k = 0; k < count; ++k) Unrecognised(first + k * sector_bytes, first_number + k);
  }
};

// One buffer of the pass: `sector_count` sectors read from `first_sector`
// (absolute on `source`). `unreadable`, when set, marks sectors that could not
// be read (one byte per sector, nonzero = unreadable); they are not examined.
struct DispatchBuffer {
  const uint8_t* data = nullptr;
  uint32_t sector_count = 0;
  int32_t sector_size = 512;
  uint64_t first_sector = 0;
  const uint8_t* unreadable = nullptr;
  // Optional, one byte per sector from ClassifySectors (SectorHint bits); the dispatch then
  // takes the tests' answers from there instead of working them out again.
  const uint8_t* hints = nullptr;
};

struct DispatchResult {
  int status = 0;  // 0, or kCancelledByUser from the carving sink
  // Index of the next sector to examine; may lie past the buffer when a carved
  // file reaches into the following data (the overshoot). After a stop, the
  // index of the sector where the stop happened.
  uint64_t next_index = 0;
};

// Routes the sectors of `buffer` from index `start_index` on. NTFS records that
// run past the buffer are read again from `source` (bounded by `source_end`).
DispatchResult DeepScanDispatch(const DispatchBuffer& buffer, uint64_t start_index,
                                SectorReader* source, uint64_t source_end, DeepSectorSink* sink);

// The answers of the dispatch's sector tests, one bit each.
enum SectorHint : uint8_t {
  kHintMayIdentify = 1,      // a carving row may start here
  kHintNtfsRecord = 2,       // an NTFS file record
  kHintDirectoryStart = 4,   // a FAT directory's "." and ".." pair
  kHintDirectorySector = 8,  // passes the FAT deep scan's directory-sector test
  kHintStructure = 16,       // a file-system structure that ends a held carving
};
// Bits that send a sector to an engine; a sector with none of them is Unrecognised.
constexpr uint8_t kHintWanted =
    kHintMayIdentify | kHintNtfsRecord | kHintDirectoryStart | kHintDirectorySector;

// The tests of the dispatch worked out ahead, for another thread to do: the SectorHint bits
// of each sector. Pure: reads only the sectors.
void ClassifySectors(const uint8_t* data, uint32_t sector_count, int32_t sector_size,
                     uint8_t* hints);

}  // namespace velmora
