#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/image_map.h"
#include "storage/image_source.h"
#include "storage/platform_device.h"

namespace velmora {

// Progress of an image copy: percent 0-100, sectors done and total, seconds left
// (-1 until a first estimate exists). Nonzero stops the copy after the current
// chunk and becomes its result (-9527 when the user cancelled).
using ImageProgressCallback = int (*)(void* context, int percent, uint64_t sectors_done,
                                      uint64_t sectors_total, int32_t seconds_remaining);

enum class UnreadablePolicy {
  kStop,      // the first chunk that cannot be read ends the copy with 30
  kZeroFill,  // retry sector by sector, write zeros for what stays unreadable, keep a map
};

// A run of source sectors that could not be read and were written as zeros.
struct BadSectorRange {
  uint64_t first_sector = 0;  // on the source, absolute
  uint64_t sector_count = 0;
};

// One copy of sectors into a raw image file (no header, no trailer).
struct DiskImageWriter {
  platform::FileHandle output = platform::kInvalidHandle;
  uint32_t sector_size = 512;
  uint64_t start_sector = 0;
  uint64_t sector_count = 0;  // 0 on entry: up to the end of the source
  ImageProgressCallback progress = nullptr;
  void* context = nullptr;

  UnreadablePolicy unreadable = UnreadablePolicy::kStop;
  // Replace an existing destination file (and start a mapped copy over); otherwise an
  // existing file is an error (183), unless its map says it is this copy, stopped part way:
  // then the copy goes on from the map.
  bool replace_existing = true;
  // Zero runs are left as holes instead of being written.
  bool sparse = false;
  // Named in the map file's header ("/dev/sdb", "disk.img").
  std::string source_name;

  // Results of the copy.
  uint64_t sectors_copied = 0;  // written to the image, zero-filled ones included
  std::vector<BadSectorRange> bad_ranges;
  std::string map_path;          // written in kZeroFill mode: destination + ".map"
  ImageMap map;                  // copied, unreadable and untried ranges of the image
  uint64_t resumed_bytes = 0;    // already done by an earlier run when this one started
  uint64_t retried_sectors = 0;  // unreadable sectors the retry pass got back
  std::string error_text;        // why a map or destination was refused

  uint64_t UnreadableBytes() const;
};

// Copies `count` sectors from `start` of physical drive `disk_number` (0 = to the end).
// 0 on success, -9527 when cancelled, 87 for a region outside the disk, 30 for an
// unreadable chunk in kStop mode, else the system's error. The source is opened
// read-only; a cut-short image stays on disk.
int CreateDiskImage(DiskImageWriter* writer, int disk_number, uint64_t start, uint64_t count,
                    const std::string& destination, void* context);

// The same copy from any source (an image file, a device path, a test double).
int CopyToImage(DiskImageWriter* writer, ImageSource* source, uint64_t start, uint64_t count,
                const std::string& destination, void* context);

// In kZeroFill mode the copy keeps destination + ".map" (see image_map.h): saved every few
// seconds and at the end, so a copy stopped by Ctrl-C or a crash goes on from there on the
// next run. After the first pass the unreadable ranges are read again sector by sector.

}  // namespace velmora
