// NTFS boot sector: the engine selection's test and the geometry parser.
#include "fuzz_target.h"
#include "ntfs/ntfs_geometry.h"

VELMORA_FUZZ_TARGET(ntfs_boot_sector) {
  if (size >= 512) (void)velmora::IsNtfsBootSector(data);
  velmora::ntfs::NtfsGeometry g;
  if (!velmora::ntfs::ParseNtfsBootSector(data, size, &g)) return;
  FUZZ_CHECK(g.bytes_per_sector >= 256 && g.bytes_per_sector <= 4096);
  FUZZ_CHECK((g.bytes_per_sector & (g.bytes_per_sector - 1)) == 0);
  FUZZ_CHECK(g.sectors_per_cluster != 0 &&
             g.cluster_size == g.sectors_per_cluster * g.bytes_per_sector);
  FUZZ_CHECK(g.mft_record_size >= 256 && g.mft_record_size <= 65536);
  (void)velmora::ntfs::NtfsFingerprintRanges(g);
}
