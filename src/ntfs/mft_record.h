#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmora::ntfs {

enum AttributeType : uint32_t {
  kAttrStandardInformation = 0x10,
  kAttrAttributeList = 0x20,
  kAttrFileName = 0x30,
  kAttrVolumeName = 0x60,
  kAttrData = 0x80,
  kAttrIndexRoot = 0x90,
  kAttrIndexAllocation = 0xA0,
  kAttrBitmap = 0xB0,
  kAttrEnd = 0xFFFFFFFF,
};

constexpr uint16_t kRecordInUse = 0x0001;
constexpr uint16_t kRecordIsDirectory = 0x0002;

constexpr uint16_t kAttrFlagCompressionMask = 0x00FF;
constexpr uint16_t kAttrFlagEncrypted = 0x4000;
constexpr uint16_t kAttrFlagSparse = 0x8000;

// Update sequence blocks are 512 bytes whatever the sector size.
constexpr size_t kFixupBlockSize = 512;

enum class FixupResult {
  kApplied,   // every block's tail matched the update sequence number
  kTorn,      // applied, but at least one block was written incompletely
  kBadArray,  // the update sequence array does not fit the record: nothing changed
};

// Restores the last two bytes of each 512-byte block from the update sequence
// array, in place.
FixupResult ApplyFixup(std::span<uint8_t> record);

// "FILE" in the first four bytes.
bool HasFileMagic(std::span<const uint8_t> record);

// Record length a deep scan assumes for a sector size: two sectors of 512 bytes,
// otherwise one sector.
uint32_t RecordBytesForSector(int32_t sector_size);
// The deep scan's test of one sector: "FILE", sizes that fit one record of the
// assumed length, and the update sequence number repeated at the sector's end.
bool LooksLikeFileRecordSector(const uint8_t* sector, int32_t sector_size);

// A sector of NTFS metadata: a file record, an index block, the log's restart area
// or its first stream name. Ends a carved file.
bool IsNtfsStructureSector(const uint8_t* sector, size_t length);

struct MftRecordHeader {
  uint16_t sequence = 0;
  uint16_t link_count = 0;
  uint16_t first_attribute = 0;
  uint16_t flags = 0;
  uint32_t bytes_in_use = 0;
  uint32_t bytes_allocated = 0;
  uint64_t base_record = 0;  // 0 for a base record, else the base's number
  bool InUse() const { return (flags & kRecordInUse) != 0; }
  bool IsDirectory() const { return (flags & kRecordIsDirectory) != 0; }
};

// One attribute, its spans pointing into the record buffer it was parsed from.
struct MftAttribute {
  uint32_t type = 0;
  uint32_t length = 0;
  bool non_resident = false;
  uint16_t flags = 0;
  uint16_t id = 0;
  std::span<const uint8_t> name_utf16;  // 2 bytes per unit, empty for unnamed
  // Resident.
  std::span<const uint8_t> value;
  // Non-resident.
  uint64_t start_vcn = 0;
  uint64_t last_vcn = 0;
  uint8_t compression_unit = 0;  // log2 of clusters per compression unit
  uint64_t allocated_size = 0;
  uint64_t real_size = 0;
  uint64_t initialized_size = 0;
  std::span<const uint8_t> mapping_pairs;

  bool IsNamed() const { return !name_utf16.empty(); }
  bool IsCompressed() const { return (flags & kAttrFlagCompressionMask) != 0; }
  bool IsEncrypted() const { return (flags & kAttrFlagEncrypted) != 0; }
  // Size of the data: the value length or the real size.
  uint64_t DataSize() const { return non_resident ? real_size : value.size(); }
  std::string NameUtf8() const;
};

enum class MftRecordVerdict {
  kValid,      // header and every attribute inside the record
  kDamaged,    // a "FILE" record whose attribute chain breaks; attributes before the fault kept
  kNotRecord,  // no magic or an impossible header
  kBadFixup,   // a record header, but its update sequence array does not fit: left as read
};

struct MftRecord {
  MftRecordHeader header;
  std::vector<MftAttribute> attributes;

  // First attribute of `type`; with `unnamed` only one without a name.
  const MftAttribute* Find(uint32_t type, bool unnamed = false) const;
};

// Checks the header of a fixed-up record and walks its attributes. Each
// attribute, its name, its value and its mapping pairs must lie inside the bytes
// in use; the walk stops at the first one that does not.
MftRecordVerdict ParseMftRecord(std::span<const uint8_t> record, MftRecord* out);

// A record as read from the medium: checks the header, applies the fix-up in place
// and walks the attributes. `out->header` is filled for every verdict but kNotRecord,
// so a caller can still tell a folder by its flags when the fix-up array is broken.
MftRecordVerdict LoadMftRecord(std::span<uint8_t> record, MftRecord* out);

// Reads the header only (flags, sizes), with bounds checks. False without "FILE".
bool ParseMftRecordHeader(std::span<const uint8_t> record, MftRecordHeader* out);

enum FileNameSpace : uint8_t {
  kNamePosix = 0,
  kNameWin32 = 1,
  kNameDos = 2,
  kNameWin32AndDos = 3,
};

struct FileNameAttribute {
  uint64_t parent_record = 0;  // 48-bit record number
  uint16_t parent_sequence = 0;
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t mft_changed = 0;
  uint64_t accessed = 0;
  uint64_t allocated_size = 0;
  uint64_t real_size = 0;
  uint32_t file_flags = 0;
  uint8_t name_space = 0;
  std::string name;  // UTF-8
};

// Parses the value of a $FILE_NAME attribute; false when it is too short for
// its own name length.
bool ParseFileName(std::span<const uint8_t> value, FileNameAttribute* out);

// The name a user knows the file by: the first name that is not the DOS short
// name, or the DOS name when there is no other. False without any $FILE_NAME.
bool PreferredFileName(const MftRecord& record, FileNameAttribute* out);

// The four times of $STANDARD_INFORMATION, the ones the system keeps up to date.
struct StandardInformation {
  uint64_t created = 0;
  uint64_t modified = 0;
  uint64_t mft_changed = 0;
  uint64_t accessed = 0;
};

// Parses the value of a $STANDARD_INFORMATION attribute; false when it is too short
// for the four times.
bool ParseStandardInformation(std::span<const uint8_t> value, StandardInformation* out);

// The times a file is shown with: those of $STANDARD_INFORMATION (a copy with
// `cp -p` or `touch` changes only these), or those of its $FILE_NAME when the
// record has no readable $STANDARD_INFORMATION.
struct FileTimes {
  StandardInformation shown;
  bool from_standard_information = false;
};
FileTimes TimesOf(const MftRecord& record, const FileNameAttribute& name);

// Lower 48 bits of a file reference are the record number, the upper 16 its sequence.
inline uint64_t ReferenceRecord(uint64_t reference) { return reference & 0x0000FFFFFFFFFFFFull; }
inline uint16_t ReferenceSequence(uint64_t reference) {
  return static_cast<uint16_t>(reference >> 48);
}

}  // namespace velmora::ntfs
