#include "storage/source_locator.h"
#include "storage/text_codec.h"

#include <cerrno>
#include <cstring>

#include "storage/byte_source.h"
#include "storage/disk_enumerator.h"
#include "storage/error_codes.h"
#include "storage/platform_device.h"
#include "storage/platform_disks.h"

namespace velmora {

namespace {

bool ParseNumber(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 18) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = v;
  return true;
}

std::string SectorRange(uint64_t start, uint64_t count) {
  return "sectors " + std::to_string(start) + "-" + std::to_string(start + count - (count ? 1 : 0));
}

std::string OpenFailure(const std::string& path, int err) {
  if (err == kErrFileNotFound || err == kErrPathNotFound) {
    return "cannot open '" + EscapeControl(path) + "': No such file or directory";
  }
  if (err == kErrAccessDenied)
    return "cannot open '" + EscapeControl(path) + "': " + AccessAdvice(path);
  return "cannot open '" + EscapeControl(path) + "': " + DescribeErrorCode(err);
}

// A region was found in the disk list, which anyone may read; its device may still
// refuse this user, and that must not look like an empty or unknown disk later.
int RequireReadable(int result, const LocatedSource& located, std::string* error) {
  if (result != kSuccess) return result;
  platform::FileHandle handle = platform::kInvalidHandle;
  const int err = platform::OpenSourceReadOnly(located.device_path, &handle);
  if (err == kSuccess) {
    platform::CloseHandle(&handle);
    return kSuccess;
  }
  if (err != kErrAccessDenied) return kSuccess;  // told when it is read
  *error = OpenFailure(located.device_path, err);
  return err;
}

// Partition `index_text` (1-based, by start) of the table read from `path`, in units of
// `drive_sector_size`; `name` is how the message names the medium.
int PickTablePartition(const std::string& path, const std::string& name,
                       const std::string& index_text, uint32_t drive_sector_size,
                       LocatedSource* out, std::string* error) {
  PartitionTable table;
  uint64_t bytes = 0;
  const int err = ReadSourcePartitionTable(path, &table, &bytes);
  if (err != kSuccess) {
    *error = OpenFailure(path, err);
    return err;
  }
  if (table.scheme == PartitionScheme::kNone || table.partitions.empty()) {
    *error =
        "'" + EscapeControl(name) + "' holds no partition table; use it without @" + index_text;
    return kErrInvalidParameter;
  }
  uint64_t index = 0;
  if (!ParseNumber(index_text, &index) || index == 0 || index > table.partitions.size()) {
    *error = "'" + EscapeControl(name) + "' has " + std::to_string(table.partitions.size()) +
             (table.partitions.size() == 1 ? " partition" : " partitions") + "; @" +
             EscapeControl(index_text) + " does not exist (see velmora info " +
             EscapeControl(name) + ")";
    return kErrInvalidParameter;
  }
  const TablePartition& partition = table.partitions[index - 1];
  const uint64_t scale = table.sector_size / drive_sector_size;
  if (scale == 0) {
    *error = "'" + EscapeControl(name) + "': its table uses " + std::to_string(table.sector_size) +
             "-byte sectors, smaller than the device's";
    return kErrInvalidParameter;
  }
  out->kind = LocatedSource::Kind::kDiskRegion;
  out->sector_size = drive_sector_size;
  out->start_sector = partition.start_sector * scale;
  out->sector_count = partition.sector_count * scale;
  out->description = "partition " + index_text + " of " + EscapeControl(name) + " (" +
                     PartitionTypeName(partition) + ", " +
                     SectorRange(out->start_sector, out->sector_count) + ")";
  return kSuccess;
}

}  // namespace

int ReadSourcePartitionTable(const std::string& path, PartitionTable* table, uint64_t* bytes) {
  std::shared_ptr<ByteSource> source;
  const int err = OpenByteSource(path, &source);
  if (err != kSuccess) return err;
  const ByteReader read = [&source](uint64_t offset, void* buffer, size_t length) {
    size_t got = 0;
    return source->ReadAt(offset, buffer, length, &got) == kSuccess && got == length;
  };
  // A device knows its sector size; a file may come from a 512- or 4096-byte disk.
  const bool device = source->KindName() == "block device";
  *table = ReadPartitionTable(read, source->Size(), device ? source->SectorSize() : 0);
  if (bytes) *bytes = source->Size();
  return kSuccess;
}
SourceLocator::~SourceLocator() {
  for (int number : registered_drives_) platform::ForgetPhysicalDrive(number);
}

int SourceLocator::Locate(const std::string& text, LocatedSource* out, std::string* error) {
  *out = LocatedSource();
  if (text.empty()) {
    *error = "no source given";
    return kErrInvalidParameter;
  }
  if (text.rfind("disk:", 0) == 0)
    return RequireReadable(LocateDisk(text, out, error), *out, error);

  const platform::FileIdentity identity = platform::IdentifyFile(text);
  if (!identity.exists) {
    // "path@K": a partition of an image (a path that really contains '@' was found above).
    const size_t at = text.rfind('@');
    if (at != std::string::npos && at > 0) {
      uint64_t index = 0;
      const std::string index_text = text.substr(at + 1);
      if (ParseNumber(index_text, &index)) {
        return LocateImagePartition(text.substr(0, at), index_text, out, error);
      }
    }
    *error = OpenFailure(text, kErrFileNotFound);
    return kErrFileNotFound;
  }
  if (identity.is_directory) {
    *error = "'" + EscapeControl(text) + "' is a folder, not a disk, partition or image";
    return kErrAccessDenied;
  }
  // A pipe would block the open until a writer comes, and a character device such as
  // /dev/zero has no end and no contents to keep a result of.
  if (*identity.special_kind != '\0') {
    *error = "'" + EscapeControl(text) + "' is " + identity.special_kind +
             ", not a disk, partition or image";
    return kErrNotSupported;
  }
  if (identity.is_block_device) {
    return RequireReadable(LocateBlockDevice(text, out, error), *out, error);
  }

  // Evidence sets count by the media they hold, not by their compressed segments.
  std::shared_ptr<ByteSource> source;
  std::string reason;
  const int err = OpenByteSource(text, &source, &reason);
  if (err != kSuccess) {
    *error = reason.empty() ? OpenFailure(text, err) : reason;
    return err;
  }
  const uint64_t bytes = source->Size();
  source.reset();
  out->kind = LocatedSource::Kind::kImage;
  out->image_path = text;
  out->device_path = text;
  out->sector_size = 512;
  out->sector_count = bytes / 512;
  out->description = "image " + EscapeControl(text);
  return kSuccess;
}

int SourceLocator::LocateDisk(const std::string& text, LocatedSource* out, std::string* error) {
  const std::string rest = text.substr(5);
  // disk:N:K is the K-th row of the disk list (gaps included), disk:N@K its K-th partition.
  const size_t colon = rest.find_first_of(":@");
  uint64_t disk = 0, index = 0;
  const bool has_index = colon != std::string::npos;
  const bool partition = has_index && rest[colon] == '@';
  if (!ParseNumber(rest.substr(0, colon), &disk) ||
      (has_index && !ParseNumber(rest.substr(colon + 1), &index))) {
    *error = "'" + EscapeControl(text) +
             "' is not a disk source; write disk:N, disk:N@K or disk:N:K (see velmora disks)";
    return kErrInvalidParameter;
  }
  DiskEnumerator enumerator;
  if (!enumerator.Refresh()) {
    *error = "the disks of this system cannot be listed (/sys/block is not readable)";
    return kErrAccessDenied;
  }
  const auto disk_it = enumerator.Disks().find(static_cast<int>(disk));
  if (disk_it == enumerator.Disks().end()) {
    *error =
        "there is no disk " + std::to_string(disk) +
        (enumerator.Disks().empty()
             ? std::string("; no disks were found")
             : "; velmora disks lists disks " + std::to_string(enumerator.Disks().begin()->first) +
                   " to " + std::to_string(enumerator.Disks().rbegin()->first));
    return kErrFileNotFound;
  }
  const DiskDescription& description = disk_it->second;
  out->kind = LocatedSource::Kind::kDiskRegion;
  out->disk_number = description.number;
  out->device_path = description.device_path;
  out->sector_size = description.sector_size;
  if (partition) {
    const std::string name = "disk:" + std::to_string(disk);
    if (const int err = PickTablePartition(description.device_path, name, rest.substr(colon + 1),
                                           description.sector_size, out, error);
        err != kSuccess) {
      return err;
    }
    out->disk_number = description.number;
    out->device_path = description.device_path;
    out->description += " (" + description.device_path + ")";
    return kSuccess;
  }
  if (!has_index) {
    out->start_sector = 0;
    out->sector_count = description.sectors;
    out->description = "disk " + std::to_string(disk) + " (" + description.device_path + ")";
    return kSuccess;
  }
  const auto& entries = enumerator.Entries().at(description.number);
  if (index == 0 || index > entries.size()) {
    *error = "disk " + std::to_string(disk) + " has " + std::to_string(entries.size()) +
             (entries.size() == 1 ? " entry" : " entries") + "; K in disk:N:K must be 1 to " +
             std::to_string(entries.size());
    return kErrInvalidParameter;
  }
  const PartitionEntry& entry = entries[index - 1];
  out->start_sector = entry.start;
  out->sector_count = entry.length;
  out->list_number = entry.number;
  out->description = std::string(entry.kind == RegionKind::kUnallocated ? "unallocated space"
                                 : entry.kind == RegionKind::kWholeDisk ? "whole disk"
                                                                        : "volume") +
                     " " + std::to_string(index) + " of disk " + std::to_string(disk) + " (" +
                     description.device_path + ", " + SectorRange(entry.start, entry.length) + ")";
  return kSuccess;
}

int SourceLocator::LocateBlockDevice(const std::string& path, LocatedSource* out,
                                     std::string* error) {
  const platform::FileIdentity identity = platform::IdentifyFile(path);
  const std::string device_id = platform::DeviceIdText(identity.raw_device);
  const auto disks = platform::ListWholeDisks();
  for (size_t n = 0; n < disks.size(); ++n) {
    const auto& disk = disks[n];
    const uint32_t units = disk.logical_sector_size / 512;
    if (disk.device_id == device_id) {
      out->kind = LocatedSource::Kind::kDiskRegion;
      out->disk_number = static_cast<int>(n);
      out->device_path = disk.device_path;
      out->sector_size = disk.logical_sector_size;
      out->sector_count = disk.size_bytes / disk.logical_sector_size;
      out->description = "disk " + std::to_string(n) + " (" + disk.device_path + ")";
      return kSuccess;
    }
    for (const auto& part : disk.partitions) {
      if (part.device_id != device_id) continue;
      out->kind = LocatedSource::Kind::kDiskRegion;
      out->disk_number = static_cast<int>(n);
      out->device_path = disk.device_path;
      out->sector_size = disk.logical_sector_size;
      out->start_sector = part.start_512 / units;
      out->sector_count = part.count_512 / units;
      out->description = EscapeControl(path) + " (disk " + std::to_string(n) + ", " +
                         SectorRange(out->start_sector, out->sector_count) + ")";
      return kSuccess;
    }
  }
  // A device outside the disk list (device mapper, md, zram): read it as an image.
  platform::FileHandle handle = platform::kInvalidHandle;
  const int err = platform::OpenSourceReadOnly(path, &handle);
  if (err != kSuccess) {
    *error = OpenFailure(path, err);
    return err;
  }
  uint64_t bytes = 0;
  platform::QuerySourceSize(handle, &bytes);
  platform::CloseHandle(&handle);
  out->kind = LocatedSource::Kind::kImage;
  out->image_path = path;
  out->device_path = path;
  out->sector_count = bytes / 512;
  out->description = "device " + EscapeControl(path);
  return kSuccess;
}

int SourceLocator::LocateImagePartition(const std::string& path, const std::string& index_text,
                                        LocatedSource* out, std::string* error) {
  const platform::FileIdentity identity = platform::IdentifyFile(path);
  if (!identity.exists) {
    *error = OpenFailure(path, kErrFileNotFound);
    return kErrFileNotFound;
  }
  if (identity.is_block_device) {
    // A disk of the disk list is read through its number, so that /dev/sdb@2 and disk:N@2
    // are one source with one saved result.
    LocatedSource disk;
    std::string ignored;
    if (LocateBlockDevice(path, &disk, &ignored) == kSuccess &&
        disk.kind == LocatedSource::Kind::kDiskRegion && disk.start_sector == 0) {
      const int err =
          PickTablePartition(disk.device_path, path, index_text, disk.sector_size, out, error);
      if (err != kSuccess) return err;
      out->disk_number = disk.disk_number;
      out->device_path = disk.device_path;
      return kSuccess;
    }
  }
  // Registered images are read as 512-byte sectors, whatever the table's sector size.
  int drive_sector_size = 512;
  if (identity.is_block_device) {
    platform::FileHandle handle = platform::kInvalidHandle;
    if (platform::OpenSourceReadOnly(path, &handle) == kSuccess) {
      platform::QueryLogicalSectorSize(handle, &drive_sector_size);
      platform::CloseHandle(&handle);
    }
  }
  const int err = PickTablePartition(path, path, index_text,
                                     static_cast<uint32_t>(drive_sector_size), out, error);
  if (err != kSuccess) return err;
  // One number per image in every run, so a result saved by one command is found by the next.
  const int number = platform::RegisterImageDrive(path, kFirstImageDriveNumber);
  registered_drives_.push_back(number);
  out->disk_number = number;
  out->device_path = path;
  return kSuccess;
}

}  // namespace velmora
