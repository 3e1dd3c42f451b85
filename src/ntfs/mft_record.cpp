#include "ntfs/mft_record.h"

#include <algorithm>
#include <cstring>

#include "engine/record_text.h"
#include "signature/byte_search.h"
#include "storage/byte_view.h"

namespace velmora::ntfs {

namespace {

constexpr size_t kHeaderMinimum = 0x30;
constexpr size_t kResidentHeader = 0x18;
constexpr size_t kNonResidentHeader = 0x40;

bool ParseAttributeAt(std::span<const uint8_t> used, size_t offset, MftAttribute* a) {
  const size_t room = used.size() - offset;
  if (room < 16) return false;
  const ByteView v = ByteView(used).From(offset);
  const uint8_t* p = v.data();
  a->type = v.Le32(0).value_or(0);
  a->length = v.Le32(4).value_or(0);
  if (a->length < 16 || a->length > room || (a->length % 8) != 0) return false;
  const std::span<const uint8_t> whole = used.subspan(offset, a->length);
  a->non_resident = p[8] != 0;
  const uint8_t name_units = p[9];
  const uint16_t name_offset = v.Le16(0x0A).value_or(0);
  a->flags = v.Le16(0x0C).value_or(0);
  a->id = v.Le16(0x0E).value_or(0);
  a->name_utf16 = {};
  if (name_units != 0) {
    if (!ByteView(whole).Has(name_offset, name_units * 2u)) return false;
    a->name_utf16 = whole.subspan(name_offset, name_units * 2u);
  }
  a->value = {};
  a->mapping_pairs = {};
  a->start_vcn = a->last_vcn = a->allocated_size = a->real_size = a->initialized_size = 0;
  a->compression_unit = 0;
  if (!a->non_resident) {
    if (a->length < kResidentHeader) return false;
    const uint32_t value_length = v.Le32(0x10).value_or(0);
    const uint16_t value_offset = v.Le16(0x14).value_or(0);
    if (!ByteView(whole).Has(value_offset, value_length)) return false;
    a->value = whole.subspan(value_offset, value_length);
    return true;
  }
  if (a->length < kNonResidentHeader) return false;
  a->start_vcn = v.Le64(0x10).value_or(0);
  a->last_vcn = v.Le64(0x18).value_or(0);
  const uint16_t pairs_offset = v.Le16(0x20).value_or(0);
  const uint16_t unit = v.Le16(0x22).value_or(0);
  a->compression_unit = unit <= 16 ? static_cast<uint8_t>(unit) : 0;
  a->allocated_size = v.Le64(0x28).value_or(0);
  a->real_size = v.Le64(0x30).value_or(0);
  a->initialized_size = v.Le64(0x38).value_or(0);
  if (pairs_offset > a->length) return false;
  a->mapping_pairs = whole.subspan(pairs_offset);
  return true;
}

}  // namespace

std::string MftAttribute::NameUtf8() const {
  return Utf16LeToUtf8(name_utf16.data(), name_utf16.size() / 2);
}

bool HasFileMagic(std::span<const uint8_t> record) {
  return record.size() >= 4 && std::memcmp(record.data(), "FILE", 4) == 0;
}

uint32_t RecordBytesForSector(int32_t sector_size) {
  return sector_size > 512 ? static_cast<uint32_t>(sector_size)
                           : 2u * static_cast<uint32_t>(sector_size);
}

bool LooksLikeFileRecordSector(const uint8_t* sector, int32_t sector_size) {
  if (sector == nullptr || sector_size < 512) return false;
  const ByteView view({sector, static_cast<size_t>(sector_size)});
  if (!view.Matches(0, "FILE")) return false;
  const uint32_t record_bytes = RecordBytesForSector(sector_size);
  return view.Le32(24).value_or(0) <= record_bytes && view.Le32(28) == record_bytes &&
         view.Le16(48) == view.Le16(510);
}

bool IsNtfsStructureSector(const uint8_t* sector, size_t length) {
  if (sector == nullptr) return false;
  if (bytes::At(sector, length, 0, "FILE") || bytes::At(sector, length, 0, "INDX")) return true;
  if (bytes::At(sector, length, 0, "RSTR") &&
      bytes::Find(sector, length, {"N\0T\0F\0S\0", 8}) != bytes::kNotFound) {
    return true;
  }
  return bytes::At(sector, length, 0, {"$\0S\0T\0A\0", 8});
}

FixupResult ApplyFixup(std::span<uint8_t> record) {
  const ByteView header{std::span<const uint8_t>(record)};
  const std::optional<uint16_t> array_field = header.Le16(4);
  const std::optional<uint16_t> count_field = header.Le16(6);
  if (!array_field || !count_field) return FixupResult::kBadArray;
  const uint16_t array_offset = *array_field;
  const uint16_t count = *count_field;
  if (count < 2 || (array_offset & 1) != 0) return FixupResult::kBadArray;
  const size_t blocks = count - 1u;
  if (blocks * kFixupBlockSize > record.size()) return FixupResult::kBadArray;
  if (static_cast<size_t>(array_offset) + 2u * count > record.size()) return FixupResult::kBadArray;
  // The array must not overlap the block tails it restores.
  if (static_cast<size_t>(array_offset) + 2u * count > kFixupBlockSize - 2) {
    return FixupResult::kBadArray;
  }
  uint8_t* array = record.data() + array_offset;
  bool torn = false;
  for (size_t i = 1; i <= blocks; ++i) {
    uint8_t* tail = record.data() + i * kFixupBlockSize - 2;
    if (tail[0] != array[0] || tail[1] != array[1]) torn = true;
    tail[0] = array[2 * i];
    tail[1] = array[2 * i + 1];
  }
  return torn ? FixupResult::kTorn : FixupResult::kApplied;
}

bool ParseMftRecordHeader(std::span<const uint8_t> record, MftRecordHeader* out) {
  if (!HasFileMagic(record) || record.size() < kHeaderMinimum) return false;
  const ByteView v(record);
  out->sequence = v.Le16(0x10).value_or(0);
  out->link_count = v.Le16(0x12).value_or(0);
  out->first_attribute = v.Le16(0x14).value_or(0);
  out->flags = v.Le16(0x16).value_or(0);
  out->bytes_in_use = v.Le32(0x18).value_or(0);
  out->bytes_allocated = v.Le32(0x1C).value_or(0);
  out->base_record = ReferenceRecord(v.Le64(0x20).value_or(0));
  return true;
}

MftRecordVerdict ParseMftRecord(std::span<const uint8_t> record, MftRecord* out) {
  out->attributes.clear();
  if (!ParseMftRecordHeader(record, &out->header)) return MftRecordVerdict::kNotRecord;
  const MftRecordHeader& h = out->header;
  // Some writers leave bytes-in-use past the end on damaged records; walk no further than the
  // buffer.
  const size_t used_size = std::min<size_t>(h.bytes_in_use, record.size());
  if (h.first_attribute < 0x18 || h.first_attribute >= used_size) return MftRecordVerdict::kDamaged;
  const std::span<const uint8_t> used = record.first(used_size);
  size_t offset = h.first_attribute;
  while (offset + 4 <= used.size()) {
    const uint32_t type = ByteView(used).Le32(offset).value_or(0);
    if (type == kAttrEnd) return MftRecordVerdict::kValid;
    MftAttribute attribute;
    if (type == 0 || !ParseAttributeAt(used, offset, &attribute)) return MftRecordVerdict::kDamaged;
    out->attributes.push_back(attribute);
    offset += attribute.length;
  }
  // No end marker inside the bytes in use.
  return MftRecordVerdict::kDamaged;
}

MftRecordVerdict LoadMftRecord(std::span<uint8_t> record, MftRecord* out) {
  out->attributes.clear();
  if (!ParseMftRecordHeader(record, &out->header)) return MftRecordVerdict::kNotRecord;
  if (ApplyFixup(record) == FixupResult::kBadArray) return MftRecordVerdict::kBadFixup;
  return ParseMftRecord(record, out);
}

const MftAttribute* MftRecord::Find(uint32_t type, bool unnamed) const {
  for (const MftAttribute& a : attributes) {
    if (a.type == type && (!unnamed || !a.IsNamed())) return &a;
  }
  return nullptr;
}

bool ParseFileName(std::span<const uint8_t> value, FileNameAttribute* out) {
  if (value.size() < 0x42) return false;
  const ByteView v(value);
  const uint8_t* p = value.data();
  const uint8_t units = p[0x40];
  if (value.size() < 0x42u + units * 2u) return false;
  const uint64_t parent = v.Le64(0).value_or(0);
  out->parent_record = ReferenceRecord(parent);
  out->parent_sequence = ReferenceSequence(parent);
  out->created = v.Le64(0x08).value_or(0);
  out->modified = v.Le64(0x10).value_or(0);
  out->mft_changed = v.Le64(0x18).value_or(0);
  out->accessed = v.Le64(0x20).value_or(0);
  out->allocated_size = v.Le64(0x28).value_or(0);
  out->real_size = v.Le64(0x30).value_or(0);
  out->file_flags = v.Le32(0x38).value_or(0);
  out->name_space = p[0x41];
  out->name = Utf16LeToUtf8(p + 0x42, units);
  return true;
}

bool ParseStandardInformation(std::span<const uint8_t> value, StandardInformation* out) {
  const ByteView view(value);
  if (value.size() < 0x20) return false;
  out->created = view.Le64(0x00).value_or(0);
  out->modified = view.Le64(0x08).value_or(0);
  out->mft_changed = view.Le64(0x10).value_or(0);
  out->accessed = view.Le64(0x18).value_or(0);
  return true;
}

FileTimes TimesOf(const MftRecord& record, const FileNameAttribute& name) {
  FileTimes times;
  const MftAttribute* si = record.Find(kAttrStandardInformation);
  if (si != nullptr && !si->non_resident && ParseStandardInformation(si->value, &times.shown)) {
    times.from_standard_information = true;
    return times;
  }
  times.shown = StandardInformation{name.created, name.modified, name.mft_changed, name.accessed};
  return times;
}

bool PreferredFileName(const MftRecord& record, FileNameAttribute* out) {
  bool found = false;
  for (const MftAttribute& a : record.attributes) {
    if (a.type != kAttrFileName || a.non_resident) continue;
    FileNameAttribute candidate;
    if (!ParseFileName(a.value, &candidate)) continue;
    if (candidate.name_space != kNameDos) {
      *out = std::move(candidate);
      return true;
    }
    if (!found) {
      *out = std::move(candidate);
      found = true;
    }
  }
  return found;
}

}  // namespace velmora::ntfs
