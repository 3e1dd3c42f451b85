#include "fat/fat_entry_checks.h"

#include <cstring>

#include "fat/fat_directory_entry.h"
#include "storage/byte_view.h"

namespace velmora {

namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;
constexpr uint64_t kTicksPerDay = 86'400 * kTicksPerSecond;
constexpr int64_t kDaysFrom1601To1970 = 134'774;

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int year, int month, int day) {
  year -= month <= 2;
  const int64_t era = (year >= 0 ? year : year - 399) / 400;
  const int64_t year_of_era = year - era * 400;
  const int64_t day_of_year = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const int64_t day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  return era * 146097 + day_of_era - 719468;
}

uint64_t CivilToFiletime(int year, int month, int day, int hour, int minute, int second,
                         int millis) {
  const int64_t days = DaysFromCivil(year, month, day) + kDaysFrom1601To1970;
  const uint64_t seconds_of_day = static_cast<uint64_t>(hour) * 3600 + minute * 60 + second;
  return static_cast<uint64_t>(days) * kTicksPerDay + seconds_of_day * kTicksPerSecond +
         static_cast<uint64_t>(millis) * 10'000;
}

struct EntryTimes {
  uint64_t created;
  uint64_t accessed;
  uint64_t written;
};

EntryTimes DecodeTimes(const uint8_t* entry) {
  const FatEntry e = DecodeEntry(entry);
  return {FatDateTimeToFiletime(e.created_date, e.created_time, e.created_hundredths),
          FatDateTimeToFiletime(e.access_date, 0, 0),
          FatDateTimeToFiletime(e.write_date, e.write_time, 0)};
}

bool SameTimes(const EntryTimes& a, const EntryTimes& b) {
  return a.created == b.created && a.accessed == b.accessed && a.written == b.written;
}

// "." followed by "..", both directories of size 0 with the same three timestamps.
bool IsDotPairPast(const uint8_t* entry, const uint8_t* next) {
  if (next == nullptr) return false;
  if (!EntryIsDirectory(entry) || EntryFileSize(entry) != 0) return false;
  if (next[0] != '.' || next[1] != '.' || !EntryIsDirectory(next) || EntryFileSize(next) != 0)
    return false;
  return SameTimes(DecodeTimes(entry), DecodeTimes(next));
}

// Nearly every sector of a pass is asked this: the first byte settles most without a call.
inline bool IsDotPair(const uint8_t* entry, const uint8_t* next) {
  return entry[0] == '.' && IsDotPairPast(entry, next);
}

bool InPlausibleDateWindow(uint64_t filetime) {
  static const uint64_t kEarliest = CivilToFiletime(1990, 1, 1, 0, 0, 0, 0);
  static const uint64_t kLatest = CivilToFiletime(2050, 1, 1, 0, 0, 0, 0);
  return filetime != 0 && filetime >= kEarliest && filetime <= kLatest;
}

bool IsForbiddenNameByte(uint8_t b) {
  if (b < 0x20) return true;
  if (b >= 'a' && b <= 'z') return true;
  switch (b) {
    case '\\':
    case ':':
    case '*':
    case '?':
    case '"':
    case '<':
    case '>':
    case '|':
    case '.': return true;
    default: return false;
  }
}

bool NameBytesAllowed(const uint8_t* entry) {
  for (int i = EntryIsDeleted(entry) ? 1 : 0; i < 11; ++i) {
    if (IsForbiddenNameByte(entry[i])) return false;
  }
  return true;
}

// Within [begin, end) a blank may only be followed by blanks (names are blank-padded).
bool OnlyTrailingBlanks(const uint8_t* bytes, int begin, int end) {
  bool blank_seen = false;
  for (int i = begin; i < end; ++i) {
    if (bytes[i] == ' ') {
      blank_seen = true;
    } else if (blank_seen) {
      return false;
    }
  }
  return true;
}

// Bytes above 0x7F in bytes 0-9 come in lead/trail pairs of a double-byte code page.
bool DoubleBytePairsComplete(const uint8_t* entry) {
  int i = EntryIsDeleted(entry) ? 1 : 0;
  while (i <= 9) {
    if (entry[i] > 0x7F) {
      if (entry[i + 1] <= 0x7F) return false;
      i += 2;
    } else {
      ++i;
    }
  }
  return true;
}

bool ShortEntryWellFormed(const uint8_t* entry) {
  const FatEntry e = DecodeEntry(entry);
  const bool label = e.attributes == kFatAttrVolumeLabel;
  if (!label && FatDateTimeToFiletime(e.created_date, e.created_time, e.created_hundredths) == 0) {
    return false;
  }
  for (int i = 0; i < 11; ++i) {
    if (i == 0 && EntryIsDeleted(entry)) continue;
    if (entry[i] < 0x20 || entry[i] == '.') return false;
  }
  // A volume label is one 11-byte text that may hold blanks ("NEW VOLUME").
  if (!label && (!OnlyTrailingBlanks(entry, 0, 8) || !OnlyTrailingBlanks(entry, 8, 11))) {
    return false;
  }
  return DoubleBytePairsComplete(entry);
}

// The long-name run that starts at `index` must end in the short entry it names.
bool LongNameRunConsistent(const uint8_t* sector, size_t entry_count, size_t index) {
  const uint8_t checksum = DecodeEntry(sector + index * kFatEntrySize).LongNameChecksum();
  size_t pieces = 0;
  for (size_t i = index + 1; i < entry_count; ++i) {
    const uint8_t* entry = sector + i * kFatEntrySize;
    const uint8_t* next = i + 1 < entry_count ? entry + kFatEntrySize : nullptr;
    if (!IsPlausibleDirectoryEntry(entry, next)) return false;
    if (EntryIsLongName(entry)) {
      if (DecodeEntry(entry).LongNameChecksum() != checksum) return false;
      if (++pieces >= kMaxLongNamePieces) return true;
      continue;
    }
    return EntryIsDeleted(entry) || ShortNameChecksum(entry) == checksum;
  }
  return true;
}

bool AllZero(const uint8_t* bytes, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

}  // namespace

uint64_t FatDateTimeToFiletime(uint16_t date, uint16_t time, uint8_t hundredths) {
  const int day = date & 0x1F;
  const int month = (date >> 5) & 0x0F;
  const int year = 1980 + (date >> 9);
  const int hour = time >> 11;
  const int minute = (time >> 5) & 0x3F;
  int second = 2 * (time & 0x1F);
  int hundredths_left = hundredths;
  if (hundredths_left > 100) {
    second += hundredths_left / 100;
    hundredths_left %= 100;
  }
  const int millis = hundredths_left * 10;
  if (month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) return 0;
  if (hour > 23 || minute > 59 || second > 59) return 0;
  return CivilToFiletime(year, month, day, hour, minute, second, millis);
}

bool IsPlausibleDirectoryEntry(const uint8_t* entry, const uint8_t* next) {
  if (entry == nullptr) return false;
  if (IsDotPair(entry, next)) return true;
  // Checked again below in its place; first here because most non-directory data fails it.
  const FatEntry e = DecodeEntry(entry);
  if ((e.attributes & kFatAttrReservedBits) != 0) return false;

  const uint8_t attributes = e.attributes;
  const uint32_t size = e.size;
  const uint16_t cluster_high = e.cluster_high;
  const uint16_t cluster_low = e.cluster_low;
  const bool directory = e.IsDirectory();
  const bool long_name = e.IsLongName();
  const bool deleted = e.IsDeleted();

  if (size == 0 && !directory && (cluster_high != 0 || cluster_low != 0)) return false;

  if (attributes == kFatAttrVolumeLabel) {
    if (size != 0 || cluster_high != 0 || cluster_low != 0) return false;
  } else if ((attributes & kFatAttrVolumeLabel) != 0 && !long_name) {
    return false;
  }

  if (directory && (attributes & kFatAttrReadOnly) != 0) return false;
  if ((attributes & kFatAttrReservedBits) != 0) return false;

  if (long_name && !deleted &&
      static_cast<size_t>(e.First() & ~kFatLongNameLastPiece) > kMaxLongNamePieces)
    return false;

  if (!deleted && directory && size != 0) return false;
  if (long_name && cluster_low != 0) return false;
  if (attributes != kFatAttrVolumeLabel && !long_name && !directory &&
      (attributes & kFatAttrArchive) == 0) {
    return false;
  }
  if (!long_name && attributes != kFatAttrVolumeLabel && !NameBytesAllowed(entry)) return false;

  // Long-name pieces hold name characters where the timestamps would be, and a volume
  // label often carries its write time only. Last, as the dearest test.
  if (!long_name && attributes != kFatAttrVolumeLabel && !deleted && !directory) {
    const EntryTimes times = DecodeTimes(entry);
    if (!InPlausibleDateWindow(times.created) || !InPlausibleDateWindow(times.accessed) ||
        !InPlausibleDateWindow(times.written)) {
      return false;
    }
  }
  return true;
}

bool IsDirectorySector(const uint8_t* sector, size_t length) {
  if (sector == nullptr) return false;
  if (length < kFatEntrySize) return true;
  const size_t entry_count = length / kFatEntrySize;
  for (size_t i = 0; i < entry_count; ++i) {
    const uint8_t* entry = sector + i * kFatEntrySize;
    if (entry[0] == 0) {
      if (i == 0) return false;
      return AllZero(entry, length - i * kFatEntrySize);
    }
    const uint8_t* next = i + 1 < entry_count ? entry + kFatEntrySize : nullptr;
    if (!IsPlausibleDirectoryEntry(entry, next)) return false;
    if (std::memcmp(entry + 1, entry + 17, 14) == 0) return false;
    if (EntryIsLongName(entry)) {
      if (!LongNameRunConsistent(sector, entry_count, i)) return false;
    } else if (!ShortEntryWellFormed(entry)) {
      return false;
    }
  }
  return true;
}

bool IsDirectoryStartSector(const uint8_t* sector, size_t length) {
  if (sector == nullptr || length < 2 * kFatEntrySize) return false;
  return IsDotPair(sector, sector + kFatEntrySize);
}

uint8_t ShortNameChecksum(const uint8_t* name11) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) {
    sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + name11[i]);
  }
  return sum;
}

bool IsFatStructureSector(const uint8_t* sector, size_t length) {
  // A directory's first sector begins with its "." and ".." pair, which the plain
  // directory-sector test does not accept.
  return sector != nullptr &&
         (IsDirectoryStartSector(sector, length) || IsDirectorySector(sector, length));
}

}  // namespace velmora
