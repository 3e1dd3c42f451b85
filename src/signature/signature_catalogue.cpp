#include "signature/signature_catalogue.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "engine/categories.h"
#include "signature/formats/registry.h"
#include "signature/identify_walk.h"
#include "signature/signature_table.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr int kTransportStreamType = 20;
constexpr int kMtsType = 47;
constexpr int kOtherCompoundType = 2;

bool IsCompoundDocumentType(int type) { return type == 0 || type == 3 || type == 5; }

bool UsableSectorSize(int32_t sector_size) {
  return sector_size >= 32 && static_cast<size_t>(sector_size) <= CarveContext::kScratchBytes;
}

// Points the context at the candidate's first sector.
void PointAt(CarveContext& context, int32_t sector_size, SectorReader* source,
             uint64_t start_sector) {
  context.sector_size = sector_size;
  context.source = source;
  context.start_sector = start_sector;
  context.cursor = start_sector;
  if (context.scratch.size() < CarveContext::kScratchBytes) {
    context.scratch.resize(CarveContext::kScratchBytes);
  }
}

// Clears what a length operation reports through the context.
void ClearMeasureOutputs(CarveContext& context) {
  context.stop_code = 0;
  context.structure_check_deferred = false;
  context.first_piece_bytes = 0;
  context.gap_bytes = 0;
}

// The type of the first of `rows` (all of one extension) whose identify operation gives that
// row's own type, or kNoSignatureType.
int AgreeingType(const std::vector<const SignatureRow*>& rows, const uint8_t* buffer, size_t length,
                 SectorReader* source, int32_t sector_size, uint64_t start_sector) {
  if (buffer == nullptr || !UsableSectorSize(sector_size)) return kNoSignatureType;
  for (const SignatureRow* row : rows) {
    CarveContext context;
    context.sector_size = sector_size;
    context.source = source;
    context.start_sector = start_sector;
    context.cursor = start_sector;
    context.ts_continuation = false;
    const int identified = row->identify(context, buffer, length);
    if (identified == row->type) return row->type;
    // A compound file whose kind the probe cannot tell (an encrypted workbook has no
    // readable stream names) does not contradict a document name of a compound kind.
    if (identified == kOtherCompoundType && IsCompoundDocumentType(row->type)) return row->type;
  }
  return kNoSignatureType;
}

// Lets the category listing name the type a content check identified.
const bool kContentTypesNamed = (SetContentTypeNamer(&ExtensionOfType), true);

}  // namespace

int IdentifyAndMeasure(CarveContext& context, int32_t sector_size, SectorReader* source,
                       const uint8_t* buffer, size_t length, uint64_t start_sector,
                       const CarveProgress& progress, CarveResult* result) {
  if (result == nullptr || buffer == nullptr || !UsableSectorSize(sector_size)) {
    return kErrInvalidParameter;
  }
  *result = CarveResult{};
  // The second piece of a file already carved is that file's, not a new one.
  if (context.InSecondPiece(start_sector)) return kErrInvalidParameter;
  PointAt(context, sector_size, source, start_sector);
  context.processed = progress.processed;
  context.total = progress.total;
  context.seconds_remaining = progress.seconds_remaining;
  context.found = progress.found;

  const int type = context.NothingStartsAt(start_sector) ? kNoSignatureType
                                                         : IdentifyType(context, buffer, length);
  ForgetStreamState(context);
  const SignatureRow* row = type == kNoSignatureType ? nullptr : FirstRowOfType(type);
  if (row == nullptr) return kNothingCarved;
  result->type = type;
  if (row->length == nullptr) return kNothingCarved;
  context.ts_continuation = type == kTransportStreamType;
  context.mts_flag = type == kMtsType;

  char name[300];
  std::snprintf(name, sizeof name, "%" PRIu64 ".%s", start_sector, row->extension);
  result->name = name;

  ClearMeasureOutputs(context);
  uint64_t measured = 0;
  const MeasuredAhead* ahead = context.MeasuredAheadAt(start_sector);
  if (ahead != nullptr && ahead->type == type) {
    measured = ahead->measured;
    context.cursor = ahead->cursor;
    context.structure_check_deferred = ahead->structure_check_deferred;
    context.first_piece_bytes = ahead->first_piece_bytes;
    context.gap_bytes = ahead->gap_bytes;
  } else {
    measured = row->length(context, buffer, length);
  }
  result->uncut_length = measured;
  result->length = std::min(measured, context.BytesFromStart());
  const uint64_t size = static_cast<uint64_t>(sector_size);
  // Nor does a file measured here run on into the second piece of one carved before.
  for (const TsRange& piece : context.second_pieces) {
    if (piece.first_sector > start_sector &&
        (piece.first_sector - start_sector) * size < result->length) {
      result->length = (piece.first_sector - start_sector) * size;
    }
  }
  if (context.gap_bytes != 0 && context.first_piece_bytes % size == 0 &&
      context.gap_bytes % size == 0 && context.first_piece_bytes < measured &&
      measured <= context.BytesFromStart() - context.gap_bytes) {
    result->first_piece_bytes = context.first_piece_bytes;
    result->gap_bytes = context.gap_bytes;
    const uint64_t second = start_sector + (context.first_piece_bytes + context.gap_bytes) / size;
    const uint64_t last = start_sector + (measured + context.gap_bytes + size - 1) / size - 1;
    context.second_pieces.push_back({second, last});
  }
  return context.stop_code == kCancelledByUser ? kCancelledByUser : kSuccess;
}

bool MeasureAhead(CarveContext& context, int32_t sector_size, SectorReader* source,
                  const uint8_t* buffer, size_t length, uint64_t start_sector, MeasuredAhead* out) {
  if (out == nullptr || buffer == nullptr || !UsableSectorSize(sector_size)) return false;
  PointAt(context, sector_size, source, start_sector);
  context.progress = nullptr;
  // Identified with the stream tests at their most permissive: no stream is being continued.
  // Then "nothing here" holds whatever streams the pass carved before, and so does a type
  // other than a stream's. The same settings are the ones a type other than a stream's is
  // measured with.
  context.ts_continuation = false;
  context.mts_flag = false;
  const int type = IdentifyType(context, buffer, length);
  out->sector = start_sector;
  out->type = type;
  // Streams are measured against the streams carved before them: only the pass can.
  if (type == kNoSignatureType || type == kTransportStreamType || type == kMtsType) return false;
  const SignatureRow* row = FirstRowOfType(type);
  if (row == nullptr || row->length == nullptr) return false;
  ClearMeasureOutputs(context);
  out->measured = row->length(context, buffer, length);
  out->cursor = context.cursor;
  out->first_piece_bytes = context.first_piece_bytes;
  out->gap_bytes = context.gap_bytes;
  out->structure_check_deferred = context.structure_check_deferred;
  return context.stop_code == 0;
}

void ForgetStreamState(CarveContext& context) {
  context.ts_continuation = true;
  context.mts_flag = false;
}

int CheckContentMatchesExtension(const uint8_t* buffer, size_t length, std::string_view extension,
                                 SectorReader* source, int32_t sector_size, uint64_t start_sector) {
  const std::vector<const SignatureRow*>& rows = RowsWithExtension(extension);
  if (rows.empty()) return 1;
  return AgreeingType(rows, buffer, length, source, sector_size, start_sector) == kNoSignatureType
             ? 0
             : 1;
}

uint32_t JudgeContent(const uint8_t* buffer, size_t length, std::string_view extension,
                      SectorReader* source, int32_t sector_size, uint64_t start_sector) {
  const std::vector<const SignatureRow*>& rows = RowsWithExtension(extension);
  int type = kNoSignatureType;
  bool agrees = true;
  if (!rows.empty()) {
    type = AgreeingType(rows, buffer, length, source, sector_size, start_sector);
    agrees = type != kNoSignatureType;
  }
  const std::string name_category =
      extension.empty() ? "others" : CategoryOfName("x." + std::string(extension));
  // A name the content agrees with and a category list names keeps its own category.
  if (agrees && !extension.empty() && NamedByWholeEntry(extension)) return kContentAgrees;
  if (type == kNoSignatureType && buffer != nullptr && UsableSectorSize(sector_size)) {
    CarveContext context;
    PointAt(context, sector_size, source, start_sector);
    context.ts_continuation = false;
    type = IdentifyType(context, buffer, length);
  }
  const char* content_category = type == kNoSignatureType ? nullptr : CategoryOfType(type);
  const uint32_t agreement = agrees ? kContentAgrees : 0;
  // A contradicted name keeps what its content is even in its own category: a PNG named
  // .jpg is a photo, not a photo hidden for failing its check.
  if (content_category == nullptr || (agrees && name_category == content_category)) {
    return agreement;
  }
  return ContentCheckValue(agrees, content_category, type);
}

const char* CategoryOfType(int type) {
  for (const formats::Format* format : formats::RegisteredFormats()) {
    if (format->type == type) return format->category;
  }
  return nullptr;
}

bool ScanSkipsCarvedFile(int type) {
  const SignatureRow* row = FirstRowOfType(type);
  return row != nullptr && row->skip_after;
}

const char* ExtensionOfType(int type) {
  const SignatureRow* row = FirstRowOfType(type);
  return row == nullptr ? "" : row->extension;
}

}  // namespace velmora
