// The directory-sector tests that route a deep scan's sectors, on one sector of any size.
#include "fat/fat_sector_classifier.h"
#include "fat/fat_entry_checks.h"
#include "fuzz_target.h"

using namespace velmora;

VELMORA_FUZZ_TARGET(fat_directory_sector) {
  const bool plain = IsDirectorySector(data, size);
  const bool start = IsDirectoryStartSector(data, size);
  const bool deep = IsDeepDirectorySector(data, size);
  const bool structure = IsFatStructureSector(data, size);
  FUZZ_CHECK(!plain || deep);  // the deep test only adds label sectors
  FUZZ_CHECK(structure == (plain || start));
}
