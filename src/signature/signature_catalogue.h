#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "signature/carve_context.h"
#include "signature/signature_row.h"
#include "storage/sector_reader.h"

// What the recovery engines ask of the file-signature catalogue.
namespace velmora {

// Progress of the surrounding scan, handed through to the progress callback.
struct CarveProgress {
  uint64_t processed = 0;
  uint64_t total = 0;
  int32_t seconds_remaining = -1;
  uint64_t found = 0;
};

struct CarveResult {
  std::string name;  // "<start sector>.<extension>"
  int type = kNoSignatureType;
  uint64_t length = 0;        // bytes, cut at the last whole sector of the source
  uint64_t uncut_length = 0;  // as measured, before that cut
  // For a file found in two pieces: the first piece's length in whole sectors and the
  // foreign bytes between the pieces (the length counts the file's own bytes only).
  uint64_t first_piece_bytes = 0;
  uint64_t gap_bytes = 0;
};

// No file starts at the examined sector: not a failure, the scan goes on.
constexpr int kNothingCarved = -2;

// Recognises the file starting in `buffer` (the sector at `start_sector` of `source`) and
// measures it. 0 with *result filled; kNothingCarved when no row accepts the buffer or the
// type is never recorded (result->type still names it); 87 when the arguments are unusable;
// kCancelledByUser when the progress callback cancelled the length search. The callback fields of
// `context` are used as they stand.
int IdentifyAndMeasure(CarveContext& context, int32_t sector_size, SectorReader* source,
                       const uint8_t* buffer, size_t length, uint64_t start_sector,
                       const CarveProgress& progress, CarveResult* result);

// Identifies and measures, on a thread of its own with a context of its own, the file starting
// in `buffer` when what its length operation answers depends on the source's bytes alone (not
// on the streams carved before). IdentifyAndMeasure takes the answer from `context.ahead` of
// its own context instead of measuring again when it identifies the same type there. False
// when nothing was measured; out->type then tells whether no row accepts the buffer
// (kNoSignatureType) whatever the pass carved before.
bool MeasureAhead(CarveContext& context, int32_t sector_size, SectorReader* source,
                  const uint8_t* buffer, size_t length, uint64_t start_sector, MeasuredAhead* out);

// Leaves `context` as IdentifyAndMeasure leaves it after a sector no row accepts: what a
// scan calls for the sectors it knows no row can accept instead of identifying them.
void ForgetStreamState(CarveContext& context);

// 1 when `buffer` (the first sector of a file) holds what `extension` promises, or when
// the catalogue does not know the extension (compared ignoring case); 0 otherwise.
int CheckContentMatchesExtension(const uint8_t* buffer, size_t length, std::string_view extension,
                                 SectorReader* source, int32_t sector_size, uint64_t start_sector);

// The content check as a record keeps it (see ContentCheckValue): whether `buffer` agrees with
// `extension` as CheckContentMatchesExtension tells, and, where the name's category is not the
// content's (the name contradicts the content, or no category knows the name), the type the
// identify walk finds and its category, which the listing then follows.
uint32_t JudgeContent(const uint8_t* buffer, size_t length, std::string_view extension,
                      SectorReader* source, int32_t sector_size, uint64_t start_sector);

// The category files of `type` are listed under ("photo", ...), or nullptr for an unknown type.
const char* CategoryOfType(int type);

// The extension carved files of `type` are named with, or "" for an unknown type.
const char* ExtensionOfType(int type);

// Whether a scan that carved a file of `type` goes on after the file's last sector
// (true) or with the sector after the file's first one (false, also for unknown types).
bool ScanSkipsCarvedFile(int type);

}  // namespace velmora
