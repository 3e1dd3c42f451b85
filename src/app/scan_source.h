#pragma once

#include <cstdint>
#include <memory>
#include <optional>
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
  uint16_t drive_tag = 0;               // images: 1001 upward; regions: the entry's number
  std::string display;                  // as the user named it (command line); may be empty
  std::unique_ptr<IFileRecoveryParse> engine;

  bool IsImage() const { return !entry.has_value(); }
  // What the engine writes into the first field of its records.
  uint16_t Key() const { return drive_tag; }
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
  // (same disk node path, start and length) keeps its engine.
  void SetDisks(const DiskEnumerator& enumerator);
  // Shows a disk image that holds a partition table as a disk node whose rows
  // are scanned as regions. 0, or an error code with a message.
  int AddPartitionedImage(const std::string& path, std::string* error);
  // An image file row; tags run 1001, 1002, ... for the life of the list.
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
  // The engine that found `record` (through the drive tag in its first field).
  IFileRecoveryParse* EngineFor(const ScanRecord& record) const;

 private:
  uint16_t NextRowTag() const;

  std::vector<DiskNode> disks_;
  std::vector<std::unique_ptr<ScanSource>> images_;
  uint16_t image_counter_ = kFirstImageTag - 1;
  std::vector<int> registered_drives_;
};

}  // namespace velmora::app
