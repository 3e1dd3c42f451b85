#include <algorithm>
#include <cctype>
#include <optional>
#include <vector>

#include "signature/formats/format.h"
#include "signature/formats/zip_pieces.h"
#include "storage/byte_view.h"

namespace velmora::formats {

namespace {

constexpr std::string_view kLocalHeader = "PK\x03\x04";
constexpr std::string_view kCentralHeader = "PK\x01\x02";
constexpr std::string_view kEndOfCentralDirectory = "PK\x05\x06";
constexpr size_t kEndRecordBytes = 22;
constexpr int kWindows = 5;
constexpr uint32_t kSectorsPerWindow = 4;
constexpr size_t kCarryBytes = 4;
// How far past the first apparent boundary an archive's own end record is looked for.
constexpr uint64_t kReachPastBoundary = 64ull * 1024 * 1024;

constexpr int kWordPackage = 1;
constexpr int kSpreadsheetPackage = 4;
constexpr int kPresentationPackage = 6;
constexpr int kAnyOfficePackage = 7;

bool StartsWithIgnoringCase(const uint8_t* data, size_t available, std::string_view prefix,
                            size_t needed) {
  if (available < needed) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(data[i]) != prefix[i]) return false;
  }
  return true;
}

int ClassifyPartName(const uint8_t* window, size_t bytes, size_t name_at) {
  if (name_at >= bytes) return kNoSignatureType;
  const uint8_t* name = window + name_at;
  const size_t available = bytes - name_at;
  if (StartsWithIgnoringCase(name, available, "word", 5)) return kWordPackage;
  if (StartsWithIgnoringCase(name, available, "ppt", 4)) return kPresentationPackage;
  if (StartsWithIgnoringCase(name, available, "xl", 3)) return kSpreadsheetPackage;
  return kNoSignatureType;
}

// Walks the headers carrying `signature` before `limit`; the first classifying part name decides.
int ClassifyHeaders(const uint8_t* window, size_t bytes, size_t limit, std::string_view signature,
                    size_t name_offset) {
  for (size_t at = bytes::Find(window, bytes, signature); at != bytes::kNotFound && at < limit;
       at = bytes::Find(window, bytes, signature, at + 1)) {
    const int type = ClassifyPartName(window, bytes, at + name_offset);
    if (type != kNoSignatureType) return type;
  }
  return kNoSignatureType;
}

int ClassifyWindow(const uint8_t* window, size_t bytes) {
  const size_t end_record = bytes::Find(window, bytes, kEndOfCentralDirectory);
  const size_t limit = end_record == bytes::kNotFound ? bytes : end_record;
  const int local = ClassifyHeaders(window, bytes, limit, kLocalHeader, 30);
  if (local != kNoSignatureType) return local;
  return ClassifyHeaders(window, bytes, limit, kCentralHeader, 46);
}

// The package test over the first 20 sectors from the cursor, in windows of four sectors;
// the last bytes of a window are carried into the next so straddling headers are seen.
int ClassifyPackage(CarveContext& context, const uint8_t* buffer, size_t length) {
  const bool local_header = length >= 31 && bytes::At(buffer, length, 0, kLocalHeader);
  if (!local_header && !bytes::At(buffer, length, 31, "[Content_Types].xml")) {
    return kNoSignatureType;
  }
  const size_t sector = static_cast<size_t>(context.sector_size);
  if (sector == 0) return kNoSignatureType;
  const uint64_t source_sectors = context.SourceSectors();
  std::vector<uint8_t> window(kCarryBytes + kSectorsPerWindow * sector);
  for (int w = 0; w < kWindows; ++w) {
    const uint64_t first = context.cursor + static_cast<uint64_t>(w) * kSectorsPerWindow;
    if (first >= source_sectors) return kNoSignatureType;
    const uint32_t count =
        static_cast<uint32_t>(std::min<uint64_t>(kSectorsPerWindow, source_sectors - first));
    if (!context.Read(first, count, window.data() + kCarryBytes)) return kNoSignatureType;
    const size_t read_bytes = count * sector;
    const uint8_t* begin = w == 0 ? window.data() + kCarryBytes : window.data();
    const size_t bytes = w == 0 ? read_bytes : read_bytes + kCarryBytes;
    const int type = ClassifyWindow(begin, bytes);
    if (type != kNoSignatureType) return type;
    std::copy(window.data() + read_bytes, window.data() + read_bytes + kCarryBytes, window.data());
  }
  return kNoSignatureType;
}

// End of the end-of-central-directory record starting at `at`, with its comment.
size_t EndRecordEnd(const uint8_t* data, size_t bytes, size_t at) {
  size_t end = at + kEndRecordBytes;
  if (end <= bytes) end += ByteView({data, bytes}).Le16(at + 20).value_or(0);
  return end;
}

// A record in the first sector closes the file only when the central directory it
// describes ends right in front of it, so a stored archive inside does not end it.
size_t EndRecordInFirstSector(const uint8_t* buffer, size_t length) {
  for (size_t at = bytes::FindLast(buffer, length, kEndOfCentralDirectory); at != bytes::kNotFound;
       at = bytes::FindLast(buffer, length, kEndOfCentralDirectory, at)) {
    if (at + kEndRecordBytes > length) continue;
    const ByteView record = ByteView({buffer, length}).Sub(at, kEndRecordBytes);
    const uint64_t directory_end =
        uint64_t{record.Le32(16).value_or(0)} + record.Le32(12).value_or(0);
    if (directory_end == at) return EndRecordEnd(buffer, length, at);
  }
  return bytes::kNotFound;
}

// The record at `at` describes a central directory that ends right in front of it, counted
// from the file's first byte (zip64 keeps its numbers in a record of its own before it).
bool DescribesOwnDirectory(const uint8_t* data, size_t bytes, size_t at, uint64_t record_offset) {
  if (at + kEndRecordBytes > bytes) return false;
  const ByteView record = ByteView({data, bytes}).Sub(at, kEndRecordBytes);
  const uint32_t size = record.Le32(12).value_or(0);
  const uint32_t offset = record.Le32(16).value_or(0);
  if (size == 0xFFFFFFFF || offset == 0xFFFFFFFF) {
    return at >= 20 && bytes::At(data, bytes, at - 20, "PK\x06\x07");
  }
  return uint64_t{offset} + size == record_offset;
}

uint64_t MeasureZip(CarveContext& context, const uint8_t* buffer, size_t length, uint64_t cap) {
  const size_t in_first = EndRecordInFirstSector(buffer, length);
  if (in_first != bytes::kNotFound) return in_first;
  bool own_directory = false;
  const uint64_t scanned = ForwardScan(
      context, cap, BoundaryMode::kEveryType, [&](const ScanChunk& chunk, uint64_t* end) {
        const size_t at = bytes::FindLast(chunk.data, chunk.bytes, kEndOfCentralDirectory);
        if (at == bytes::kNotFound) return false;
        own_directory = DescribesOwnDirectory(chunk.data, chunk.bytes, at, chunk.file_offset + at);
        *end = chunk.file_offset + EndRecordEnd(chunk.data, chunk.bytes, at);
        return true;
      });
  if (own_directory) return scanned;
  // A member's own local header, or a stored picture, on a sector boundary looks like a new
  // file; the end record that describes this archive's directory says where it really ends.
  const uint64_t reach = std::min(cap, scanned + kReachPastBoundary);
  std::optional<uint64_t> described;
  ForwardScan(
      context, reach, BoundaryMode::kFileSystemOnly, [&](const ScanChunk& chunk, uint64_t* end) {
        for (size_t at = bytes::Find(chunk.data, chunk.bytes, kEndOfCentralDirectory);
             at != bytes::kNotFound;
             at = bytes::Find(chunk.data, chunk.bytes, kEndOfCentralDirectory, at + 1)) {
          const uint64_t record_at = chunk.file_offset + at;
          if (DescribesOwnDirectory(chunk.data, chunk.bytes, at, record_at)) {
            described = chunk.file_offset + EndRecordEnd(chunk.data, chunk.bytes, at);
            *end = *described;
            return true;
          }
          if (at + kEndRecordBytes > chunk.bytes) continue;
          const ByteView record = ByteView({chunk.data, chunk.bytes}).Sub(at, kEndRecordBytes);
          // Foreign sectors inside the archive put its end record further on than
          // its directory says; the members place them.
          const auto pieces = FindZipPieces(context, record_at, record.Le32(16).value_or(0),
                                            record.Le32(12).value_or(0));
          if (pieces) {
            context.first_piece_bytes = pieces->first_piece_bytes;
            context.gap_bytes = pieces->gap_bytes;
            described =
                chunk.file_offset + EndRecordEnd(chunk.data, chunk.bytes, at) - pieces->gap_bytes;
            *end = *described;
            return true;
          }
        }
        return false;
      });
  return described.value_or(scanned);
}

int IdentifyPlainZip(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 48 && bytes::At(b, length, 0, "PK\x03\x04") ? 35 : kNoSignatureType;
}

int IdentifyZipPackage(CarveContext& context, const uint8_t* buffer, size_t length) {
  return ClassifyPackage(context, buffer, length);
}

// Never met in the identify walk (the rows before it take every classified package);
// it lets the content check accept any office package for its extension.
int IdentifyOfficePackage(CarveContext& context, const uint8_t* buffer, size_t length) {
  return ClassifyPackage(context, buffer, length) == kNoSignatureType ? kNoSignatureType
                                                                      : kAnyOfficePackage;
}

uint64_t MeasureZipPackage(CarveContext& context, const uint8_t* buffer, size_t length) {
  return MeasureZip(context, buffer, length, 134'217'727);
}

uint64_t MeasurePlainZip(CarveContext& context, const uint8_t* buffer, size_t length) {
  return MeasureZip(context, buffer, length, 4 * kGiB);
}

}  // namespace

extern const Format kWordPackage = {
    "docx", "docm dotm dotx", 1, "document", "", 0, true, IdentifyZipPackage, MeasureZipPackage};
extern const Format kSpreadsheetPackage = {"xlsx",
                                           "xlsb xlsm xlsx xlam xltx xltm",
                                           4,
                                           "document",
                                           "",
                                           0,
                                           true,
                                           IdentifyZipPackage,
                                           MeasureZipPackage};
extern const Format kPresentationPackage = {
    "pptx",           "pptm potx potm ppsx ppsm", 6, "document", "", 0, true, IdentifyZipPackage,
    MeasureZipPackage};
extern const Format kAnyOfficePackage = {
    "mso07", nullptr, 7, "others", "", 0, true, IdentifyOfficePackage, MeasureZipPackage};
extern const Format kZip = {"zip",          nullptr, 35, "archive", "P", 1, true, IdentifyPlainZip,
                            MeasurePlainZip};

}  // namespace velmora::formats
