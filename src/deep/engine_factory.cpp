#include "deep/engine_factory.h"

#include <vector>

#include "deep/boot_area.h"
#include "deep/boot_sector_classifier.h"
#include "deep/deep_recovery.h"
#include "engine/quick_ext_recovery.h"
#include "engine/source_fingerprint.h"
#include "fat/fat_boot_geometry.h"
#include "fat/quick_fat_recovery.h"
#include "ntfs/ntfs_geometry.h"
#include "ntfs/quick_ntfs_recovery.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"

namespace velmora {

namespace {

constexpr size_t kBootAreaBytes = 16384;

bool ReadBootArea(ByteSource& source, uint64_t offset, std::vector<uint8_t>* area) {
  area->assign(kBootAreaBytes, 0);
  bool first_unreadable = false;
  return ReadBootAreaAround(source, offset, area->size(), area->data(), &first_unreadable);
}

std::unique_ptr<IFileRecoveryParse> CreateEngine(FileSystemKind kind, bool deep) {
  // A deep scan suits any region, formatted or not.
  if (deep) return std::make_unique<CProfessionalRecovery>();
  switch (kind) {
    case FileSystemKind::kExt: return std::make_unique<CFastExtRecovery>();
    case FileSystemKind::kFat: return std::make_unique<CFastFatRecovery>();
    case FileSystemKind::kNtfs: return std::make_unique<CFastNtfsRecovery>();
    case FileSystemKind::kOther: break;
  }
  return nullptr;
}

std::vector<FingerprintRange> MetadataRanges(const std::vector<uint8_t>& area) {
  switch (ClassifyBootArea(area.data())) {
    case FileSystemKind::kNtfs: {
      ntfs::NtfsGeometry geometry;
      if (ntfs::ParseNtfsBootSector(area.data(), area.size(), &geometry)) {
        return ntfs::NtfsFingerprintRanges(geometry);
      }
      break;
    }
    case FileSystemKind::kFat: {
      FatGeometry geometry;
      if (ParseFatBootSector(area.data(), area.size(), &geometry))
        return FatFingerprintRanges(geometry);
      break;
    }
    default: break;
  }
  return {};
}

std::string FingerprintOpened(ByteSource& source, uint64_t offset, uint64_t bytes,
                              uint64_t write_time) {
  std::vector<uint8_t> area;
  const std::vector<FingerprintRange> ranges =
      ReadBootArea(source, offset, &area) ? MetadataRanges(area) : std::vector<FingerprintRange>{};
  return FingerprintRegion(source, offset, bytes, write_time, ranges);
}

}  // namespace

std::string FingerprintPartition(int disk_number, uint64_t start_sector, uint64_t sector_count) {
  const std::string path = platform::PhysicalDrivePath(disk_number);
  std::shared_ptr<ByteSource> source;
  if (path.empty() || OpenByteSource(path, &source) != kSuccess) return {};
  const uint64_t unit = source->SectorSize();
  return FingerprintOpened(*source, start_sector * unit, sector_count * unit, 0);
}

std::string FingerprintImage(const std::string& image_path) {
  std::shared_ptr<ByteSource> source;
  if (OpenByteSource(image_path, &source) != kSuccess) return {};
  uint64_t write_time = 0;
  platform::FileLastWriteTime(image_path, &write_time);
  return FingerprintOpened(*source, 0, source->Size(), write_time);
}

std::unique_ptr<IFileRecoveryParse> CreateEngineForPartition(int disk_number, uint32_t start_low,
                                                             uint32_t start_high,
                                                             uint32_t count_low,
                                                             uint32_t count_high,
                                                             char16_t drive_letter, bool deep) {
  const uint64_t start = (static_cast<uint64_t>(start_high) << 32) | start_low;
  const uint64_t count = (static_cast<uint64_t>(count_high) << 32) | count_low;
  const std::string path = platform::PhysicalDrivePath(disk_number);
  if (path.empty()) return nullptr;
  std::shared_ptr<ByteSource> source;
  if (OpenByteSource(path, &source) != kSuccess) return nullptr;
  FlushVolume(path);
  std::vector<uint8_t> area;
  const uint64_t unit = source->SectorSize();
  const bool read = ReadBootArea(*source, start * unit, &area);
  // A damaged boot sector: the quick engines go by the file system's own copy.
  const FileSystemKind kind =
      read ? ChooseBootSector(*source, start * unit, count * unit, area.data()).kind
           : FileSystemKind::kOther;
  source.reset();
  // A deep scan reads around unreadable sectors, the boot area's too.
  if (!read && !deep) return nullptr;
  auto engine = CreateEngine(kind, deep);
  // An engine that cannot open its source is no engine: later calls would only fail.
  if (engine && engine->OpenPartition(disk_number, start, count, drive_letter) != kSuccess) {
    return nullptr;
  }
  return engine;
}

std::unique_ptr<IFileRecoveryParse> CreateEngineForImage(const std::string& image_path,
                                                         char16_t drive_tag, bool deep) {
  std::shared_ptr<ByteSource> source;
  if (OpenByteSource(image_path, &source) != kSuccess) return nullptr;
  std::vector<uint8_t> area;
  const bool read = ReadBootArea(*source, 0, &area);
  const FileSystemKind kind = read ? ChooseBootSector(*source, 0, source->Size(), area.data()).kind
                                   : FileSystemKind::kOther;
  source.reset();
  if (!read && !deep) return nullptr;
  auto engine = CreateEngine(kind, deep);
  if (engine && engine->OpenImage(image_path, drive_tag) != kSuccess) return nullptr;
  return engine;
}

}  // namespace velmora
