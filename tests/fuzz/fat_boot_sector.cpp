// FAT boot sector and the engine selection's classification of a region's first 16 KiB.
#include <algorithm>
#include <vector>

#include "deep/boot_sector_classifier.h"
#include "fat/fat_boot_geometry.h"
#include "fuzz_target.h"

using namespace velmora;

VELMORA_FUZZ_TARGET(fat_boot_sector) {
  std::vector<uint8_t> area(16384, 0);
  std::copy_n(data, std::min(size, area.size()), area.begin());
  (void)ClassifyBootArea(area.data());
  (void)IsExtSuperblock(area.data() + 1024);
  (void)IsFatBootSector(area.data());
  (void)IsBitLockerBootSector(area.data());

  FatGeometry g;
  if (!ParseFatBootSector(data, size, &g)) return;
  (void)FatBootLabel(data, g.type);
  (void)FatFingerprintRanges(g);
  FUZZ_CHECK(g.bytes_per_sector != 0 && g.sectors_per_cluster != 0);
  FUZZ_CHECK(g.first_data_sector >= g.root_directory_sectors);
  // The data area as described fits the volume.
  FUZZ_CHECK(g.first_data_sector + uint64_t{g.cluster_count} * g.sectors_per_cluster <=
             g.total_sectors);
  uint64_t sector = 0;
  if (g.cluster_count > 0) {
    FUZZ_CHECK(g.ClusterToSector(g.cluster_count + 1, &sector));
    FUZZ_CHECK(sector < g.total_sectors);
  }
  FUZZ_CHECK(!g.ClusterToSector(g.cluster_count + 2, &sector));
}
