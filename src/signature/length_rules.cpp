#include "signature/length_rules.h"

#include <algorithm>
#include <optional>

#include "signature/byte_search.h"
#include "signature/formats/format.h"
#include "signature/formats/iso_pieces.h"
#include "signature/forward_scan.h"
#include "signature/media_structure_length.h"
#include "storage/byte_view.h"
#include "storage/checksum.h"

namespace velmora::length {

namespace {

using bytes::kNotFound;

uint64_t SectorBytes(const CarveContext& context) {
  return static_cast<uint64_t>(context.sector_size);
}

// Forward scan whose marker, once accepted in a chunk, ends the file right after it.
uint64_t ScanUntilFooter(CarveContext& context, uint64_t cap, BoundaryMode mode,
                         std::string_view marker, bool all_occurrences) {
  return ForwardScan(context, cap, mode, [&](const ScanChunk& chunk, uint64_t* end) {
    const size_t at =
        FindFooterEnd(chunk.data, chunk.bytes, marker, context.sector_size, all_occurrences);
    if (at == kNotFound) return false;
    *end = chunk.file_offset + at;
    return true;
  });
}

// Footer searched in the first sector, then chunk by chunk; the first accepted one ends it.
uint64_t FirstSectorThenFooter(CarveContext& context, const uint8_t* buffer, size_t length,
                               uint64_t cap, std::string_view marker) {
  const size_t in_first = FindFooterEnd(buffer, length, marker, context.sector_size, true);
  if (in_first != kNotFound) return in_first;
  return ScanUntilFooter(context, cap, BoundaryMode::kEveryType, marker, true);
}

// Forward scan to the boundary while each chunk may offer a candidate end; the result is
// the smaller of the last candidate and the scanned length.
template <typename CandidateInChunk>
uint64_t ScanWithCandidate(CarveContext& context, uint64_t cap, std::optional<uint64_t> candidate,
                           CandidateInChunk candidate_in_chunk) {
  const uint64_t scanned =
      ForwardScan(context, cap, BoundaryMode::kEveryType, [&](const ScanChunk& chunk, uint64_t*) {
        const size_t at = candidate_in_chunk(chunk);
        if (at != kNotFound) candidate = chunk.file_offset + at;
        return false;
      });
  return candidate ? std::min(*candidate, scanned) : scanned;
}

// A file-system structure inside a structurally measured file means the file is not stored
// in one piece there, and carving over it would hide that structure from the scan that skips
// the carved file: the file then ends where the structure starts. A scan that sees those
// sectors anyway makes the check itself.
uint64_t UpToFileSystemStructure(CarveContext& context, uint64_t measured) {
  const uint64_t sector_size = SectorBytes(context);
  if (sector_size == 0 || measured <= sector_size) return measured;
  if (context.defer_structure_check) {
    context.structure_check_deferred = true;
    return measured;
  }
  return CutAtFileSystemStructure(context, measured);
}

}  // namespace

uint64_t CutAtFileSystemStructure(CarveContext& context, uint64_t measured,
                                  uint64_t from_sector) {
  const uint64_t sector_size = SectorBytes(context);
  if (sector_size == 0 || measured <= sector_size) return measured;
  const uint64_t first = context.start_sector;
  const uint64_t end = first + (measured + sector_size - 1) / sector_size;
  from_sector = std::clamp(from_sector, first + 1, end);
  // The scan looks at the sectors after its start sector: start it just before `from_sector`.
  context.start_sector = from_sector - 1;
  bool structure_inside = false;
  const uint64_t reached =
      ForwardScan(context, (end - from_sector) * sector_size, BoundaryMode::kFileSystemOnly,
                  [&](const ScanChunk& chunk, uint64_t*) {
                    structure_inside = chunk.boundary_found;
                    return false;
                  });
  context.start_sector = first;
  return structure_inside ? reached + (from_sector - 1 - first) * sector_size : measured;
}

uint64_t Mpeg(CarveContext& context, const uint8_t* buffer, size_t length) {
  const bool sequence_header = bytes::At(buffer, length, 0, {"\x00\x00\x01\xB3", 4});
  const std::string_view end_code = sequence_header ? std::string_view{"\x00\x00\x01\xB7", 4}
                                                    : std::string_view{"\x00\x00\x01\xB9", 4};
  return ScanUntilFooter(context, 4 * kGiB, BoundaryMode::kIgnoreMpeg, end_code, true);
}

namespace {

// A movie whose media data has foreign sectors inside: the gap is left out of its length.
std::optional<uint64_t> InTwoPieces(CarveContext& context) {
  const auto found = formats::FindIsoMediaPieces(context, 4 * kGiB);
  if (!found) return std::nullopt;
  context.first_piece_bytes = found->pieces.first_piece_bytes;
  context.gap_bytes = found->pieces.gap_bytes;
  return found->length;
}

}  // namespace

// The box chain gives the exact end; the encoder's marker is the fallback.
uint64_t Mp4(CarveContext& context, const uint8_t*, size_t) {
  if (const auto joined = InTwoPieces(context)) return *joined;
  if (const auto measured = media::IsoBoxChainLength(context, 4 * kGiB)) {
    return UpToFileSystemStructure(context, *measured);
  }
  static constexpr std::string_view kMarker = "freeIsoMedia File Produced";
  return ForwardScan(context, 4 * kGiB, BoundaryMode::kEveryType,
                     [](const ScanChunk& chunk, uint64_t* end) {
                       size_t at = bytes::Find(chunk.data, chunk.bytes, kMarker);
                       if (at == kNotFound) return false;
                       at += kMarker.size();
                       while (at < chunk.bytes && chunk.data[at] != 0) ++at;
                       *end = chunk.file_offset + at;
                       return true;
                     });
}

uint64_t RealMedia(CarveContext& context, const uint8_t*, size_t) {
  static constexpr std::string_view kIndexEnd{
      "\x49\x4E\x44\x58\x00\x00\x00\x14\x00\x00\x00\x00\x00\x00\x00\x02\x00\x00\x00\x00", 20};
  return ForwardScan(context, 4 * kGiB, BoundaryMode::kEveryType,
                     [](const ScanChunk& chunk, uint64_t* end) {
                       const size_t at = bytes::Find(chunk.data, chunk.bytes, kIndexEnd);
                       if (at == kNotFound) return false;
                       *end = chunk.file_offset + at + kIndexEnd.size();
                       return true;
                     });
}

// The file-properties object holds the file size, valid unless the broadcast flag is set.
uint64_t Asf(CarveContext& context, const uint8_t* buffer, size_t length) {
  static constexpr std::string_view kFileProperties{
      "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16};
  const size_t at = bytes::Find(buffer, length, kFileProperties, 30);
  if (at == kNotFound || at + 92 > length) return SectorBytes(context);
  const ByteView properties = ByteView({buffer, length}).Sub(at, 92);
  if ((properties.Le32(88).value_or(0) & 1) != 0) return SectorBytes(context);
  const uint64_t size = properties.Le64(40).value_or(0);
  if (size == 0) return SectorBytes(context);
  return std::min<uint64_t>(size, 256 * kMiB);
}

uint64_t Swf(CarveContext& context, const uint8_t* buffer, size_t length) {
  if (!bytes::At(buffer, length, 0, "FWS") || length < 8) return SectorBytes(context);
  return std::min<uint64_t>(ByteView({buffer, length}).Le32(4).value_or(0), 256 * kMiB);
}

uint64_t Riff(CarveContext&, const uint8_t* buffer, size_t length) {
  if (length < 8) return 0;
  return uint64_t{ByteView({buffer, length}).Le32(4).value_or(0)} + 8;
}

// An ID3v1 tag ("TAG" + 125 bytes) closes the file.
uint64_t Mp3(CarveContext& context, const uint8_t*, size_t) {
  return ScanWithCandidate(context, 2 * kGiB, std::nullopt, [](const ScanChunk& chunk) {
    const size_t at = bytes::Find(chunk.data, chunk.bytes, "TAG");
    return at == kNotFound ? kNotFound : at + 128;
  });
}

// Header chunk, then one "MTrk" chunk per track, each with a big-endian length.
uint64_t Midi(CarveContext& context, const uint8_t* buffer, size_t length) {
  const uint64_t scanned = ForwardScan(context, 8 * kMiB);
  if (length < 14) return scanned;
  const uint32_t tracks = ByteView({buffer, length}).Be16(10).value_or(0);
  uint64_t total = 14;
  for (uint32_t track = 0; track < tracks; ++track) {
    if (total >= scanned) return scanned;
    uint8_t header[8];
    if (total + 8 <= length) {
      std::copy(buffer + total, buffer + total + 8, header);
    } else if (!context.ReadFileBytes(total, sizeof header, header)) {
      return scanned;
    }
    if (!bytes::At(header, sizeof header, 0, "MTrk")) return scanned;
    total += 8 + uint64_t{ByteView(header).Be32(4).value_or(0)};
  }
  return std::min(total, scanned);
}

// An APE tag has a header and a footer, both "APETAGEX" version 2000, 32 bytes each.
uint64_t Ape(CarveContext& context, const uint8_t*, size_t) {
  static constexpr std::string_view kTag{"APETAGEX\xD0\x07", 10};
  return ForwardScan(context, 2 * kGiB, BoundaryMode::kEveryType,
                     [](const ScanChunk& chunk, uint64_t* end) {
                       const size_t first = bytes::Find(chunk.data, chunk.bytes, kTag);
                       if (first == kNotFound) return false;
                       const size_t second = bytes::Find(chunk.data, chunk.bytes, kTag, first + 1);
                       *end = chunk.file_offset + (second == kNotFound ? chunk.bytes : second + 32);
                       return true;
                     });
}

uint64_t Gif(CarveContext& context, const uint8_t* buffer, size_t length) {
  return FirstSectorThenFooter(context, buffer, length, 128 * kMiB, {"\x00\x3B", 2});
}

uint64_t Bmp(CarveContext&, const uint8_t* buffer, size_t length) {
  if (length < 6) return 0;
  return std::min<uint64_t>(ByteView({buffer, length}).Le32(2).value_or(0), 128 * kMiB);
}

// Camera pictures carry an EXIF thumbnail whose own end-of-image marker comes first and is
// followed by more picture data; every marker is tried, and only one whose sector tail is
// clear ends the file.
uint64_t Jpeg(CarveContext& context, const uint8_t* buffer, size_t length) {
  static constexpr std::string_view kEndOfImage = "\xFF\xD9";
  const size_t in_first = FindFooterEnd(buffer, length, kEndOfImage, context.sector_size, true);
  if (in_first != kNotFound) return in_first;
  return ScanWithCandidate(context, 128 * kMiB, std::nullopt, [&](const ScanChunk& chunk) {
    return FindFooterEnd(chunk.data, chunk.bytes, kEndOfImage, context.sector_size, true);
  });
}

uint64_t Png(CarveContext& context, const uint8_t* buffer, size_t length) {
  return FirstSectorThenFooter(context, buffer, length, 128 * kMiB, "IEND\xAE\x42\x60\x82");
}

namespace {

// End of the last "%%EOF" (with its line end) or, failing that, of the last "trailer".
size_t PdfEndIn(const uint8_t* data, size_t bytes) {
  const size_t eof = bytes::FindLast(data, bytes, "%%EOF");
  if (eof != kNotFound) {
    size_t end = eof + 5;
    if (end < bytes && data[end] == '\r') ++end;
    if (end < bytes && data[end] == '\n') ++end;
    return end;
  }
  const size_t trailer = bytes::FindLast(data, bytes, "trailer");
  return trailer == kNotFound ? kNotFound : trailer + 7;
}

}  // namespace

// A file saved with incremental updates or linearised has several "%%EOF"; the last one
// before the next boundary ends it.
uint64_t Pdf(CarveContext& context, const uint8_t* buffer, size_t length) {
  std::optional<uint64_t> candidate;
  const size_t in_first = PdfEndIn(buffer, length);
  if (in_first != kNotFound) candidate = in_first;
  return ScanWithCandidate(context, 1 * kGiB, candidate, [](const ScanChunk& chunk) {
    return PdfEndIn(chunk.data, chunk.bytes);
  });
}

namespace {

}  // namespace

// The start header names where the archive's closing header lies and how long it is;
// when its checksum holds, that gives the exact length. Otherwise the coder record of
// an LZMA-packed closing header is looked for.
uint64_t SevenZip(CarveContext& context, const uint8_t* buffer, size_t length) {
  constexpr uint64_t kCap = 4 * kGiB;
  constexpr size_t kStartHeaderBytes = 32;
  const ByteView start({buffer, length});
  if (length >= kStartHeaderBytes && Crc32(buffer + 12, 20) == start.Le32(8)) {
    const uint64_t offset = start.Le64(12).value_or(0);
    const uint64_t size = start.Le64(20).value_or(0);
    if (offset <= kCap && size <= kCap) return std::min(kStartHeaderBytes + offset + size, kCap);
  }
  static constexpr std::string_view kCoderTail{"\x00\x07\x0B\x01\x00\x01\x23\x03\x01\x01\x05\x5D",
                                               12};
  return ForwardScan(context, kCap, BoundaryMode::kEveryType,
                     [](const ScanChunk& chunk, uint64_t* end) {
                       const size_t at = bytes::FindLast(chunk.data, chunk.bytes, kCoderTail);
                       if (at == kNotFound) return false;
                       *end = chunk.file_offset + at + 27;
                       return true;
                     });
}

uint64_t Rar(CarveContext& context, const uint8_t*, size_t) {
  return ScanUntilFooter(context, 4 * kGiB, BoundaryMode::kEveryType,
                         {"\xC4\x3D\x7B\x00\x40\x07\x00", 7}, true);
}

uint64_t Cab(CarveContext& context, const uint8_t* buffer, size_t length) {
  if (length < 36) return SectorBytes(context);
  return std::min<uint64_t>(ByteView({buffer, length}).Le32(8).value_or(0), 1 * kGiB);
}

uint64_t IsoMedia(CarveContext& context, const uint8_t*, size_t) {
  if (const auto joined = InTwoPieces(context)) return *joined;
  if (const auto measured = media::IsoBoxChainLength(context, 4 * kGiB)) {
    return UpToFileSystemStructure(context, *measured);
  }
  return ForwardScan(context, 4 * kGiB);
}

uint64_t Matroska(CarveContext& context, const uint8_t*, size_t) {
  if (const auto measured = media::MatroskaLength(context, 64 * kGiB)) {
    return UpToFileSystemStructure(context, *measured);
  }
  return ForwardScan(context, 64 * kGiB);
}

uint64_t ToBoundary128MiB(CarveContext& context, const uint8_t*, size_t) {
  return ForwardScan(context, 128 * kMiB);
}
uint64_t ToBoundary256MiB(CarveContext& context, const uint8_t*, size_t) {
  return ForwardScan(context, 256 * kMiB);
}
uint64_t ToBoundary2GiB(CarveContext& context, const uint8_t*, size_t) {
  return ForwardScan(context, 2 * kGiB);
}
uint64_t ToBoundary4GiB(CarveContext& context, const uint8_t*, size_t) {
  return ForwardScan(context, 4 * kGiB);
}
uint64_t ToBoundary6GiB(CarveContext& context, const uint8_t*, size_t) {
  return ForwardScan(context, 6 * kGiB);
}

}  // namespace velmora::length
