#include "fat/fat_directory_entry.h"

#include <iconv.h>

#include <array>

#include "engine/record_text.h"
#include "fat/fat_entry_checks.h"
#include "storage/byte_view.h"

namespace velmora {

namespace {

// Upper half of OEM code page 437, the code page of 8.3 names written by DOS,
// Windows in its default setting and mtools.
const std::array<char32_t, 128>& OemUpperHalf() {
  static const std::array<char32_t, 128> table = [] {
    std::array<char32_t, 128> t{};
    t.fill(U'_');
    iconv_t cd = iconv_open("UTF-32LE", "IBM437");
    if (cd == reinterpret_cast<iconv_t>(-1)) return t;
    for (int i = 0; i < 128; ++i) {
      char in = static_cast<char>(0x80 + i);
      char out[4] = {};
      char* in_ptr = &in;
      char* out_ptr = out;
      size_t in_left = 1;
      size_t out_left = sizeof(out);
      if (iconv(cd, &in_ptr, &in_left, &out_ptr, &out_left) != static_cast<size_t>(-1) &&
          out_left == 0) {
        t[i] =
            ByteView({reinterpret_cast<const uint8_t*>(out), sizeof(out)}).Le32(0).value_or(U'_');
      }
    }
    iconv_close(cd);
    return t;
  }();
  return table;
}

void AppendOemByte(std::string* out, uint8_t byte, bool lower) {
  if (byte < 0x80) {
    out->push_back(lower && byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a')
                                                       : static_cast<char>(byte));
    return;
  }
  const char32_t cp = OemUpperHalf()[byte - 0x80];
  char16_t unit = static_cast<char16_t>(cp);
  out->append(Utf16ToUtf8(std::u16string_view(&unit, 1)));
}

void AppendTrimmed(std::string* out, const uint8_t* bytes, size_t length, bool first_is_name_start,
                   bool lower) {
  size_t end = length;
  while (end > 0 && bytes[end - 1] == ' ') --end;
  for (size_t i = 0; i < end; ++i) {
    uint8_t b = bytes[i];
    if (first_is_name_start && i == 0) {
      if (b == kFatDeletedMarker) {
        out->push_back('!');
        continue;
      }
      if (b == 0x05) b = 0xE5;  // a real first character 0xE5 is stored as 0x05
    }
    AppendOemByte(out, b, lower);
  }
}

// The 13 UTF-16 units of one long-name piece.
std::array<uint16_t, 13> PieceUnits(const uint8_t* e) {
  static constexpr uint8_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  const ByteView fields({e, kFatEntrySize});
  std::array<uint16_t, 13> units{};
  for (size_t i = 0; i < 13; ++i) units[i] = fields.Le16(kOffsets[i]).value_or(0);
  return units;
}

bool IsLegalShortNameByte(uint8_t b) {
  if (b < 0x20 || (b >= 'a' && b <= 'z')) return false;
  for (char c : std::string_view("\"*+,./:;<=>?[\\]|")) {
    if (b == static_cast<uint8_t>(c)) return false;
  }
  return true;
}

}  // namespace

std::string ShortEntryName(const uint8_t* e) {
  // Byte 12 keeps the case of names that fit 8.3 in lower case (bit 3: base, bit 4: extension).
  const uint8_t case_flags = DecodeEntry(e).case_flags;
  const bool lower_base = (case_flags & 0x08) != 0;
  const bool lower_extension = (case_flags & 0x10) != 0;
  std::string name;
  AppendTrimmed(&name, e, 8, true, lower_base);
  size_t ext_end = 3;
  while (ext_end > 0 && e[8 + ext_end - 1] == ' ') --ext_end;
  if (ext_end > 0) {
    name.push_back('.');
    AppendTrimmed(&name, e + 8, 3, false, lower_extension);
  }
  return name;
}

FatEntryTimes DecodeEntryTimes(const uint8_t* e) {
  const FatEntry entry = DecodeEntry(e);
  FatEntryTimes times;
  times.created =
      FatDateTimeToFiletime(entry.created_date, entry.created_time, entry.created_hundredths);
  times.last_access = FatDateTimeToFiletime(entry.access_date, 0, 0);
  times.last_write = FatDateTimeToFiletime(entry.write_date, entry.write_time, 0);
  return times;
}

void LongNameCollector::Add(const uint8_t* entry) {
  if (pieces_.size() >= kMaxPieces) pieces_.clear();
  std::array<uint8_t, kFatEntrySize> copy{};
  std::copy(entry, entry + kFatEntrySize, copy.begin());
  pieces_.push_back(copy);
}

std::string LongNameCollector::NameFor(const uint8_t* short_entry) const {
  if (pieces_.empty()) return {};
  const uint8_t checksum = DecodeEntry(pieces_.front().data()).LongNameChecksum();
  for (const auto& piece : pieces_) {
    const FatEntry decoded = DecodeEntry(piece.data());
    if (decoded.LongNameChecksum() != checksum || decoded.cluster_low != 0) return {};
  }
  const bool deleted = EntryIsDeleted(short_entry);
  if (!deleted) {
    // Live pieces: 0x40 on the first one stored, then N, N-1, ..., 1.
    const size_t count = pieces_.size();
    if ((pieces_.front()[0] & 0x40) == 0) return {};
    for (size_t i = 0; i < count; ++i) {
      if (static_cast<size_t>(pieces_[i][0] & 0x1F) != count - i) return {};
    }
    if (ShortNameChecksum(short_entry) != checksum) return {};
  } else {
    // The checksum fixes the lost first byte of the short name; it must be one
    // a short name may begin with.
    // Each step of the checksum (rotate right, add the byte) can be undone, so exactly one
    // first byte gives it: undo the other ten bytes from the end.
    uint8_t sum = checksum;
    for (int i = 10; i >= 1; --i) {
      const uint8_t before_add = static_cast<uint8_t>(sum - short_entry[i]);
      sum = static_cast<uint8_t>((before_add << 1) | (before_add >> 7));
    }
    if (!IsLegalShortNameByte(sum) || sum == ' ') return {};
  }
  // Pieces were stored last piece first: read them back to front.
  std::u16string text;
  text.reserve(pieces_.size() * 13);
  bool terminated = false;
  for (size_t i = pieces_.size(); i-- > 0;) {
    const auto units = PieceUnits(pieces_[i].data());
    for (size_t u = 0; u < units.size(); ++u) {
      if (terminated) {
        if (units[u] != 0xFFFF && units[u] != 0x0000) return {};
        continue;
      }
      if (units[u] == 0x0000) {
        terminated = true;
        continue;
      }
      if (units[u] == 0xFFFF) return {};  // padding before the terminator
      text.push_back(static_cast<char16_t>(units[u]));
    }
    if (terminated && i != 0) return {};  // only the last piece may end the name
  }
  if (text.empty() || text.size() > 255) return {};
  return Utf16ToUtf8(text);
}

}  // namespace velmora
