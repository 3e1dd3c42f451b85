#pragma once

#include <cstdint>
#include <optional>

#include "storage/byte_view.h"
#include "signature/formats/file_view.h"
#include "signature/signature_row.h"

// One carved format: how it is recognised, how long it is, what its files are called.
// Each format lives in a file of its own here; registry.h lists those that add rows to the
// signature table after the original ones.
namespace velmora::formats {

constexpr uint64_t kMiB = 1024ull * 1024;
constexpr uint64_t kGiB = 1024 * kMiB;

struct Format {
  const char* extension;        // what carved files are named with
  const char* more_extensions;  // further extensions the content check knows, space-separated
  int type;                     // from 50 on; 49 ends the table
  const char* category;         // photo, audio, video, document, archive or others
  const char* first_bytes;      // bytes the identify operation can accept at offset 0
  uint8_t first_byte_count;
  bool skip_after;
  IdentifyOperation identify;
  LengthOperation length;
};

// The length a structure walk gave, cut short where an NTFS or FAT structure starts inside
// the file (it is then not stored in one piece there); nullopt stays nullopt.
uint64_t EndUnlessStructureInside(CarveContext& context, uint64_t measured);

// `end` moved past one line end (CR LF, LF or CR) written right after it.
uint64_t WithLineEnd(FileView& file, uint64_t end);

// Forward scan to the next boundary: what ends a file whose own structure did not hold.
uint64_t ScanToBoundary(CarveContext& context, uint64_t cap);

// `measured` when the walk succeeded (cut at a file-system structure), else the scan.
uint64_t MeasuredOrScanned(CarveContext& context, std::optional<uint64_t> measured, uint64_t cap);

}  // namespace velmora::formats
