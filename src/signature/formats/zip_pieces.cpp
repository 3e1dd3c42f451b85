#include "signature/formats/zip_pieces.h"

#include <zlib.h>

#include <algorithm>
#include <vector>

#include "storage/byte_view.h"
#include "signature/formats/file_view.h"
#include "signature/formats/inflate_check.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kMostGap = 64ull * 1024 * 1024;
constexpr uint64_t kMostArchive = 4ull * 1024 * 1024 * 1024;
constexpr size_t kMostMembers = 65535;
constexpr int kMostInflateTries = 32;

struct Member {
  uint64_t header;  // logical offset of its local header
  uint32_t crc;
  uint64_t packed;
  uint16_t method;
};

// CRC-32 of a deflated member's data read through `view`; nothing when it does not inflate
// to its end within its packed size.
std::optional<uint32_t> DeflatedCrc(JoinedView& view, uint64_t data, const Member& member) {
  const InflateOutcome outcome = Inflate(view, data, member.packed, false);
  if (!outcome.ended) return std::nullopt;
  return outcome.crc;
}

// CRC-32 of `count` bytes at `offset`, read straight from the source.
std::optional<uLong> RangeCrc(FileView& file, uint64_t offset, uint64_t count) {
  uLong crc = crc32(0, nullptr, 0);
  for (uint64_t done = 0; done < count;) {
    const ByteView chunk =
        file.Bytes(offset + done, static_cast<size_t>(std::min<uint64_t>(count - done, 65536)));
    if (chunk.empty()) return std::nullopt;
    crc = crc32(crc, chunk.data(), static_cast<uInt>(chunk.size()));
    done += chunk.size();
  }
  return crc;
}

// A stored member's CRC for every possible cut at once: the part before each cut read
// straight, the part after it one gap further on, joined with crc32_combine.
std::optional<uint64_t> StoredCut(FileView& file, uint64_t data, const Member& member,
                                  const std::vector<uint64_t>& cuts, uint64_t gap) {
  const uint64_t end = data + member.packed;
  std::vector<uint64_t> inside;
  for (uint64_t cut : cuts) {
    if (cut < end) inside.push_back(cut);
  }
  if (inside.empty()) return std::nullopt;
  // Suffix CRCs of the second piece's view, from each cut to the member's end.
  std::vector<uLong> suffix(inside.size());
  uLong after = crc32(0, nullptr, 0);
  uint64_t after_bytes = 0;
  for (size_t i = inside.size(); i-- > 0;) {
    const uint64_t to = i + 1 < inside.size() ? inside[i + 1] : end;
    const auto piece = RangeCrc(file, inside[i] + gap, to - inside[i]);
    if (!piece) return std::nullopt;
    after = crc32_combine(*piece, after, static_cast<z_off_t>(after_bytes));
    after_bytes += to - inside[i];
    suffix[i] = after;
  }
  std::optional<uint64_t> found;
  uLong before = crc32(0, nullptr, 0);
  uint64_t from = data;
  for (size_t i = 0; i < inside.size(); ++i) {
    const auto piece = RangeCrc(file, from, inside[i] - from);
    if (!piece) return std::nullopt;
    before = crc32_combine(before, *piece, static_cast<z_off_t>(inside[i] - from));
    from = inside[i];
    const uLong whole = crc32_combine(before, suffix[i], static_cast<z_off_t>(end - inside[i]));
    if (whole == member.crc) {
      if (found) return std::nullopt;  // two places fit: not without doubt
      found = inside[i];
    }
  }
  return found;
}

std::optional<std::vector<Member>> ReadDirectory(FileView& file, uint64_t at, uint64_t size) {
  std::vector<Member> members;
  const uint64_t end = at + size;
  while (at < end) {
    const ByteView entry = file.Bytes(at, 46);
    if (!entry.Matches(0, "PK\x01\x02") || members.size() >= kMostMembers) return std::nullopt;
    const uint32_t packed = *entry.Le32(20);
    const uint32_t header = *entry.Le32(42);
    if (packed == 0xFFFFFFFF || header == 0xFFFFFFFF) return std::nullopt;  // zip64: not here
    members.push_back({header, *entry.Le32(16), packed, *entry.Le16(10)});
    at += 46 + uint64_t{*entry.Le16(28)} + *entry.Le16(30) + *entry.Le16(32);
  }
  if (at != end || members.empty()) return std::nullopt;
  std::sort(members.begin(), members.end(),
            [](const Member& a, const Member& b) { return a.header < b.header; });
  return members;
}

}  // namespace

std::optional<TwoPieces> FindZipPieces(const CarveContext& context, uint64_t record_at,
                                       uint64_t directory_offset, uint64_t directory_size) {
  const uint64_t sector = static_cast<uint64_t>(context.sector_size);
  const uint64_t logical_end = directory_offset + directory_size;
  if (sector == 0 || record_at <= logical_end) return std::nullopt;
  const uint64_t gap = record_at - logical_end;
  if (gap % sector != 0 || gap > kMostGap || record_at > kMostArchive) return std::nullopt;

  FileView file(context, record_at + 22);
  const auto members = ReadDirectory(file, record_at - directory_size, directory_size);
  if (!members) return std::nullopt;
  // Members before the cut have their headers where the directory says, the others one gap
  // further on; the cut lies after the last of the first kind.
  size_t before = 0;
  while (before < members->size() &&
         file.Bytes((*members)[before].header, 4).Matches(0, "PK\x03\x04")) {
    ++before;
  }
  // All headers in place: the cut lies in the last member's data, before the directory.
  if (before == 0) return std::nullopt;
  for (size_t i = before; i < members->size(); ++i) {
    if (!file.Bytes((*members)[i].header + gap, 4).Matches(0, "PK\x03\x04")) return std::nullopt;
  }
  const Member& crossing = (*members)[before - 1];
  const ByteView local = file.Bytes(crossing.header, 30);
  if (local.empty() || (crossing.method != 0 && crossing.method != 8)) return std::nullopt;
  const uint64_t data = crossing.header + 30 + *local.Le16(26) + *local.Le16(28);
  const uint64_t next = before < members->size() ? (*members)[before].header : directory_offset;
  // Every sector boundary from inside the crossing member's data up to the next header.
  std::vector<uint64_t> cuts;
  for (uint64_t cut = (data / sector + 1) * sector; cut <= next; cut += sector) cuts.push_back(cut);
  if (cuts.empty()) return std::nullopt;
  if (crossing.method == 0) {
    const auto cut = StoredCut(file, data, crossing, cuts, gap);
    if (!cut) return std::nullopt;
    return TwoPieces{*cut, gap};
  }
  // Inflating straight on goes wrong soon after the cut: only boundaries before that point
  // can be it.
  JoinedView straight(file, UINT64_MAX, 0);
  const uint64_t reached = data + Inflate(straight, data, crossing.packed, false).used;
  cuts.erase(std::remove_if(cuts.begin(), cuts.end(), [&](uint64_t c) { return c > reached; }),
             cuts.end());
  // The nearest boundaries first; a CRC-32 that holds leaves no doubt.
  std::reverse(cuts.begin(), cuts.end());
  if (cuts.size() > static_cast<size_t>(kMostInflateTries)) cuts.resize(kMostInflateTries);
  std::optional<uint64_t> found;
  for (uint64_t cut : cuts) {
    JoinedView joined(file, cut, gap);
    const auto crc = DeflatedCrc(joined, data, crossing);
    if (crc && *crc == crossing.crc) {
      found = cut;
      break;
    }
  }
  if (!found) return std::nullopt;
  return TwoPieces{*found, gap};
}

}  // namespace velmora::formats
