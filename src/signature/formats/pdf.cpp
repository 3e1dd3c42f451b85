#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

#include "signature/byte_search.h"
#include "signature/formats/format.h"
#include "signature/formats/inflate_check.h"
#include "signature/forward_scan.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kCap = 1 * kGiB;
constexpr uint64_t kReach = 64 * kMiB;  // how far past the first rule's end a second piece may lie
constexpr int kMostInflateTries = 32;
constexpr size_t kMostObjects = 1'000'000;

std::string_view Text(const ByteView& view) {
  return {reinterpret_cast<const char*>(view.data()), view.size()};
}

// The number after `at` (spaces and line ends skipped).
std::optional<uint64_t> NumberAfter(std::string_view text, size_t at) {
  while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at]))) ++at;
  uint64_t value = 0;
  size_t digits = 0;
  for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])) && digits < 12;
       ++at, ++digits) {
    value = value * 10 + static_cast<uint64_t>(text[at] - '0');
  }
  return digits > 0 ? std::optional(value) : std::nullopt;
}

bool ObjectAt(FileView& file, uint64_t offset) {
  const std::string_view text = Text(file.Upto(offset, 32));
  size_t at = 0;
  for (int field = 0; field < 2; ++field) {
    const size_t start = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    if (at == start || at >= text.size() || text[at] != ' ') return false;
    ++at;
  }
  return text.substr(at, 3) == "obj";
}

// In-use object offsets of a classic cross-reference table at `at`.
std::optional<std::vector<uint64_t>> ReadTable(FileView& file, uint64_t at) {
  std::vector<uint64_t> offsets;
  if (!file.Bytes(at, 4).Matches(0, "xref")) return std::nullopt;
  at += 4;
  while (true) {
    const std::string_view head = Text(file.Upto(at, 64));
    size_t skip = 0;
    while (skip < head.size() && std::isspace(static_cast<unsigned char>(head[skip]))) ++skip;
    if (head.substr(skip, 7) == "trailer") break;
    const auto first = NumberAfter(head, skip);
    const size_t space = head.find(' ', skip);
    if (!first || space == std::string_view::npos) return std::nullopt;
    const auto count = NumberAfter(head, space);
    const size_t line_end = head.find('\n', space);
    if (!count || line_end == std::string_view::npos || offsets.size() + *count > kMostObjects) {
      return std::nullopt;
    }
    at += line_end + 1;
    for (uint64_t i = 0; i < *count; ++i, at += 20) {
      const std::string_view entry = Text(file.Bytes(at, 20));
      if (entry.size() != 20) return std::nullopt;
      if (entry[17] == 'n') offsets.push_back(*NumberAfter(entry, 0));
    }
  }
  std::sort(offsets.begin(), offsets.end());
  return offsets;
}

struct Tail {
  uint64_t startxref_at;  // physical, from the file's first byte
  uint64_t end;           // physical end after %%EOF and its line end
};

// Where the stream inside the object at `object` begins, and whether it is deflated.
std::optional<std::pair<uint64_t, bool>> StreamOf(JoinedView& view, uint64_t object) {
  const std::string head = view.Copy(object, 4096);
  const std::string_view text = head;
  const size_t keyword = text.find("stream");
  if (keyword == std::string_view::npos ||
      text.substr(0, keyword).find("endobj") != std::string_view::npos) {
    return std::nullopt;
  }
  size_t data = keyword + 6;
  if (text.substr(data, 2) == "\r\n") {
    data += 2;
  } else if (data < text.size() && text[data] == '\n') {
    data += 1;
  } else {
    return std::nullopt;
  }
  const bool deflated = text.substr(0, keyword).find("/FlateDecode") != std::string_view::npos;
  return std::pair{object + data, deflated};
}

// A file whose cross-reference table lies a whole number of sectors further on than the
// startxref value says: the objects the table lists place the cut; when more than one sector
// boundary fits, the deflated stream that crosses it must inflate to its end only one way.
std::optional<uint64_t> FindCut(FileView& file, uint64_t table, uint64_t gap, uint64_t sector) {
  const auto offsets = ReadTable(file, table);
  if (!offsets || offsets->empty()) return std::nullopt;
  size_t before = 0;
  while (before < offsets->size() && ObjectAt(file, (*offsets)[before])) ++before;
  if (before == 0) return std::nullopt;
  for (size_t i = before; i < offsets->size(); ++i) {
    if (!ObjectAt(file, (*offsets)[i] + gap)) return std::nullopt;
  }
  const uint64_t last_before = (*offsets)[before - 1];
  const uint64_t next = before < offsets->size() ? (*offsets)[before] : table - gap;
  std::vector<uint64_t> cuts;
  for (uint64_t cut = (last_before / sector + 1) * sector; cut <= next; cut += sector) {
    cuts.push_back(cut);
  }
  if (cuts.size() == 1) return cuts.front();
  // Inflating straight on goes wrong soon after the cut: only boundaries before that point
  // can be it (when the stream's start lies before the cut, so the straight read finds it).
  JoinedView straight(file, UINT64_MAX, 0);
  if (const auto stream = StreamOf(straight, last_before); stream && stream->second) {
    const uint64_t reached = stream->first + Inflate(straight, stream->first, next, true).used;
    cuts.erase(std::remove_if(cuts.begin(), cuts.end(), [&](uint64_t c) { return c > reached; }),
               cuts.end());
  }
  std::reverse(cuts.begin(), cuts.end());
  for (size_t i = 0; i < cuts.size() && i < static_cast<size_t>(kMostInflateTries); ++i) {
    JoinedView joined(file, cuts[i], gap);
    const auto stream = StreamOf(joined, last_before);
    if (!stream || !stream->second || cuts[i] <= last_before) continue;
    const InflateOutcome outcome = Inflate(joined, stream->first, next - stream->first, true);
    if (!outcome.ended) continue;
    const std::string after = joined.Copy(stream->first + outcome.used, 16);
    if (after.find("endstream") != std::string_view::npos) return cuts[i];
  }
  return std::nullopt;
}

int IdentifyPdf(CarveContext&, const uint8_t* b, size_t length) {
  return length >= 5 && bytes::At(b, length, 0, "%PDF-") ? 8 : kNoSignatureType;
}

// End of the last "%%EOF" (with its line end) or, failing that, of the last "trailer".
size_t PdfEndIn(const uint8_t* data, size_t bytes) {
  const size_t eof = bytes::FindLast(data, bytes, "%%EOF");
  if (eof != bytes::kNotFound) {
    size_t end = eof + 5;
    if (end < bytes && data[end] == '\r') ++end;
    if (end < bytes && data[end] == '\n') ++end;
    return end;
  }
  const size_t trailer = bytes::FindLast(data, bytes, "trailer");
  return trailer == bytes::kNotFound ? bytes::kNotFound : trailer + 7;
}

// A file saved with incremental updates or linearised has several "%%EOF"; the last one
// before the next boundary ends it.
uint64_t PdfByEof(CarveContext& context, const uint8_t* buffer, size_t length) {
  std::optional<uint64_t> candidate;
  const size_t in_first = PdfEndIn(buffer, length);
  if (in_first != bytes::kNotFound) candidate = in_first;
  return ScanWithCandidate(context, 1 * kGiB, candidate, [](const ScanChunk& chunk) {
    return PdfEndIn(chunk.data, chunk.bytes);
  });
}

uint64_t MeasurePdf(CarveContext& context, const uint8_t* buffer, size_t length) {
  const uint64_t contiguous = PdfByEof(context, buffer, length);
  const uint64_t sector = static_cast<uint64_t>(context.sector_size);
  if (sector == 0) return contiguous;
  FileView file(context, std::min(kCap, contiguous + kReach));
  // A file that ends where its own startxref says is in one piece.
  const ByteView last = file.Upto(contiguous > 1024 ? contiguous - 1024 : 0, 1024);
  const size_t mark = Text(last).rfind("startxref");
  if (mark != std::string_view::npos) {
    const auto table = NumberAfter(Text(last), mark + 9);
    if (table && (file.Bytes(*table, 4).Matches(0, "xref") || ObjectAt(file, *table))) {
      return contiguous;
    }
  }
  std::optional<uint64_t> joined_end;
  ForwardScan(context, file.limit(), BoundaryMode::kFileSystemOnly,
              [&](const ScanChunk& chunk, uint64_t* end) {
                const std::string_view text(reinterpret_cast<const char*>(chunk.data), chunk.bytes);
                for (size_t at = text.find("startxref"); at != std::string_view::npos;
                     at = text.find("startxref", at + 1)) {
                  const auto logical = NumberAfter(text, at + 9);
                  const size_t table_at = text.rfind("xref", at - 1);
                  const size_t eof = text.find("%%EOF", at);
                  if (!logical || table_at == std::string_view::npos ||
                      eof == std::string_view::npos || table_at + 4 > at) {
                    continue;
                  }
                  const uint64_t table = chunk.file_offset + table_at;
                  if (table <= *logical || (table - *logical) % sector != 0) continue;
                  const uint64_t gap = table - *logical;
                  const auto cut = FindCut(file, table, gap, sector);
                  if (!cut) continue;
                  uint64_t physical_end = chunk.file_offset + eof + 5;
                  const std::string_view tail = text.substr(eof + 5, 2);
                  if (tail.substr(0, 2) == "\r\n") {
                    physical_end += 2;
                  } else if (!tail.empty() && (tail[0] == '\n' || tail[0] == '\r')) {
                    physical_end += 1;
                  }
                  context.first_piece_bytes = *cut;
                  context.gap_bytes = gap;
                  joined_end = physical_end - gap;
                  *end = *joined_end;
                  return true;
                }
                return false;
              });
  return joined_end.value_or(contiguous);
}

}  // namespace

extern const Format kPdf = {"pdf", nullptr, 8, "document", "%", 1, true, IdentifyPdf, MeasurePdf};

}  // namespace velmora::formats
