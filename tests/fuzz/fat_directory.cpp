// Directory entries as a directory cluster holds them: long-name pieces gathered in
// front of each short entry, the 8.3 name, the times and the plausibility test.
#include "fat/fat_directory_entry.h"
#include "fat/fat_entry_checks.h"
#include "fuzz_target.h"

using namespace velmora;

VELMORA_FUZZ_TARGET(fat_directory) {
  LongNameCollector collector;
  const size_t count = size / kFatEntrySize;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* e = data + i * kFatEntrySize;
    const uint8_t* next = i + 1 < count ? e + kFatEntrySize : nullptr;
    (void)IsPlausibleDirectoryEntry(e, next);
    if (EntryIsLongName(e)) {
      collector.Add(e);
      FUZZ_CHECK(collector.PieceCount() <= LongNameCollector::kMaxPieces);
      continue;
    }
    const std::string long_name = collector.NameFor(e);
    // 13 UTF-16 units a piece, at most 3 UTF-8 bytes each.
    FUZZ_CHECK(long_name.size() <= LongNameCollector::kMaxPieces * 13 * 3);
    FUZZ_CHECK(long_name.find('\0') == std::string::npos);
    const std::string short_name = ShortEntryName(e);
    FUZZ_CHECK(short_name.size() <= 12 * 3);  // empty for an entry of spaces
    (void)DecodeEntryTimes(e);
    (void)ShortNameChecksum(e);
    (void)EntryFirstCluster(e, true);
    collector.Reset();
  }
}
