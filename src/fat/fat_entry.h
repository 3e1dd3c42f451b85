#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "storage/byte_view.h"

namespace velmora {

// The 32-byte FAT directory entry, decoded in one place for the quick engine, the deep
// parse, the entry checks, the deep sector tests and the deep dispatch.
constexpr size_t kFatEntrySize = 32;
constexpr uint8_t kFatDeletedMarker = 0xE5;

// The attribute byte (offset 11) of a directory entry.
enum FatAttribute : uint8_t {
  kFatAttrReadOnly = 0x01,
  kFatAttrHidden = 0x02,
  kFatAttrSystem = 0x04,
  kFatAttrVolumeLabel = 0x08,
  kFatAttrDirectory = 0x10,
  kFatAttrArchive = 0x20,
  kFatAttrLongName = 0x0F,
  kFatAttrReservedBits = 0xC0,
};
// Set in the sequence number of a long name's last piece (stored first).
constexpr uint8_t kFatLongNameLastPiece = 0x40;
// A long name holds up to 255 UTF-16 units, 13 to a piece: 20 pieces at most. Any
// longer run of long-name entries, or a sequence number above it, is not a name.
constexpr size_t kMaxLongNamePieces = 20;

// A long-name piece shares the layout: its sequence number is the first name byte and
// its checksum sits where a short entry keeps the creation hundredths.
struct FatEntry {
  std::array<uint8_t, 11> name{};  // 0: 8.3 name, first byte the end/deleted mark
  uint8_t attributes = 0;          // 11
  uint8_t case_flags = 0;          // 12: bit 3 lower-case base, bit 4 lower-case extension
  uint8_t created_hundredths = 0;  // 13
  uint16_t created_time = 0;       // 14
  uint16_t created_date = 0;       // 16
  uint16_t access_date = 0;        // 18
  uint16_t cluster_high = 0;       // 20: FAT32 only
  uint16_t write_time = 0;         // 22
  uint16_t write_date = 0;         // 24
  uint16_t cluster_low = 0;        // 26
  uint32_t size = 0;               // 28

  uint8_t First() const { return name[0]; }
  bool EndsDirectory() const { return name[0] == 0x00; }
  bool IsDeleted() const { return name[0] == kFatDeletedMarker; }
  bool IsLongName() const { return (attributes & 0x3F) == kFatAttrLongName; }
  bool IsDirectory() const { return !IsLongName() && (attributes & kFatAttrDirectory) != 0; }
  bool IsVolumeLabel() const { return !IsLongName() && (attributes & kFatAttrVolumeLabel) != 0; }
  // "." or ".." of a directory (never deleted: their first byte is '.').
  bool IsDotEntry() const { return name[0] == '.'; }
  uint8_t LongNameChecksum() const { return created_hundredths; }
  // The high word counts on FAT32 only; older volumes keep other data there.
  uint32_t FirstCluster(bool fat32) const {
    const uint32_t high = fat32 ? cluster_high : 0u;
    return ((high << 16) | cluster_low) & 0x0FFFFFFF;
  }
};

// Reads exactly kFatEntrySize bytes at `entry`.
inline FatEntry DecodeEntry(const uint8_t* entry) {
  const ByteView b({entry, kFatEntrySize});
  FatEntry e;
  std::memcpy(e.name.data(), entry, e.name.size());
  e.attributes = b.U8(11).value_or(0);
  e.case_flags = b.U8(12).value_or(0);
  e.created_hundredths = b.U8(13).value_or(0);
  e.created_time = b.Le16(14).value_or(0);
  e.created_date = b.Le16(16).value_or(0);
  e.access_date = b.Le16(18).value_or(0);
  e.cluster_high = b.Le16(20).value_or(0);
  e.write_time = b.Le16(22).value_or(0);
  e.write_date = b.Le16(24).value_or(0);
  e.cluster_low = b.Le16(26).value_or(0);
  e.size = b.Le32(28).value_or(0);
  return e;
}

}  // namespace velmora
