// $ATTRIBUTE_LIST data.
#include <vector>

#include "fuzz_target.h"
#include "ntfs/attribute_list.h"

VELMORA_FUZZ_TARGET(attribute_list) {
  std::vector<velmora::ntfs::AttributeListEntry> entries;
  (void)velmora::ntfs::ParseAttributeList({data, size}, &entries);
  // Each entry takes at least its 26-byte fixed part.
  FUZZ_CHECK(entries.size() <= size / 26);
  for (const auto& entry : entries) FUZZ_CHECK(entry.record <= 0x0000FFFFFFFFFFFFull);
}
