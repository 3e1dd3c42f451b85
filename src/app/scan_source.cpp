#include "app/scan_source.h"

#include <climits>
#include <cstdlib>

#include "deep/engine_factory.h"
#include "engine/recovery_output.h"
#include "storage/disk_enumerator.h"
#include "storage/error_codes.h"
#include "storage/platform_device.h"
#include "storage/platform_disks.h"
#include "storage/source_locator.h"
#include "storage/text_codec.h"

namespace velmora::app {

std::string ScanSource::ShortName() const {
  if (IsImage()) return LastPathComponent(image_path);
  return std::to_string(entry->number);
}

std::string ScanSource::Label() const {
  return EscapeControl(display.empty() ? ShortName() : display);
}

std::unique_ptr<IFileRecoveryParse> CreateEngine(const ScanSource& source, ScanMode mode) {
  const bool deep = mode == ScanMode::kDeep;
  if (source.IsImage()) return CreateEngineForImage(source.image_path, source.drive_tag, deep);
  const PartitionEntry& entry = *source.entry;
  return CreateEngineForPartition(entry.disk, static_cast<uint32_t>(entry.start),
                                  static_cast<uint32_t>(entry.start >> 32),
                                  static_cast<uint32_t>(entry.length),
                                  static_cast<uint32_t>(entry.length >> 32), source.drive_tag, deep);
}

SourceList::~SourceList() {
  for (const int number : registered_drives_) platform::ForgetPhysicalDrive(number);
}

void SourceList::SetDisks(const DiskEnumerator& enumerator) {
  std::vector<DiskNode> old_disks;
  old_disks.swap(disks_);
  auto take_engine = [&old_disks](const PartitionEntry& entry) {
    for (auto& disk : old_disks) {
      for (auto& row : disk.rows) {
        if (row->engine && row->entry->disk_path == entry.disk_path &&
            row->entry->start == entry.start && row->entry->length == entry.length) {
          return std::move(row->engine);
        }
      }
    }
    return std::unique_ptr<IFileRecoveryParse>();
  };
  for (const auto& [number, entries] : enumerator.Entries()) {
    DiskNode disk;
    disk.number = number;
    if (const auto it = enumerator.Disks().find(number); it != enumerator.Disks().end()) {
      disk.device_path = it->second.device_path;
      disk.removable = it->second.removable;
    }
    for (const PartitionEntry& entry : entries) {
      auto row = std::make_unique<ScanSource>();
      row->entry = entry;
      row->drive_tag = static_cast<uint16_t>(entry.number);
      row->engine = take_engine(entry);
      disk.rows.push_back(std::move(row));
    }
    disks_.push_back(std::move(disk));
  }
  // Image disks are not in the enumeration; keep them after the real ones.
  for (auto& disk : old_disks) {
    if (disk.number >= kFirstImageDriveNumber) disks_.push_back(std::move(disk));
  }
}

uint16_t SourceList::NextRowTag() const {
  uint16_t highest = 0;
  for (const auto& disk : disks_) {
    for (const auto& row : disk.rows) highest = std::max(highest, row->drive_tag);
  }
  return static_cast<uint16_t>(highest + 1);
}

int SourceList::AddPartitionedImage(const std::string& path, std::string* error) {
  char resolved[PATH_MAX];
  const std::string absolute = ::realpath(path.c_str(), resolved) ? resolved : path;
  PartitionTable table;
  uint64_t bytes = 0;
  int err = ReadSourcePartitionTable(absolute, &table, &bytes);
  if (err != kSuccess) {
    *error = "cannot read '" + path + "'";
    return err;
  }
  if (table.scheme == PartitionScheme::kNone || table.partitions.empty()) {
    *error = "'" + path + "' holds no partition table";
    return kErrInvalidParameter;
  }
  if (table.sector_size != 512) {
    *error = "'" + path + "' uses " + std::to_string(table.sector_size) + "-byte sectors";
    return kErrNotSupported;
  }
  const int number = platform::RegisterImageDrive(absolute, kFirstImageDriveNumber);
  registered_drives_.push_back(number);
  std::vector<PartitionEntry> volumes;
  for (const TablePartition& partition : table.partitions) {
    PartitionEntry entry;
    entry.disk = number;
    entry.partition = static_cast<int32_t>(partition.slot);
    entry.type = partition.mbr_type;
    entry.start = partition.start_sector;
    entry.length = partition.sector_count;
    entry.total = partition.sector_count * 512;
    entry.disk_path = absolute;
    const platform::FileSystemProbe probe =
        platform::ProbeFileSystem(absolute, entry.start * 512, entry.total, 512);
    if (probe.found) {
      entry.file_system_name = FileSystemDisplayName(probe.type, probe.version);
      entry.volume_label = probe.label;
    }
    volumes.push_back(std::move(entry));
  }
  DiskNode disk;
  disk.number = number;
  disk.device_path = absolute;
  uint16_t tag = NextRowTag();
  for (PartitionEntry& entry : LayOutDisk(number, bytes / 512, 512, kDefaultSectorsPerCylinder,
                                          false, std::move(volumes))) {
    auto row = std::make_unique<ScanSource>();
    entry.disk_path = absolute;
    entry.number = tag;
    row->drive_tag = tag++;
    row->entry = std::move(entry);
    disk.rows.push_back(std::move(row));
  }
  disks_.push_back(std::move(disk));
  return kSuccess;
}

ScanSource& SourceList::AddImage(const std::string& path) {
  char resolved[PATH_MAX];
  auto source = std::make_unique<ScanSource>();
  // Saved scans of images are found by path: one file, one spelling.
  source->image_path = ::realpath(path.c_str(), resolved) ? resolved : path;
  source->drive_tag = ++image_counter_;
  images_.push_back(std::move(source));
  return *images_.back();
}

ScanSource& SourceList::AddRegion(const PartitionEntry& entry) {
  DiskNode disk;
  disk.number = entry.disk;
  disk.device_path = entry.disk_path;
  auto row = std::make_unique<ScanSource>();
  row->entry = entry;
  row->drive_tag = NextRowTag();
  row->entry->number = row->drive_tag;
  disk.rows.push_back(std::move(row));
  disks_.push_back(std::move(disk));
  return *disks_.back().rows.back();
}

std::vector<ScanSource*> SourceList::RowsOf(size_t index) const {
  std::vector<ScanSource*> rows;
  if (index >= disks_.size()) return rows;
  for (const auto& row : disks_[index].rows) rows.push_back(row.get());
  return rows;
}

std::vector<ScanSource*> SourceList::All() const {
  std::vector<ScanSource*> all;
  for (size_t i = 0; i < disks_.size(); ++i) {
    const auto rows = RowsOf(i);
    all.insert(all.end(), rows.begin(), rows.end());
  }
  for (const auto& image : images_) all.push_back(image.get());
  return all;
}

ScanSource* SourceList::FindByKey(uint16_t tag) const {
  for (ScanSource* source : All()) {
    if (source->Key() == tag) return source;
  }
  return nullptr;
}

IFileRecoveryParse* SourceList::EngineFor(const ScanRecord& record) const {
  ScanSource* source = FindByKey(record.drive_tag);
  return source ? source->engine.get() : nullptr;
}

}  // namespace velmora::app
