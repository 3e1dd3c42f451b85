#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fat/fat_entry_checks.h"
#include "storage/byte_view.h"

namespace velmora {

// Decoding of 32-byte FAT directory entries, shared by the quick and the deep
// FAT engines. Every function reads exactly the 32 bytes it is given.
constexpr uint8_t kFatDeletedMarker = 0xE5;

enum FatAttribute : uint8_t {
  kFatAttrReadOnly = 0x01,
  kFatAttrHidden = 0x02,
  kFatAttrSystem = 0x04,
  kFatAttrVolumeLabel = 0x08,
  kFatAttrDirectory = 0x10,
  kFatAttrArchive = 0x20,
  kFatAttrLongName = 0x0F,
};

inline uint8_t EntryAttributes(const uint8_t* e) { return e[11]; }
inline bool EntryEndsDirectory(const uint8_t* e) { return e[0] == 0x00; }
inline bool EntryIsDeleted(const uint8_t* e) { return e[0] == kFatDeletedMarker; }
inline bool EntryIsLongName(const uint8_t* e) { return (e[11] & 0x3F) == kFatAttrLongName; }
inline bool EntryIsDirectory(const uint8_t* e) {
  return !EntryIsLongName(e) && (e[11] & kFatAttrDirectory) != 0;
}
inline bool EntryIsVolumeLabel(const uint8_t* e) {
  return !EntryIsLongName(e) && (e[11] & kFatAttrVolumeLabel) != 0;
}
// "." or ".." of a directory (never deleted: their first byte is '.').
inline bool EntryIsDotEntry(const uint8_t* e) { return e[0] == '.'; }

inline uint16_t EntryClusterHigh(const uint8_t* e) {
  return ByteView({e, kFatEntrySize}).Le16(20).value_or(0);
}
inline uint16_t EntryClusterLow(const uint8_t* e) {
  return ByteView({e, kFatEntrySize}).Le16(26).value_or(0);
}
// The high word counts on FAT32 only; older volumes keep other data there.
inline uint32_t EntryFirstCluster(const uint8_t* e, bool fat32) {
  const uint32_t high = fat32 ? EntryClusterHigh(e) : 0;
  return ((high << 16) | EntryClusterLow(e)) & 0x0FFFFFFF;
}
inline uint32_t EntryFileSize(const uint8_t* e) {
  return ByteView({e, kFatEntrySize}).Le32(28).value_or(0);
}

// The 8.3 name as UTF-8 (OEM code page 437), extension after a '.' when present,
// lower-cased where the entry's case flags say so. A deleted entry's lost first
// byte reads '!'.
std::string ShortEntryName(const uint8_t* e);

struct FatEntryTimes {
  uint64_t created = 0;  // FILETIME, no time-zone shift
  uint64_t last_access = 0;
  uint64_t last_write = 0;
};
FatEntryTimes DecodeEntryTimes(const uint8_t* e);

// Long-name pieces met in front of a short entry (stored last piece first).
// Pieces of deleted entries lost their sequence number, so the checks that
// decide whether they belong to the short entry are structural: one checksum
// shared by all pieces, the terminator only in the last piece, and for live
// entries the sequence numbers and the short-name checksum.
class LongNameCollector {
 public:
  // The longest long name (255 characters) takes 20 pieces.
  static constexpr size_t kMaxPieces = 20;

  void Reset() { pieces_.clear(); }
  // A 21st piece starts a new run.
  void Add(const uint8_t* entry);
  bool Empty() const { return pieces_.empty(); }
  size_t PieceCount() const { return pieces_.size(); }

  // The UTF-8 long name of `short_entry`, or "" when the gathered pieces do
  // not belong to it.
  std::string NameFor(const uint8_t* short_entry) const;

 private:
  std::vector<std::array<uint8_t, kFatEntrySize>> pieces_;
};

}  // namespace velmora
