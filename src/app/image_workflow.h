#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "app/cancel_token.h"
#include "app/message_text.h"
#include "app/scan_source.h"
#include "app/workflow_observer.h"
#include "storage/disk_image_writer.h"

namespace velmora::app {

// What an image copy reads: a region of a disk (count 0: to the disk's end),
// or a whole image file.
struct ImageOrigin {
  enum class Kind { kDiskRegion, kImageFile };
  Kind kind = Kind::kDiskRegion;
  int disk_number = 0;
  uint64_t start_sector = 0;
  uint64_t sector_count = 0;
  std::string image_path;
  // The device the region lies on (a destination there is refused) and the
  // bytes to copy (the file-system and free-space checks).
  std::string device_path;
  uint64_t byte_length = 0;
  // Named in the map file ("/dev/sdb", "disk.img").
  std::string name;
  // The file name offered for the image: "2 (FAT32, 1.00 GB).img", "Physical Disk 1.img".
  std::string suggested_file;
};

// A row of the disk list, or a whole disk node.
ImageOrigin ImageOriginOf(const ScanSource& region);
ImageOrigin ImageOriginOf(const DiskNode& disk);

struct ImageOptions {
  UnreadablePolicy unreadable = UnreadablePolicy::kZeroFill;
  // Replace an existing destination; without it an existing file is only
  // continued when its map says it is this copy, stopped part way.
  bool replace_existing = false;
  bool sparse = false;
};

// Copying a disk, a region or an image file into a raw image, for both faces.
class ImageWorkflow {
 public:
  // `messages`: the "Messages" section of the current language.
  explicit ImageWorkflow(TextTable messages);
  ~ImageWorkflow();

  // 0 when `destination` may take the image; else an error code and, in
  // `refusal`, a sentence saying why. `may_replace`: an existing file there
  // may be written over (the user agreed, or its map continues the copy).
  static int CheckDestination(const ImageOrigin& origin, const std::string& destination,
                              bool may_replace, std::string* refusal);

  // Copies on the calling thread (a worker): stage and progress go to the
  // observer, a cancel stops after the current chunk and leaves the partial
  // image. 0, kCancelledByUser or the copy's error code.
  int Run(const ImageOrigin& origin, const std::string& destination, const ImageOptions& options,
          WorkflowObserver& observer, CancelToken& cancel);

  // The counts, unreadable ranges and map of the last run.
  const DiskImageWriter& Writer() const { return *writer_; }

 private:
  TextTable messages_;
  std::unique_ptr<DiskImageWriter> writer_;
};

}  // namespace velmora::app
