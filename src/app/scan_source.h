#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "storage/partition_entry.h"

namespace velmora {
class DiskEnumerator;
}

namespace velmora::app {

// Quick reads one file system's metadata; deep runs the combined deep engine.
enum class ScanMode { kQuick = 0, kDeep = 1 };

// One row of the source list: a region of a disk, or an image file. It owns
// the engine of its last scan until it is scanned again.
struct ScanSource {
  std::optional<PartitionEntry> entry;  // absent for an image file
  std::string image_path;               // image files only
  // Keys the source's records to it: unique in its list and kept for the same identity. The
  // region's number (entry->number) is for display only; two rows may show the same one.
  uint16_t drive_tag = 0;  // images: 1001 upward; regions: 1 upward
  std::string display;     // as the user named it (command line); may be empty
  std::unique_ptr<IFileRecoveryParse> engine;

  bool IsImage() const { return !entry.has_value(); }
  // What the engine writes into the first field of its records.
  uint16_t Key() const { return drive_tag; }
  // What the source is, whatever its number: the image file's path, or the device (or
  // partitioned image) path with the region's first sector and length.
  std::string Identity() const;
  // The image's file name without folder, or the region's number.
  std::string ShortName() const;
  // `display` when set, else ShortName(), with control characters escaped: for messages.
  std::string Label() const;
};

// A new engine for `source` through the engine factory, opened on it; null
// when the source cannot be read or, in quick mode, holds no known file system.
std::unique_ptr<IFileRecoveryParse> CreateEngine(const ScanSource& source, ScanMode mode);

// One disk with its rows (volumes, unallocated gaps, or the whole disk), in list order.
struct DiskNode {
  int number = -1;
  std::string device_path;
  bool removable = false;
  std::vector<std::unique_ptr<ScanSource>> rows;
};

// Every source the user can pick: disk nodes with their rows, then image files.
class SourceList {
 public:
  static constexpr uint16_t kFirstImageTag = 1001;

  SourceList() = default;
  ~SourceList();
  SourceList(const SourceList&) = delete;
  SourceList& operator=(const SourceList&) = delete;

  // Rebuilds the disk nodes from an enumeration. A row that is still there
  // (same disk node path, start and length) stays the same object with its tag and
  // engine; a row no longer there is unlisted but kept (FindByKey still finds it).
  void SetDisks(const DiskEnumerator& enumerator);
  // Shows a disk image that holds a partition table as a disk node whose rows
  // are scanned as regions. 0, or an error code with a message.
  int AddPartitionedImage(const std::string& path, std::string* error);
  // An image file row; tags run 1001, 1002, ... for the life of the list. An image already
  // listed is not listed twice: its row is returned.
  ScanSource& AddImage(const std::string& path);
  // A region row made from `entry` alone (a region named on the command line).
  ScanSource& AddRegion(const PartitionEntry& entry);

  const std::vector<DiskNode>& Disks() const { return disks_; }
  const std::vector<std::unique_ptr<ScanSource>>& Images() const { return images_; }
  // The rows of disk node `index`, in list order.
  std::vector<ScanSource*> RowsOf(size_t index) const;
  // Every source in list order: the disks' rows, then the image files.
  std::vector<ScanSource*> All() const;
  // The source whose key is `tag`; null when none.
  ScanSource* FindByKey(uint16_t tag) const;
  // The source of `identity` (see ScanSource::Identity); null when none.
  ScanSource* FindByIdentity(const std::string& identity) const;
  // The engine that found `record` (through the drive tag in its first field).
  IFileRecoveryParse* EngineFor(const ScanRecord& record) const;

 private:
  // The tag of `identity`: the one it had before, else a tag never given in this list.
  uint16_t TagFor(const std::string& identity, bool image);
  // The display number after every region row's.
  uint32_t NextRowNumber() const;

  std::vector<DiskNode> disks_;
  std::vector<std::unique_ptr<ScanSource>> images_;
  std::vector<std::unique_ptr<ScanSource>> gone_;  // unlisted rows, kept for their records
  std::map<std::string, uint16_t> tags_;           // by identity, for the life of the list
  std::set<uint16_t> given_;
  std::vector<int> registered_drives_;
};

}  // namespace velmora::app
