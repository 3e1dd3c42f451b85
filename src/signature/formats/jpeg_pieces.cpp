#include "signature/formats/jpeg_pieces.h"

// clang-format off
#include <cstddef>
#include <cstdio>
#include <jpeglib.h>
// clang-format on

#include <algorithm>
#include <array>
#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "storage/byte_view.h"
#include "signature/formats/file_view.h"

namespace velmora::formats {

namespace {

constexpr uint64_t kMostGap = 8ull * 1024 * 1024;
constexpr int kMostCuts = 3;
constexpr uint64_t kMostMcus = 1'000'000;
constexpr int kMostSegments = 1024;
constexpr int kFastBits = 9;
constexpr int kNoMarker = -1;
constexpr int kNoData = 0x100;  // the source ended or could not be read

struct Huffman {
  bool present = false;
  std::array<int32_t, 18> maxcode{};
  std::array<int32_t, 17> mincode{};
  std::array<int32_t, 17> valptr{};
  std::array<uint8_t, 256> values{};
  std::array<uint16_t, 1 << kFastBits> fast{};  // (length << 8) | symbol; 0: longer code
  // For AC tables: a code and the value bits after it that fit in kFastBits together, for
  // symbols with a value (size 1-10): (run << 8) | (length + size); 0: go the long way.
  std::array<uint16_t, 1 << kFastBits> fast_ac{};
};

bool BuildHuffman(ByteView counts, ByteView values, Huffman* table) {
  *table = Huffman{};
  int32_t code = 0;
  int32_t index = 0;
  for (int length = 1; length <= 16; ++length) {
    const int count = *counts.U8(length - 1);
    table->valptr[length] = index;
    table->mincode[length] = code;
    table->maxcode[length] = count == 0 ? -1 : code + count - 1;
    for (int i = 0; i < count; ++i, ++code, ++index) {
      if (code >= (1 << length)) return false;  // more codes than the length allows
      if (length <= kFastBits) {
        const int shift = kFastBits - length;
        for (int fill = 0; fill < (1 << shift); ++fill) {
          table->fast[static_cast<size_t>((code << shift) | fill)] =
              static_cast<uint16_t>((length << 8) | *values.U8(static_cast<size_t>(index)));
        }
      }
    }
    code <<= 1;
  }
  table->maxcode[17] = INT32_MAX;
  std::copy(values.data(), values.data() + values.size(), table->values.begin());
  for (size_t peek = 0; peek < table->fast.size(); ++peek) {
    const int length = table->fast[peek] >> 8;
    const int symbol = table->fast[peek] & 0xFF;
    const int size = symbol & 15;
    if (table->fast[peek] == 0 || size == 0 || size > 10 || length + size > kFastBits) continue;
    table->fast_ac[peek] = static_cast<uint16_t>(((symbol >> 4) << 8) | (length + size));
  }
  table->present = true;
  return true;
}

struct Component {
  uint8_t id = 0;
  uint8_t h = 1;
  uint8_t v = 1;
  uint8_t dc = 0;
  uint8_t ac = 0;
  uint8_t quantiser = 0;
  int32_t most_dc = 2048;  // largest quantised DC value the picture can hold
};

struct Frame {
  std::vector<Component> components;
  std::vector<uint8_t> block_component;  // the component of each block of an MCU
  uint64_t mcus = 0;
  uint32_t restart_interval = 0;
  uint64_t data_start = 0;
  std::array<Huffman, 4> dc;
  std::array<Huffman, 4> ac;
  std::array<uint16_t, 4> dc_step{};  // first entry of each quantisation table
};

// The headers up to the start of scan of a single-scan baseline or extended Huffman picture.
std::optional<Frame> ReadFrame(FileView& file) {
  Frame frame;
  uint32_t width = 0;
  uint32_t height = 0;
  uint64_t at = 2;
  for (int count = 0; count < kMostSegments; ++count) {
    const ByteView marker = file.Bytes(at, 4);
    if (marker.empty() || *marker.U8(0) != 0xFF) return std::nullopt;
    const uint8_t code = *marker.U8(1);
    if (code == 0xFF) {
      ++at;
      continue;
    }
    const uint16_t size = *marker.Be16(2);
    if (size < 2 || code == 0xD8 || code == 0xD9 || code == 0x01 ||
        (code >= 0xD0 && code <= 0xD7)) {
      return std::nullopt;
    }
    const ByteView body = file.Bytes(at + 4, size - 2u);
    if (body.empty() && size > 2) return std::nullopt;
    if (code == 0xC0 || code == 0xC1) {
      if (body.size() < 6 || *body.U8(0) != 8) return std::nullopt;
      height = *body.Be16(1);
      width = *body.Be16(3);
      const uint8_t count_c = *body.U8(5);
      if (count_c == 0 || count_c > 4 || body.size() < 6 + 3u * count_c) return std::nullopt;
      for (uint8_t i = 0; i < count_c; ++i) {
        const uint8_t sampling = *body.U8(7 + 3u * i);
        Component c;
        c.id = *body.U8(6 + 3u * i);
        c.quantiser = *body.U8(8 + 3u * i) & 3;
        c.h = sampling >> 4;
        c.v = sampling & 15;
        if (c.h == 0 || c.h > 4 || c.v == 0 || c.v > 4) return std::nullopt;
        frame.components.push_back(c);
      }
    } else if ((code >= 0xC2 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC)) {
      return std::nullopt;  // progressive, lossless or arithmetic-coded
    } else if (code == 0xDB) {
      for (size_t p = 0; p < body.size();) {
        const uint8_t which = *body.U8(p);
        const size_t entry = (which >> 4) == 0 ? 1 : 2;
        std::optional<uint32_t> step;
        if (entry == 1) {
          if (const auto byte = body.U8(p + 1)) step = *byte;
        } else if (const auto word = body.Be16(p + 1)) {
          step = *word;
        }
        if ((which & 15) > 3 || !step || !body.Has(p + 1, 64 * entry)) return std::nullopt;
        frame.dc_step[which & 15] = static_cast<uint16_t>(*step);
        p += 1 + 64 * entry;
      }
    } else if (code == 0xC4) {
      for (size_t p = 0; p < body.size();) {
        const auto klass = body.U8(p);
        const ByteView counts = body.Sub(p + 1, 16);
        if (!klass || counts.empty() || (*klass & 15) > 3 || (*klass >> 4) > 1) return std::nullopt;
        size_t total = 0;
        for (int i = 0; i < 16; ++i) total += *counts.U8(static_cast<size_t>(i));
        const ByteView values = body.Sub(p + 17, total);
        if (total > 256 || values.empty()) return std::nullopt;
        Huffman& table = (*klass >> 4) == 0 ? frame.dc[*klass & 15] : frame.ac[*klass & 15];
        if (!BuildHuffman(counts, values, &table)) return std::nullopt;
        p += 17 + total;
      }
    } else if (code == 0xDD) {
      const auto interval = body.Be16(0);
      if (!interval) return std::nullopt;
      frame.restart_interval = *interval;
    } else if (code == 0xDA) {
      if (frame.components.empty() || width == 0 || height == 0) return std::nullopt;
      const uint8_t count_s = body.empty() ? 0 : *body.U8(0);
      if (count_s != frame.components.size() || body.size() < 4 + 2u * count_s) return std::nullopt;
      for (uint8_t i = 0; i < count_s; ++i) {
        Component& c = frame.components[i];
        const uint8_t tables = *body.U8(2 + 2u * i);
        if (*body.U8(1 + 2u * i) != c.id) return std::nullopt;
        c.dc = tables >> 4;
        c.ac = tables & 15;
        if (c.dc > 3 || c.ac > 3 || !frame.dc[c.dc].present || !frame.ac[c.ac].present) {
          return std::nullopt;
        }
      }
      if (*body.U8(1 + 2u * count_s) != 0 || *body.U8(2 + 2u * count_s) != 63 ||
          *body.U8(3 + 2u * count_s) != 0) {
        return std::nullopt;
      }
      uint8_t most_h = 1;
      uint8_t most_v = 1;
      for (Component& c : frame.components) {
        // An 8-bit picture's DC coefficient lies within ±1024 before quantisation.
        const int32_t step = frame.dc_step[c.quantiser];
        if (step != 0) c.most_dc = 1024 / step + 2;
        most_h = std::max(most_h, c.h);
        most_v = std::max(most_v, c.v);
      }
      if (frame.components.size() == 1) {
        // One component: one block per MCU, whatever its sampling says.
        frame.mcus = uint64_t{(width + 7) / 8} * ((height + 7) / 8);
        frame.block_component = {0};
      } else {
        frame.mcus = uint64_t{(width + 8u * most_h - 1) / (8u * most_h)} *
                     ((height + 8u * most_v - 1) / (8u * most_v));
        for (size_t i = 0; i < frame.components.size(); ++i) {
          for (int b = 0; b < frame.components[i].h * frame.components[i].v; ++b) {
            frame.block_component.push_back(static_cast<uint8_t>(i));
          }
        }
        if (frame.block_component.size() > 10) return std::nullopt;
      }
      if (frame.mcus > kMostMcus) return std::nullopt;
      frame.data_start = at + 2 + size;
      return frame;
    }
    at += 2 + size;
  }
  return std::nullopt;
}

// Bits of the entropy-coded data, stuffed bytes taken out; stops in front of any marker.
class BitReader {
 public:
  struct State {
    uint64_t pos = 0;  // next byte to fetch
    uint64_t acc = 0;
    int bits = 0;
    int marker = kNoMarker;
    // Bytes looked at so far end here: a state is valid under any cut at or after it.
    uint64_t Examined() const { return pos + (marker == kNoMarker ? 0 : 2); }
  };

  // `near` serves the bytes before the cut, `far` those after it, so that trying many gaps
  // keeps both windows in place.
  BitReader(FileView& near, FileView& far, const PieceMapping& map)
      : near_(near), far_(far), map_(map) {}

  void Restore(const State& state) {
    state_ = state;
    span_ = ByteView();
  }
  const State& state() const { return state_; }

  void Fill() {
    while (state_.bits <= 56 && state_.marker == kNoMarker) {
      // Plain bytes of the span in hand are taken without asking for each one; a 0xFF (a
      // stuffed byte or a marker) and the end of the span go the long way.
      if (state_.pos >= span_at_ && state_.pos - span_at_ < span_.size()) {
        const uint8_t* bytes = span_.data();
        const uint64_t end = span_at_ + span_.size();
        if (end - state_.pos >= 8) {
          // Eight bytes at once when none of them is 0xFF: as many whole bytes as fit.
          uint64_t word;
          std::memcpy(&word, bytes + (state_.pos - span_at_), sizeof word);
          const uint64_t inverse = ~word;
          const bool any_ff =
              ((inverse - 0x0101010101010101ull) & ~inverse & 0x8080808080808080ull) != 0;
          if (!any_ff) {
            const int count = (64 - state_.bits) / 8;
            const uint64_t in_order = __builtin_bswap64(word);
            const uint64_t taken = count == 8 ? in_order : in_order >> (64 - 8 * count);
            state_.acc |= taken << (64 - state_.bits - 8 * count);
            state_.bits += 8 * count;
            state_.pos += static_cast<uint64_t>(count);
            break;
          }
        }
        while (state_.bits <= 56 && state_.pos < end) {
          const uint8_t plain = bytes[state_.pos - span_at_];
          if (plain == 0xFF) break;
          state_.acc |= uint64_t(plain) << (56 - state_.bits);
          state_.bits += 8;
          ++state_.pos;
        }
        if (state_.bits > 56) break;
      }
      const int byte = Byte(state_.pos);
      if (byte == kNoData) {
        state_.marker = kNoData;
        break;
      }
      if (byte == 0xFF) {
        const int next = Byte(state_.pos + 1);
        if (next != 0) {
          state_.marker = next;
          break;
        }
        state_.pos += 2;
      } else {
        state_.pos += 1;
      }
      state_.acc |= uint64_t(byte) << (56 - state_.bits);
      state_.bits += 8;
    }
  }

  bool Skip(int count) {
    if (state_.bits < count) return false;
    state_.acc = count == 0 ? state_.acc : state_.acc << count;
    state_.bits -= count;
    return true;
  }

  std::optional<uint32_t> Take(int count) {
    if (count == 0) return 0u;
    if (state_.bits < count) Fill();
    const uint32_t value = static_cast<uint32_t>(state_.acc >> (64 - count));
    if (!Skip(count)) return std::nullopt;
    return value;
  }

  // The entry of `table` for the next kFastBits bits.
  uint16_t PeekFast(const std::array<uint16_t, 1 << kFastBits>& table) {
    if (state_.bits < 16) Fill();
    return table[static_cast<size_t>(state_.acc >> (64 - kFastBits))];
  }

  std::optional<uint8_t> Symbol(const Huffman& table) {
    if (state_.bits < 16) Fill();
    const uint16_t fast = table.fast[static_cast<size_t>(state_.acc >> (64 - kFastBits))];
    if (fast != 0) {
      if (!Skip(fast >> 8)) return std::nullopt;
      return static_cast<uint8_t>(fast & 0xFF);
    }
    for (int length = kFastBits + 1; length <= 16; ++length) {
      const int32_t code = static_cast<int32_t>(state_.acc >> (64 - length));
      if (table.maxcode[length] >= 0 && code <= table.maxcode[length]) {
        if (!Skip(length)) return std::nullopt;
        const int32_t index = table.valptr[length] + code - table.mincode[length];
        if (index < 0 || index > 255) return std::nullopt;
        return table.values[static_cast<size_t>(index)];
      }
    }
    return std::nullopt;
  }

  // Drops the padding bits (ones) up to the byte; true when the marker `wanted` follows
  // with no data before it. Fill bytes before the marker are passed over.
  bool MarkerAfterPadding(int wanted) {
    const int padding = state_.bits % 8;
    if (padding != 0) {
      const uint32_t bits = static_cast<uint32_t>(state_.acc >> (64 - padding));
      if (bits != (1u << padding) - 1) return false;
      Skip(padding);
    }
    if (state_.bits != 0) return false;
    Fill();
    while (state_.marker == 0xFF && state_.bits == 0) {
      ++state_.pos;
      state_.marker = kNoMarker;
      Fill();
    }
    if (state_.bits != 0 || state_.marker != wanted) return false;
    state_.pos += 2;
    state_.marker = kNoMarker;
    return true;
  }

 private:
  int Byte(uint64_t at) {
    if (at < span_at_ || at - span_at_ >= span_.size()) {
      size_t count = kSpan;
      if (at < map_.cut) count = static_cast<size_t>(std::min<uint64_t>(count, map_.cut - at));
      if (map_.Physical(at) < at) return kNoData;  // offsets that wrap
      span_ = (at < map_.cut ? near_ : far_).Upto(map_.Physical(at), count);
      span_at_ = at;
      if (span_.empty()) return kNoData;
    }
    return span_.data()[at - span_at_];
  }

  static constexpr size_t kSpan = 4096;

  FileView& near_;
  FileView& far_;
  PieceMapping map_;
  State state_;
  ByteView span_;
  uint64_t span_at_ = 0;
};

struct Resume {
  BitReader::State bits;
  uint64_t mcu = 0;
  int next_restart = 0;
  std::array<int32_t, 4> predictions{};
};

struct Run {
  bool clean = false;
  uint64_t end = 0;
  uint64_t examined = 0;  // where the data went wrong
};

bool Block(BitReader& reader, const Frame& frame, const Component& c, int32_t* prediction) {
  const auto dc_size = reader.Symbol(frame.dc[c.dc]);
  if (!dc_size || *dc_size > 11) return false;
  const auto dc_bits = reader.Take(*dc_size);
  if (!dc_bits) return false;
  int32_t diff = static_cast<int32_t>(*dc_bits);
  if (*dc_size != 0 && diff < (1 << (*dc_size - 1))) diff -= (1 << *dc_size) - 1;
  *prediction += diff;
  if (std::abs(*prediction) > c.most_dc) return false;
  const Huffman& ac = frame.ac[c.ac];
  for (int k = 1; k < 64;) {
    // Most symbols and their value bits are taken in one look.
    if (const uint16_t both = reader.PeekFast(ac.fast_ac); both != 0 && reader.Skip(both & 0xFF)) {
      k += both >> 8;
      if (k > 63) return false;
      ++k;
      continue;
    }
    const auto run_size = reader.Symbol(ac);
    if (!run_size) return false;
    const int run = *run_size >> 4;
    const int size = *run_size & 15;
    if (size == 0) {
      if (run != 15) break;
      k += 16;
      if (k > 64) return false;
      continue;
    }
    k += run;
    if (k > 63 || size > 10 || !reader.Take(size)) return false;
    ++k;
  }
  return true;
}

// Decodes from `from` to the end of image; `resumes` (when given) gets the state at every MCU.
Run Decode(BitReader& reader, const Frame& frame, Resume from, std::vector<Resume>* resumes) {
  reader.Restore(from.bits);
  Run run;
  for (uint64_t mcu = from.mcu; mcu < frame.mcus; ++mcu) {
    if (frame.restart_interval != 0 && mcu != 0 && mcu % frame.restart_interval == 0 &&
        !(resumes == nullptr && mcu == from.mcu)) {
      if (!reader.MarkerAfterPadding(0xD0 + from.next_restart)) {
        run.examined = reader.state().Examined();
        return run;
      }
      from.next_restart = (from.next_restart + 1) & 7;
      from.predictions = {};
    }
    if (resumes != nullptr) {
      from.bits = reader.state();
      from.mcu = mcu;
      resumes->push_back(from);
    }
    for (uint8_t index : frame.block_component) {
      if (!Block(reader, frame, frame.components[index], &from.predictions[index])) {
        run.examined = reader.state().Examined();
        return run;
      }
    }
  }
  if (!reader.MarkerAfterPadding(0xD9)) {
    run.examined = reader.state().Examined();
    return run;
  }
  run.clean = true;
  run.end = reader.state().pos;
  return run;
}

struct DecoderErrors {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  int warnings = 0;
};

[[noreturn]] void OnDecoderError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<DecoderErrors*>(info->err)->jump, 1);
}

void OnDecoderMessage(j_common_ptr info, int level) {
  if (level < 0) ++reinterpret_cast<DecoderErrors*>(info->err)->warnings;
}

// The whole picture through libjpeg: every scanline, no corrupt-data warning.
bool DecodesCleanly(const std::vector<uint8_t>& picture) {
  jpeg_decompress_struct info{};
  DecoderErrors errors;
  std::vector<JSAMPLE> row;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = OnDecoderError;
  errors.base.emit_message = OnDecoderMessage;
  jpeg_create_decompress(&info);
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_mem_src(&info, picture.data(), static_cast<unsigned long>(picture.size()));
  bool clean = false;
  if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK) {
    info.dct_method = JDCT_IFAST;
    jpeg_start_decompress(&info);
    row.resize(static_cast<size_t>(info.output_width) * info.output_components);
    while (info.output_scanline < info.output_height && errors.warnings == 0) {
      JSAMPROW rows[1] = {row.data()};
      if (jpeg_read_scanlines(&info, rows, 1) != 1) break;
    }
    clean = info.output_scanline == info.output_height && errors.warnings == 0;
    if (clean) jpeg_finish_decompress(&info);
    clean = clean && errors.warnings == 0;
  }
  jpeg_destroy_decompress(&info);
  return clean;
}

// The picture's `length` own bytes read through `map`; empty when a read fails.
std::vector<uint8_t> JoinedBytes(FileView& file, const PieceMapping& map, uint64_t length) {
  std::vector<uint8_t> bytes;
  bytes.reserve(static_cast<size_t>(length));
  for (uint64_t at = 0; at < length;) {
    uint64_t count = std::min<uint64_t>(length - at, FileView::kMaxSpan);
    if (at < map.cut) count = std::min(count, map.cut - at);
    const ByteView part = file.Bytes(map.Physical(at), static_cast<size_t>(count));
    if (part.empty()) return {};
    bytes.insert(bytes.end(), part.data(), part.data() + part.size());
    at += count;
  }
  return bytes;
}

Resume StartOf(const Frame& frame) {
  Resume start;
  start.bits.pos = frame.data_start;
  return start;
}

}  // namespace

std::optional<JpegPieces> FindJpegPieces(const CarveContext& context, uint64_t cap) {
  const uint64_t sector = static_cast<uint64_t>(context.sector_size);
  if (sector == 0 || cap > UINT64_MAX - kMostGap) return std::nullopt;
  FileView file(context, cap + kMostGap);
  const auto frame = ReadFrame(file);
  if (!frame) return std::nullopt;
  std::vector<Resume> resumes;
  BitReader straight(file, file, kInOnePiece);
  const Run whole = Decode(straight, *frame, StartOf(*frame), &resumes);
  if (whole.clean || resumes.empty()) return std::nullopt;

  // The cut lies at a sector boundary before the point where the data went wrong; the
  // nearest boundaries and the smallest gaps first. Data that decodes cleanly to the end of
  // image with the frame's number of MCUs at a second place would be the same bytes again.
  FileView far(context, file.limit());
  uint64_t cut = whole.examined / sector * sector;
  for (int tried = 0; tried < kMostCuts && cut > frame->data_start; ++tried, cut -= sector) {
    // The last MCU whose bytes all lie before the cut.
    auto resume =
        std::upper_bound(resumes.begin(), resumes.end(), cut,
                         [](uint64_t c, const Resume& r) { return c < r.bits.Examined(); });
    if (resume == resumes.begin()) break;
    --resume;
    for (uint64_t gap = sector; gap <= kMostGap && cut + gap < file.limit(); gap += sector) {
      const PieceMapping map{cut, gap};
      BitReader joined(file, far, map);
      const Run run = Decode(joined, *frame, *resume, nullptr);
      if (!run.clean || run.end <= cut) continue;
      // The same judged by a full decoder.
      if (!DecodesCleanly(JoinedBytes(file, map, run.end))) return std::nullopt;
      return JpegPieces{TwoPieces{cut, gap}, run.end};
    }
  }
  return std::nullopt;
}

}  // namespace velmora::formats
