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
inline uint8_t EntryAttributes(const uint8_t* e) { return DecodeEntry(e).attributes; }
inline bool EntryEndsDirectory(const uint8_t* e) { return DecodeEntry(e).EndsDirectory(); }
inline bool EntryIsDeleted(const uint8_t* e) { return DecodeEntry(e).IsDeleted(); }
inline bool EntryIsLongName(const uint8_t* e) { return DecodeEntry(e).IsLongName(); }
inline bool EntryIsDirectory(const uint8_t* e) { return DecodeEntry(e).IsDirectory(); }
inline bool EntryIsVolumeLabel(const uint8_t* e) { return DecodeEntry(e).IsVolumeLabel(); }
inline bool EntryIsDotEntry(const uint8_t* e) { return DecodeEntry(e).IsDotEntry(); }
inline uint16_t EntryClusterHigh(const uint8_t* e) { return DecodeEntry(e).cluster_high; }
inline uint16_t EntryClusterLow(const uint8_t* e) { return DecodeEntry(e).cluster_low; }
inline uint32_t EntryFirstCluster(const uint8_t* e, bool fat32) {
  return DecodeEntry(e).FirstCluster(fat32);
}
inline uint32_t EntryFileSize(const uint8_t* e) { return DecodeEntry(e).size; }

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
  static constexpr size_t kMaxPieces = kMaxLongNamePieces;

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
