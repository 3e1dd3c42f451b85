#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace velmora::ntfs {

// Attribute lists are small; a larger claim is damage.
constexpr uint64_t kMaxAttributeListBytes = 4u << 20;

// One entry of an $ATTRIBUTE_LIST: where an extent of an attribute lives.
struct AttributeListEntry {
  uint32_t type = 0;
  uint64_t start_vcn = 0;
  uint64_t record = 0;  // 48-bit record number holding the extent
  uint16_t sequence = 0;
  uint16_t attribute_id = 0;
  std::string name;  // UTF-8, empty for unnamed
};

// Parses list data; stops at the first entry that does not fit or is malformed.
// False when it had to stop early (entries so far are kept).
bool ParseAttributeList(std::span<const uint8_t> data, std::vector<AttributeListEntry>* out);

}  // namespace velmora::ntfs
