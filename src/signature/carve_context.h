#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "storage/mapped_image.h"
#include "storage/sector_reader.h"

namespace velmora {

// Sectors of one transport stream already carved in this scan, both ends included.
struct TsRange {
  uint64_t first_sector;
  uint64_t last_sector;
};
using TsRangeList = std::vector<TsRange>;

// A test that a sector holds file-system metadata (an NTFS record, a FAT directory
// sector); such a sector ends a carved file. The file-system modules provide them.
using StructureTest = bool (*)(const uint8_t* sector, size_t length);

// A file measured ahead of the pass, on another thread with a context of its own, from the
// same bytes and settings: what the length operation answered and left in the context.
struct MeasuredAhead {
  uint64_t sector = 0;
  int type = 0;
  uint64_t measured = 0;
  uint64_t cursor = 0;
  uint64_t first_piece_bytes = 0;
  uint64_t gap_bytes = 0;
  bool structure_check_deferred = false;
};

// Carving state shared by the identify and length operations of one engine.
// One carve uses it at a time; the engine that owns it decides which.
struct CarveContext {
  static constexpr size_t kScratchBytes = 65536;

  int32_t sector_size = 512;
  SectorReader* source = nullptr;  // not owned
  // The same image file mapped, when the source is one; reads then copy nothing. Not owned.
  MappedImage* mapped = nullptr;
  uint64_t start_sector = 0;  // sector where the candidate file starts
  uint64_t cursor = 0;        // sector being examined; advanced by FindNextBoundary

  // Progress of the surrounding scan, handed through to the callback.
  uint64_t processed = 0;
  uint64_t total = 0;
  int32_t seconds_remaining = -1;
  uint64_t found = 0;
  ScanProgressCallback progress = nullptr;
  void* progress_context = nullptr;
  int scale = 100;
  // Last nonzero callback result seen during a length operation.
  int32_t stop_code = 0;

  // Chunk buffer of the forward scans; empty in contexts that only identify.
  std::vector<uint8_t> scratch;

  // Set by a scan that looks at every sector itself: the length rules then leave the search
  // for file-system structures inside a measured file to it and raise the second flag.
  bool defer_structure_check = false;
  bool structure_check_deferred = false;

  bool ts_continuation = false;
  bool mts_flag = false;
  TsRangeList ts_ranges;

  // Metadata tests beside the catalogue's own boot-sector test, applied at every
  // sector a forward scan passes.
  std::vector<StructureTest> structure_tests;
  // Set by a length operation that found the file in two pieces: the first piece (whole
  // sectors) and the foreign bytes between the pieces. Both 0 for a file in one piece.
  uint64_t first_piece_bytes = 0;
  uint64_t gap_bytes = 0;
  // Second pieces of files carved in two pieces: no file starts inside them.
  TsRangeList second_pieces;

  // Files of the buffer being examined that were measured ahead, in sector order; not owned.
  const MeasuredAhead* ahead = nullptr;
  size_t ahead_count = 0;
  // Per sector from `ahead_first_sector` on: 1 where no row accepts the sector, as found ahead.
  const uint8_t* nothing_ahead = nullptr;
  uint64_t ahead_first_sector = 0;
  uint64_t ahead_sectors = 0;

  bool InSecondPiece(uint64_t sector) const;
  // The file measured ahead that starts at `sector`, or null.
  const MeasuredAhead* MeasuredAheadAt(uint64_t sector) const;
  bool NothingStartsAt(uint64_t sector) const {
    return nothing_ahead != nullptr && sector >= ahead_first_sector &&
           sector - ahead_first_sector < ahead_sectors &&
           nothing_ahead[sector - ahead_first_sector] != 0;
  }

  // A context able to measure lengths (allocates the scratch buffer).
  static CarveContext ForMeasuring();

  // Sectors of `sector_size` bytes the source holds; 0 without a source.
  uint64_t SourceSectors() const;
  // Bytes of the source from the start sector on; UINT64_MAX without a source.
  uint64_t BytesFromStart() const;
  // Reads `count` whole sectors; false on any failure or when the read passes the end.
  bool Read(uint64_t sector, uint32_t count, uint8_t* out) const;
  // The same sectors in place when the pass's own mapped window holds them (no copy, no page
  // to enter), else null. Valid while the pass stays on its current buffer.
  const uint8_t* LentSectors(uint64_t sector, uint32_t count) const;
  // The same sectors in place: a view of the mapped image, or else read into the scratch
  // buffer (at most its size). Null on any failure. Valid until the next View or Read.
  const uint8_t* View(uint64_t sector, uint32_t count);
  // Reads `length` bytes lying `offset` bytes after the start of sector `base`.
  bool ReadBytesFrom(uint64_t base, uint64_t offset, size_t length, uint8_t* out) const;
  // Reads `length` bytes at `offset` from the candidate file's first byte.
  bool ReadFileBytes(uint64_t offset, size_t length, uint8_t* out) const {
    return ReadBytesFrom(start_sector, offset, length, out);
  }
};

}  // namespace velmora
