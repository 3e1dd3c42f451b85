#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/source_fingerprint.h"
#include "storage/boot_record.h"

namespace velmora::ntfs {

// Layout of an NTFS volume as its boot sector describes it.
struct NtfsGeometry {
  uint32_t bytes_per_sector = 512;
  uint32_t sectors_per_cluster = 0;
  uint32_t cluster_size = 0;
  uint32_t mft_record_size = 1024;
  uint64_t mft_first_cluster = 0;
  uint64_t mft_mirror_cluster = 0;
  uint64_t total_sectors = 0;  // of the volume, in its own sectors
  uint32_t index_record_size = 4096;
};

// What the NTFS engines need to read a volume: the name, a power-of-two sector size
// from 256 to 4096 bytes (0 read as 512) and a cluster the size field can name.
bool IsReadableNtfsBoot(const BootRecord& boot);

// Parses the first sector of an NTFS volume. Returns false when the values
// cannot describe a readable volume (zero or odd sizes, MFT outside the volume).
// The MFT record size comes from the boot sector (0x40, signed: negative n means
// 2^-n bytes); when that field is unusable, 1024 bytes on 512-byte sectors and one
// sector otherwise.
bool ParseNtfsBootSector(const uint8_t* sector, size_t length, NtfsGeometry* out);

// Whether a boot sector found `offset` bytes into a region is the backup copy of the volume
// that starts there: the copy lies right after the sectors the volume counts (within a
// cluster), so a boot sector met elsewhere (inside a container file) is not taken for it.
bool IsBackupBootSectorAt(const NtfsGeometry& geometry, uint64_t offset);

// Sector and cluster counts encoded the way the boot sector's size fields are:
// positive values count units, negative n means 2^-n bytes.
uint32_t DecodeBootSizeField(int8_t field, uint32_t unit_bytes);

// What identifies the volume's contents beside its boot area: the first MFT
// records (the MFT's own bitmap, the root folder and the first files).
std::vector<FingerprintRange> NtfsFingerprintRanges(const NtfsGeometry& geometry);

}  // namespace velmora::ntfs

namespace velmora {

// The engine selection's test of a region's first sector: the "NTFS    " name, a
// sector size that is a multiple of 512, no FAT fields, a cluster the size field can
// name (64 KiB and larger included) and the 0x55 0xAA mark.
bool IsNtfsSelectionBoot(const BootRecord& boot);
bool IsNtfsBootSector(const uint8_t* sector512);

}  // namespace velmora
