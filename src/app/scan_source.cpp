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

std::string ScanSource::Identity() const {
  if (IsImage()) return image_path;
  return entry->disk_path + "@" + std::to_string(entry->start) + "+" +
         std::to_string(entry->length);
}

std::string ScanSource::Label() const {
  return EscapeControl(display.empty() ? ShortName() : display);
}

std::unique_ptr<IFileRecoveryParse> CreateEngine(const ScanSource& source, ScanMode mode) {
  const bool deep = mode == ScanMode::kDeep;
  if (source.IsImage()) return CreateEngineForImage(source.image_path, source.drive_tag, deep);
  const PartitionEntry& entry = *source.entry;
  return CreateEngineForPartition(
      entry.disk, static_cast<uint32_t>(entry.start), static_cast<uint32_t>(entry.start >> 32),
      static_cast<uint32_t>(entry.length), static_cast<uint32_t>(entry.length >> 32),
      source.drive_tag, deep);
}

SourceList::~SourceList() {
  for (const int number : registered_drives_) platform::ForgetPhysicalDrive(number);
}

void SourceList::SetDisks(const DiskEnumerator& enumerator) {
  std::vector<DiskNode> old_disks;
  old_disks.swap(disks_);
  // A row still there stays the same object, with its tag and engine: workflows and the
  // window hold rows by address.
  auto take_row = [this, &old_disks](const std::string& identity) {
    std::unique_ptr<ScanSource> found;
    for (auto& disk : old_disks) {
      for (auto& row : disk.rows) {
        if (row && disk.number < kFirstImageDriveNumber && row->Identity() == identity) {
          found = std::move(row);
        }
      }
    }
    for (auto it = gone_.begin(); !found && it != gone_.end(); ++it) {
      if ((*it)->Identity() == identity) {
        found = std::move(*it);
        gone_.erase(it);
        break;
      }
    }
    return found;
  };
  for (const auto& [number, entries] : enumerator.Entries()) {
    DiskNode disk;
    disk.number = number;
    if (const auto it = enumerator.Disks().find(number); it != enumerator.Disks().end()) {
      disk.device_path = it->second.device_path;
      disk.removable = it->second.removable;
    }
    for (const PartitionEntry& entry : entries) {
      auto fresh = std::make_unique<ScanSource>();
      fresh->entry = entry;
      std::unique_ptr<ScanSource> row = take_row(fresh->Identity());
      if (row) {
        row->entry = entry;
      } else {
        row = std::move(fresh);
        row->drive_tag = TagFor(row->Identity(), false);
      }
      disk.rows.push_back(std::move(row));
    }
    disks_.push_back(std::move(disk));
  }
  // Rows that went (a device detached) are no longer listed, but a scan run or the results
  // may still name them: they live on, and their files stay recoverable while readable.
  for (auto& disk : old_disks) {
    if (disk.number >= kFirstImageDriveNumber) continue;
    for (auto& row : disk.rows) {
      if (row) gone_.push_back(std::move(row));
    }
  }
  // Image disks are not in the enumeration; keep them after the real ones, numbered after
  // them so that a row's number names one row where it can.
  uint32_t number = NextRowNumber();
  for (auto& disk : old_disks) {
    if (disk.number < kFirstImageDriveNumber) continue;
    for (auto& row : disk.rows) row->entry->number = number++;
    disks_.push_back(std::move(disk));
  }
}

uint16_t SourceList::TagFor(const std::string& identity, bool image) {
  if (const auto it = tags_.find(identity); it != tags_.end()) return it->second;
  auto free_tag = [this, image]() -> uint16_t {
    const uint32_t first = image ? kFirstImageTag : 1;
    for (uint32_t i = 0; i < 0xFFFFu; ++i) {
      const auto tag = static_cast<uint16_t>((first - 1 + i) % 0xFFFFu + 1);
      if (given_.count(tag) == 0) return tag;
    }
    return 0;
  };
  uint16_t tag = free_tag();
  if (tag == 0) {
    // Every tag was given once: those of sources no longer listed are given again.
    given_.clear();
    std::map<std::string, uint16_t> listed;
    std::vector<ScanSource*> kept = All();
    for (const auto& source : gone_) kept.push_back(source.get());
    for (const ScanSource* source : kept) {
      listed[source->Identity()] = source->drive_tag;
      given_.insert(source->drive_tag);
    }
    tags_.swap(listed);
    tag = free_tag();
  }
  tags_[identity] = tag;
  given_.insert(tag);
  return tag;
}

uint32_t SourceList::NextRowNumber() const {
  uint32_t highest = 0;
  for (const auto& disk : disks_) {
    for (const auto& row : disk.rows) highest = std::max(highest, row->entry->number);
  }
  return highest + 1;
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
  for (const DiskNode& listed : disks_) {
    if (listed.number >= kFirstImageDriveNumber && listed.device_path == absolute) return kSuccess;
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
  uint32_t row_number = NextRowNumber();
  for (PartitionEntry& entry : LayOutDisk(number, bytes / 512, 512, kDefaultSectorsPerCylinder,
                                          false, std::move(volumes))) {
    auto row = std::make_unique<ScanSource>();
    entry.disk_path = absolute;
    entry.number = row_number++;
    row->entry = std::move(entry);
    row->drive_tag = TagFor(row->Identity(), false);
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
  for (const auto& listed : images_) {
    if (listed->image_path == source->image_path) return *listed;
  }
  source->drive_tag = TagFor(source->Identity(), true);
  images_.push_back(std::move(source));
  return *images_.back();
}

ScanSource& SourceList::AddRegion(const PartitionEntry& entry) {
  DiskNode disk;
  disk.number = entry.disk;
  disk.device_path = entry.disk_path;
  auto row = std::make_unique<ScanSource>();
  row->entry = entry;
  row->entry->number = NextRowNumber();
  row->drive_tag = TagFor(row->Identity(), false);
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
  for (const auto& source : gone_) {
    if (source->Key() == tag) return source.get();
  }
  return nullptr;
}

ScanSource* SourceList::FindByIdentity(const std::string& identity) const {
  for (ScanSource* source : All()) {
    if (source->Identity() == identity) return source;
  }
  return nullptr;
}

IFileRecoveryParse* SourceList::EngineFor(const ScanRecord& record) const {
  ScanSource* source = FindByKey(record.drive_tag);
  return source ? source->engine.get() : nullptr;
}

}  // namespace velmora::app
