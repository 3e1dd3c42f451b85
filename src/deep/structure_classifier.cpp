#include "deep/structure_classifier.h"

#include "fat/fat_entry_checks.h"
#include "ntfs/mft_record.h"

namespace velmora {

std::vector<StructureTest> FileSystemStructureTests() {
  return {&ntfs::IsNtfsStructureSector, &IsFatStructureSector};
}

}  // namespace velmora
