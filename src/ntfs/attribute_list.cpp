#include "ntfs/attribute_list.h"

#include "engine/record_text.h"
#include "ntfs/mft_record.h"
#include "storage/byte_view.h"

namespace velmora::ntfs {

bool ParseAttributeList(std::span<const uint8_t> data, std::vector<AttributeListEntry>* out) {
  size_t offset = 0;
  while (offset < data.size()) {
    if (data.size() - offset < 0x1A) return data.size() - offset < 4;  // trailing padding is fine
    const ByteView entry_bytes = ByteView(data).From(offset);
    const uint8_t* p = entry_bytes.data();
    const uint32_t type = entry_bytes.Le32(0).value_or(0);
    const uint16_t length = entry_bytes.Le16(4).value_or(0);
    if (type == 0 || type == kAttrEnd) return true;
    if (length < 0x1A || length > data.size() - offset) return false;
    AttributeListEntry entry;
    entry.type = type;
    const uint8_t name_units = p[6];
    const uint8_t name_offset = p[7];
    entry.start_vcn = entry_bytes.Le64(8).value_or(0);
    const uint64_t reference = entry_bytes.Le64(0x10).value_or(0);
    entry.record = ReferenceRecord(reference);
    entry.sequence = ReferenceSequence(reference);
    entry.attribute_id = entry_bytes.Le16(0x18).value_or(0);
    if (name_units != 0) {
      if (static_cast<size_t>(name_offset) + name_units * 2u > length) return false;
      entry.name = Utf16LeToUtf8(p + name_offset, name_units);
    }
    out->push_back(std::move(entry));
    offset += length;
  }
  return true;
}

}  // namespace velmora::ntfs
