#include "deep/boot_area.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "fat/fat_boot_geometry.h"
#include "fat/fat_directory_entry.h"
#include "ntfs/ntfs_geometry.h"
#include "ntfs/ntfs_volume.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"

namespace velmora {

namespace {

constexpr uint64_t kFat32BackupSector = 6;
constexpr size_t kSectorBytes = 512;
constexpr size_t kMaxRootBytes = 1 << 20;

bool IsFat32BootSector(const uint8_t* sector) {
  FatGeometry geometry;
  return IsFatBootSector(sector) && ParseFatBootSector(sector, kSectorBytes, &geometry) &&
         geometry.type == FatType::kFat32;
}

// The label entry of a FAT root folder: the first live entry with the label attribute.
std::string RootLabel(ByteSource& source, uint64_t region_offset, const FatGeometry& g) {
  uint64_t sector = 0;
  uint64_t bytes = 0;
  if (g.type == FatType::kFat32) {
    if (!g.ClusterToSector(g.root_cluster, &sector)) return {};
    bytes = g.ClusterBytes();
  } else {
    sector = g.RootRegionStart();
    bytes = static_cast<uint64_t>(g.root_entry_count) * 32;
  }
  std::vector<uint8_t> root(static_cast<size_t>(std::min<uint64_t>(bytes, kMaxRootBytes)));
  size_t got = 0;
  source.ReadAt(region_offset + sector * g.bytes_per_sector, root.data(), root.size(), &got);
  for (size_t at = 0; at + 32 <= got; at += 32) {
    const uint8_t* entry = root.data() + at;
    if (EntryEndsDirectory(entry)) break;
    if (EntryIsDeleted(entry) || !EntryIsVolumeLabel(entry)) continue;
    std::string text(reinterpret_cast<const char*>(entry), 11);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    for (char& c : text) {
      if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7F) c = '?';
    }
    return text;
  }
  return {};
}

}  // namespace

bool ReadBootAreaAround(ByteSource& source, uint64_t offset, size_t length, uint8_t* area,
                        bool* first_unreadable) {
  std::memset(area, 0, length);
  *first_unreadable = false;
  size_t got = 0;
  const int whole = source.ReadAt(offset, area, length, &got);
  if (whole == kSuccess) return got == length;  // a short source is no failing one
  bool any = false;
  for (size_t at = 0; at + kSectorBytes <= length; at += kSectorBytes) {
    got = 0;
    const int read = source.ReadSectorAt(offset + at, area + at, kSectorBytes, &got);
    if (read == kSuccess && got == kSectorBytes) {
      any = true;
    } else {
      std::memset(area + at, 0, kSectorBytes);
      if (at == 0) *first_unreadable = read != kSuccess;
    }
  }
  return any;
}

BootSectorChoice ChooseBootSector(ByteSource& source, uint64_t region_offset, uint64_t length,
                                  const uint8_t* area16k) {
  BootSectorChoice choice;
  choice.kind = ClassifyBootArea(area16k);
  std::memcpy(choice.sector, area16k, kSectorBytes);
  if (choice.kind != FileSystemKind::kOther) return choice;
  const uint8_t* fat_copy = area16k + kFat32BackupSector * kSectorBytes;
  if (IsFat32BootSector(fat_copy)) {
    choice.kind = FileSystemKind::kFat;
    choice.backup = true;
    choice.offset = kFat32BackupSector * kSectorBytes;
    std::memcpy(choice.sector, fat_copy, kSectorBytes);
    return choice;
  }
  if (length < 2 * kSectorBytes) return choice;
  uint8_t last[kSectorBytes];
  size_t got = 0;
  const uint64_t at = (length / kSectorBytes - 1) * kSectorBytes;
  ntfs::NtfsGeometry geometry;
  if (source.ReadAt(region_offset + at, last, sizeof(last), &got) == kSuccess &&
      got == sizeof(last) && IsNtfsBootSector(last) &&
      ntfs::ParseNtfsBootSector(last, sizeof(last), &geometry) &&
      ntfs::IsBackupBootSectorAt(geometry, at)) {
    choice.kind = FileSystemKind::kNtfs;
    choice.backup = true;
    choice.offset = at;
    std::memcpy(choice.sector, last, kSectorBytes);
  }
  return choice;
}

std::string ReadVolumeLabel(const std::shared_ptr<ByteSource>& source, uint64_t region_offset,
                            uint64_t length, const BootSectorChoice& boot) {
  if (boot.kind == FileSystemKind::kFat) {
    FatGeometry g;
    if (!ParseFatBootSector(boot.sector, kSectorBytes, &g)) return {};
    const std::string label = RootLabel(*source, region_offset, g);
    if (!label.empty()) return label;
    // What the format writes when the volume was given no label.
    const std::string in_boot = FatBootLabel(boot.sector, g.type);
    return in_boot == "NO NAME" ? std::string() : in_boot;
  }
  if (boot.kind != FileSystemKind::kNtfs) return {};
  SectorReader reader;
  if (OpenSourceReader(&reader, source) != kSuccess) return {};
  const uint64_t unit = std::max<uint64_t>(1, reader.device_sector_size);
  if (region_offset % unit != 0) return {};
  ntfs::NtfsVolume volume;
  if (volume.Open(std::move(reader), region_offset / unit, length / unit, true) != kSuccess) {
    return {};
  }
  return volume.VolumeLabel();
}

}  // namespace velmora
