#include "signature/formats/iso_pieces.h"

#include <algorithm>
#include <array>
#include <string_view>
#include <vector>

#include "storage/byte_view.h"
#include "signature/formats/file_view.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kMostGap = 32ull * 1024 * 1024;
constexpr uint64_t kMostMovieBox = 32ull * 1024 * 1024;
constexpr size_t kMostSamples = 4'000'000;
constexpr size_t kMostCutsTried = 4096;
constexpr int kMostBoxes = 4096;

constexpr std::array<std::string_view, 19> kTopLevelTypes = {
    "ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta", "pnot", "PICT",
    "udta", "moof", "mfra", "sidx", "ssix", "styp", "pdin", "prft", "emsg"};

enum class Kind : uint8_t { kOther, kAvc, kHevc, kAac };

struct Sample {
  uint64_t at;  // from the file's first byte, as the tables say (gap left out)
  uint32_t size;
  Kind kind;
  uint8_t length_size;  // bytes of each NAL length
};

struct Box {
  uint64_t at;
  uint64_t size;
  std::string_view type;
};

using Mapping = PieceMapping;
constexpr Mapping kStraight = kInOnePiece;

std::optional<Box> BoxAt(FileView& file, uint64_t at) {
  const ByteView head = file.Bytes(at, 8);
  if (head.empty()) return std::nullopt;
  const std::string_view type(reinterpret_cast<const char*>(head.data() + 4), 4);
  if (std::find(kTopLevelTypes.begin(), kTopLevelTypes.end(), type) == kTopLevelTypes.end()) {
    return std::nullopt;
  }
  uint64_t size = *head.Be32(0);
  if (size == 1) {
    const auto large = file.Bytes(at + 8, 8).Be64(0);
    if (!large || *large < 16) return std::nullopt;
    size = *large;
  } else if (size < 8) {
    return std::nullopt;  // a box that runs to the end leaves the end unknown
  }
  return Box{at, size, type};
}

// Up to 4 bytes at logical offset `at`, big-endian, read across the cut.
std::optional<uint32_t> ReadBe(FileView& file, const Mapping& map, uint64_t at, int count) {
  uint32_t value = 0;
  for (int i = 0; i < count; ++i) {
    const auto byte = file.Bytes(map.Physical(at + i), 1).U8(0);
    if (!byte) return std::nullopt;
    value = (value << 8) | *byte;
  }
  return value;
}

// Whether the bytes the tables place for `sample` read as such a sample.
bool Holds(FileView& file, const Mapping& map, const Sample& sample) {
  if (sample.kind == Kind::kAac) {
    // A raw AAC frame opens with a channel element of instance 0 and closes with the end
    // element (three one-bits) and zero bits up to the byte.
    if (sample.size < 2) return false;
    const auto first = ReadBe(file, map, sample.at, 1);
    const auto last = ReadBe(file, map, sample.at + sample.size - 2, 2);
    if (!first || !last || (*last & 0xFF) == 0) return false;
    if ((*first & 0xFE) != 0x00 && (*first & 0xFE) != 0x20) return false;
    const int zeros = __builtin_ctz(*last & 0xFF);
    return ((*last >> zeros) & 7) == 7;
  }
  uint64_t at = 0;
  while (at < sample.size) {
    if (sample.size - at < sample.length_size + 1u) return false;
    const auto length = ReadBe(file, map, sample.at + at, sample.length_size);
    at += sample.length_size;
    const auto header = ReadBe(file, map, sample.at + at, 1);
    if (!length || !header || *length == 0 || *length > sample.size - at || (*header & 0x80)) {
      return false;
    }
    const uint32_t type = sample.kind == Kind::kAvc ? (*header & 0x1F) : ((*header >> 1) & 0x3F);
    if (sample.kind == Kind::kAvc ? (type == 0 || type > 23) : type > 40) return false;
    at += *length;
  }
  return true;
}

// Children of the box whose payload is `body`, in order; stops at the first that does not fit.
template <typename Visit>
bool EachChild(ByteView body, Visit visit) {
  size_t at = 0;
  for (int count = 0; at + 8 <= body.size(); ++count) {
    if (count > kMostBoxes) return false;
    uint64_t size = *body.Be32(at);
    size_t header = 8;
    if (size == 1) {
      const auto large = body.Be64(at + 8);
      if (!large) return false;
      size = *large;
      header = 16;
    } else if (size == 0) {
      size = body.size() - at;
    }
    if (size < header || size > body.size() - at) return false;
    const std::string_view type(reinterpret_cast<const char*>(body.data() + at + 4), 4);
    if (!visit(type, body.Sub(at + header, static_cast<size_t>(size - header)))) return false;
    at += static_cast<size_t>(size);
  }
  return true;
}

ByteView Child(ByteView body, std::string_view wanted) {
  ByteView found;
  EachChild(body, [&](std::string_view type, ByteView payload) {
    if (type == wanted && found.empty()) found = payload;
    return true;
  });
  return found;
}

// The samples one track's tables place, with what can be checked about them.
bool AddTrack(ByteView trak, std::vector<Sample>* samples) {
  const ByteView mdia = Child(trak, "mdia");
  const ByteView stbl = Child(Child(mdia, "minf"), "stbl");
  const ByteView stsd = Child(stbl, "stsd");
  const ByteView stsz = Child(stbl, "stsz");
  const ByteView stsc = Child(stbl, "stsc");
  ByteView offsets = Child(stbl, "stco");
  const bool wide = offsets.empty();
  if (wide) offsets = Child(stbl, "co64");
  if (stsd.size() < 16 || stsz.size() < 12 || stsc.size() < 8 || offsets.size() < 8) {
    return false;
  }
  Kind kind = Kind::kOther;
  uint8_t length_size = 0;
  const ByteView entry = stsd.Sub(8, std::min<size_t>(*stsd.Be32(8), stsd.size() - 8));
  if (entry.Matches(4, "avc1") || entry.Matches(4, "avc3")) {
    const ByteView config = Child(entry.Sub(86, entry.size() > 86 ? entry.size() - 86 : 0), "avcC");
    if (config.size() > 4) {
      kind = Kind::kAvc;
      length_size = static_cast<uint8_t>((*config.U8(4) & 3) + 1);
    }
  } else if (entry.Matches(4, "hvc1") || entry.Matches(4, "hev1")) {
    const ByteView config = Child(entry.Sub(86, entry.size() > 86 ? entry.size() - 86 : 0), "hvcC");
    if (config.size() > 21) {
      kind = Kind::kHevc;
      length_size = static_cast<uint8_t>((*config.U8(21) & 3) + 1);
    }
  } else if (entry.Matches(4, "mp4a")) {
    kind = Kind::kAac;
  }
  if (length_size == 3) kind = Kind::kOther;

  const uint32_t fixed = *stsz.Be32(4);
  const uint32_t count = *stsz.Be32(8);
  if (count > kMostSamples - samples->size() ||
      (fixed == 0 && stsz.size() < 12 + uint64_t{count} * 4)) {
    return false;
  }
  const uint32_t chunks = *offsets.Be32(4);
  if (offsets.size() < 8 + uint64_t{chunks} * (wide ? 8 : 4)) return false;
  const uint32_t runs = *stsc.Be32(4);
  if (stsc.size() < 8 + uint64_t{runs} * 12 || runs == 0) return false;

  uint32_t sample = 0;
  for (uint32_t run = 0; run < runs; ++run) {
    const uint32_t first = *stsc.Be32(8 + run * 12);
    const uint32_t per_chunk = *stsc.Be32(12 + run * 12);
    const uint32_t next = run + 1 < runs ? *stsc.Be32(8 + (run + 1) * 12) : chunks + 1;
    if (first == 0 || next <= first || next > chunks + 1 || per_chunk == 0) return false;
    for (uint32_t chunk = first; chunk < next; ++chunk) {
      uint64_t at = wide ? *offsets.Be64(8 + uint64_t{chunk - 1} * 8)
                         : *offsets.Be32(8 + uint64_t{chunk - 1} * 4);
      for (uint32_t i = 0; i < per_chunk; ++i, ++sample) {
        if (sample >= count) return false;
        const uint32_t size = fixed != 0 ? fixed : *stsz.Be32(12 + uint64_t{sample} * 4);
        samples->push_back({at, size, kind, length_size});
        at += size;
      }
    }
  }
  return sample == count;
}

// Every sample of every track, in file order; nothing when the tables do not hold together.
std::optional<std::vector<Sample>> ReadSamples(FileView& file, uint64_t movie_at, uint64_t size) {
  if (size > kMostMovieBox || size < 16) return std::nullopt;
  std::vector<uint8_t> movie;
  movie.reserve(static_cast<size_t>(size));
  for (uint64_t done = 0; done < size;) {
    const size_t part = static_cast<size_t>(std::min<uint64_t>(size - done, FileView::kMaxSpan));
    const ByteView bytes = file.Bytes(movie_at + done, part);
    if (bytes.empty()) return std::nullopt;
    movie.insert(movie.end(), bytes.data(), bytes.data() + bytes.size());
    done += part;
  }
  const ByteView whole({movie.data(), movie.size()});
  if (!whole.Matches(4, "moov")) return std::nullopt;
  const size_t header = *whole.Be32(0) == 1 ? 16 : 8;
  std::vector<Sample> samples;
  bool fine = EachChild(whole.Sub(header, movie.size() - header),
                        [&](std::string_view type, ByteView payload) {
                          return type != "trak" || AddTrack(payload, &samples);
                        });
  if (!fine || samples.empty() || samples.size() > kMostSamples) return std::nullopt;
  std::sort(samples.begin(), samples.end(),
            [](const Sample& a, const Sample& b) { return a.at < b.at; });
  for (size_t i = 1; i < samples.size(); ++i) {
    if (samples[i].at < samples[i - 1].at + samples[i - 1].size) return std::nullopt;  // overlap
  }
  return samples;
}

bool Checkable(const Sample& s) { return s.kind == Kind::kAvc || s.kind == Kind::kHevc; }

// Media data that begins with a NAL length and header, as H.264 and HEVC samples do: only
// then can its samples tell where a gap lies, so only then is the movie box looked for.
bool OpensLikeNalSamples(FileView& file, uint64_t media_data) {
  const ByteView head = file.Bytes(media_data, 5);
  if (head.empty()) return false;
  const uint32_t length = *head.Be32(0);
  const uint8_t header = *head.U8(4);
  return length != 0 && length < (1u << 26) && (header & 0x80) == 0 && (header & 0x1F) != 0;
}

// The one sector boundary in (`low`, `high`] where the data can be cut so that every checkable
// sample holds, the gap being `gap`; nothing when none or more than one does.
std::optional<uint64_t> FindCut(FileView& file, const std::vector<Sample>& samples, uint64_t gap,
                                uint64_t sector, uint64_t low, uint64_t high) {
  // The first video sample that does not hold in place, and the last that does not hold
  // moved: the cut lies after the latter's start and before the former's end.
  uint64_t before = high;
  uint64_t after = low;
  bool any = false;
  for (const Sample& s : samples) {
    if (!Checkable(s)) continue;
    any = true;
    if (!Holds(file, kStraight, s)) {
      before = std::min(before, s.at + s.size - 1);
      break;
    }
  }
  for (auto it = samples.rbegin(); it != samples.rend(); ++it) {
    if (!Checkable(*it)) continue;
    if (!Holds(file, Mapping{0, gap}, *it)) {
      after = std::max(after, it->at + 1);
      break;
    }
  }
  if (!any || after > before) return std::nullopt;
  const uint64_t first = (after + sector - 1) / sector * sector;
  if (first > before || (before - first) / sector >= kMostCutsTried) return std::nullopt;
  // Samples crossing a candidate must hold read across it; then audio frames narrow down
  // boundaries that only cross audio.
  std::vector<uint64_t> fits;
  for (uint64_t cut = std::max<uint64_t>(first, sector); cut <= before; cut += sector) {
    const Mapping map{cut, gap};
    bool holds = true;
    for (const Sample& s : samples) {
      if (s.at >= cut) break;
      if (s.at + s.size > cut && Checkable(s) && !Holds(file, map, s)) holds = false;
    }
    if (holds) fits.push_back(cut);
  }
  if (fits.size() > 1) {
    std::vector<uint64_t> narrowed;
    for (uint64_t cut : fits) {
      const Mapping map{cut, gap};
      // The audio frames next to the cut on either side and the one across it.
      const auto next = std::lower_bound(samples.begin(), samples.end(), cut,
                                         [](const Sample& s, uint64_t c) { return s.at < c; });
      bool holds = true;
      int seen_after = 0;
      for (auto it = next; it != samples.end() && seen_after < 2; ++it) {
        if (it->kind == Kind::kAac) holds = holds && Holds(file, map, *it), ++seen_after;
      }
      int seen_before = 0;
      for (auto it = next; it != samples.begin() && seen_before < 3;) {
        --it;
        if (it->kind == Kind::kAac) holds = holds && Holds(file, map, *it), ++seen_before;
      }
      if (holds && seen_after + seen_before > 0) narrowed.push_back(cut);
    }
    fits = narrowed;
  }
  if (fits.size() != 1) return std::nullopt;
  return fits.front();
}

}  // namespace

std::optional<IsoPieces> FindIsoMediaPieces(const CarveContext& context, uint64_t cap) {
  const uint64_t sector = static_cast<uint64_t>(context.sector_size);
  if (sector == 0 || cap > UINT64_MAX - kMostGap) return std::nullopt;
  FileView file(context, cap + kMostGap);

  // The top-level boxes as the sizes chain them, from the file's first byte.
  std::optional<Box> movie;
  std::optional<Box> media;
  uint64_t at = 0;
  bool broke = false;
  for (int count = 0; at < cap; ++count) {
    const auto box = BoxAt(file, at);
    if (!box || count > kMostBoxes) {
      broke = true;
      break;
    }
    if (at == 0 && box->type != "ftyp") return std::nullopt;
    if (box->type == "moov" && !movie) movie = box;
    if (box->type == "mdat" && !media) media = box;
    if (box->size > cap - at) return std::nullopt;
    at += box->size;
  }
  if (!media || at == 0) return std::nullopt;
  const uint64_t media_data = media->at + 8;
  const uint64_t media_end = media->at + media->size;

  // Where the boxes after `from` (as written) end, counted without the gap.
  const auto tail_end = [&](uint64_t from, uint64_t gap) {
    uint64_t end = from;
    for (int count = 0; end < cap + gap && count < kMostBoxes; ++count) {
      const auto more = BoxAt(file, end);
      if (!more || more->type == "ftyp" || more->size > cap + gap - end) break;
      end += more->size;
    }
    return end - gap;
  };
  std::optional<IsoPieces> found;
  int solutions = 0;
  const auto consider = [&](const std::vector<Sample>& samples, uint64_t gap, uint64_t low,
                            uint64_t high, uint64_t length) {
    if (samples.front().at < media_data || samples.back().at + samples.back().size > media_end) {
      return;
    }
    const auto cut = FindCut(file, samples, gap, sector, low, high);
    if (!cut || length <= *cut) return;
    ++solutions;
    found = IsoPieces{TwoPieces{*cut, gap}, length};
  };

  if (movie && movie->at < media->at) {
    // Movie box first: the chain holds, but the media data may not.
    const auto samples = ReadSamples(file, movie->at, movie->size);
    if (!samples) return std::nullopt;
    auto last = std::find_if(samples->rbegin(), samples->rend(), Checkable);
    if (last == samples->rend() || Holds(file, kStraight, *last)) return std::nullopt;
    for (uint64_t gap = sector; gap <= kMostGap && solutions < 2; gap += sector) {
      const uint64_t end = last->at + last->size + gap;
      if (end > file.limit()) break;
      if (!Holds(file, Mapping{0, gap}, *last)) continue;
      consider(*samples, gap, media_data, media_end, tail_end(media_end + gap, gap));
    }
  } else if (!movie && broke && at == media_end && OpensLikeNalSamples(file, media_data)) {
    // Movie box after the media data: it stands one gap further on than the sizes say.
    for (uint64_t gap = sector; gap <= kMostGap && solutions < 2; gap += sector) {
      const ByteView head = file.Bytes(media_end + gap, 8);
      if (head.empty()) break;
      if (!head.Matches(4, "moov")) continue;
      const auto box = BoxAt(file, media_end + gap);
      if (!box) continue;
      const auto samples = ReadSamples(file, box->at, box->size);
      if (!samples) continue;
      consider(*samples, gap, media_data, media_end, tail_end(box->at, gap));
    }
  }
  if (solutions != 1) return std::nullopt;
  return found;
}

}  // namespace velmora::formats
