#include "fat/fat_sector_classifier.h"

#include <cstring>
#include <vector>

#include "fat/fat_entry_checks.h"
#include "storage/byte_view.h"

namespace velmora {

namespace {

// 2000-01-01 00:00:00 as FAT date and time words.
constexpr uint16_t kNeutralDate = ((2000 - 1980) << 9) | (1 << 5) | 1;

void PutLe16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

// Fills the empty stamps of a label entry from its last-write stamp (or a
// neutral date when that is empty too); false when there was nothing to fill.
bool FillEmptyLabelStamps(uint8_t* entry) {
  const FatEntry e = DecodeEntry(entry);
  if (e.EndsDirectory() || e.IsDeleted() || e.attributes != kFatAttrVolumeLabel) return false;
  const uint16_t created_date = e.created_date;
  const uint16_t access_date = e.access_date;
  uint16_t write_date = e.write_date;
  uint16_t write_time = e.write_time;
  if (created_date != 0 && access_date != 0 && write_date != 0) return false;
  if (write_date == 0) {
    write_date = kNeutralDate;
    write_time = 0;
    PutLe16(entry + 24, write_date);
    PutLe16(entry + 22, write_time);
  }
  if (created_date == 0) {
    entry[13] = 0;
    PutLe16(entry + 14, write_time);
    PutLe16(entry + 16, write_date);
  }
  if (access_date == 0) PutLe16(entry + 18, write_date);
  return true;
}

}  // namespace

bool IsDeepDirectorySector(const uint8_t* sector, size_t length) {
  if (IsDirectorySector(sector, length)) return true;
  if (sector == nullptr || length < kFatEntrySize) return false;
  std::vector<uint8_t> copy(sector, sector + length);
  bool filled = false;
  for (size_t offset = 0; offset + kFatEntrySize <= length; offset += kFatEntrySize) {
    if (copy[offset] == 0) break;
    filled |= FillEmptyLabelStamps(copy.data() + offset);
  }
  return filled && IsDirectorySector(copy.data(), length);
}

}  // namespace velmora
