#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string_view>

#include "signature/byte_search.h"
#include "storage/byte_view.h"
#include "signature/formats/file_view.h"
#include "signature/forward_scan.h"
#include "signature/signature_row.h"

// One carved format: how it is recognised, how long it is, what its files are called.
// Each format lives in a file of its own here (related ones may share a file) and is one line
// of format_list.h; the signature table is built from that list.
namespace velmora::formats {

constexpr uint64_t kMiB = 1024ull * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

struct Format {
  const char* extension;        // what carved files are named with
  const char* more_extensions;  // further extensions the content check knows, space-separated
  int type;                     // below 49 for the first rows, from 50 on; 49 ends the table
  const char* category;         // photo, audio, video, document, archive or others
  const char* first_bytes;      // bytes the identify operation can accept at offset 0
  uint8_t first_byte_count;
  bool skip_after;
  IdentifyOperation identify;
  LengthOperation length;  // null: the type only ends other files and is never recorded
};

// The bytes after the first sector a forward scan may read.
uint64_t SectorBytes(const CarveContext& context);

// A structurally measured file of `measured` bytes starting at the context's start sector
// ends where the first file-system structure inside it starts (or keeps its length).
// `from_sector`, when given, is the first sector still to look at (those before it are
// known to hold none).
uint64_t CutAtFileSystemStructure(CarveContext& context, uint64_t measured,
                                  uint64_t from_sector = 0);

// CutAtFileSystemStructure, or left to the scan when it sees those sectors anyway.
uint64_t UpToFileSystemStructure(CarveContext& context, uint64_t measured);

// Forward scan whose marker, once accepted in a chunk, ends the file right after it.
uint64_t ScanUntilFooter(CarveContext& context, uint64_t cap, BoundaryMode mode,
                         std::string_view marker, bool all_occurrences);

// Footer searched in the first sector, then chunk by chunk; the first accepted one ends it.
uint64_t FirstSectorThenFooter(CarveContext& context, const uint8_t* buffer, size_t length,
                               uint64_t cap, std::string_view marker);

// Forward scan to the boundary while each chunk may offer a candidate end; the result is
// the smaller of the last candidate and the scanned length.
template <typename CandidateInChunk>
uint64_t ScanWithCandidate(CarveContext& context, uint64_t cap, std::optional<uint64_t> candidate,
                           CandidateInChunk candidate_in_chunk) {
  const uint64_t scanned =
      ForwardScan(context, cap, BoundaryMode::kEveryType, [&](const ScanChunk& chunk, uint64_t*) {
        const size_t at = candidate_in_chunk(chunk);
        if (at != bytes::kNotFound) candidate = chunk.file_offset + at;
        return false;
      });
  return candidate ? std::min(*candidate, scanned) : scanned;
}

// The length a structure walk gave, cut short where an NTFS or FAT structure starts inside
// the file (it is then not stored in one piece there); nullopt stays nullopt.
uint64_t EndUnlessStructureInside(CarveContext& context, uint64_t measured);

// `end` moved past one line end (CR LF, LF or CR) written right after it.
uint64_t WithLineEnd(FileView& file, uint64_t end);

// Forward scan to the next boundary: what ends a file whose own structure did not hold.
uint64_t ScanToBoundary(CarveContext& context, uint64_t cap);

// Length operations of formats that run to the next boundary, one per cap.
uint64_t ToBoundary256MiB(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t ToBoundary2GiB(CarveContext& context, const uint8_t* buffer, size_t length);
uint64_t ToBoundary4GiB(CarveContext& context, const uint8_t* buffer, size_t length);

// `measured` when the walk succeeded (cut at a file-system structure), else the scan.
uint64_t MeasuredOrScanned(CarveContext& context, std::optional<uint64_t> measured, uint64_t cap);

}  // namespace velmora::formats
