#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "storage/platform_device.h"

namespace velmora {

// One read-only mapping of part of an image file. Only regular files are ever mapped: a
// block device is read with pread, since a failing disk would raise SIGBUS in a mapping.
class MappedRegion {
 public:
  // Maps [offset, offset + length) of the file (offset rounded down to a page); null when the
  // handle is no regular file, the range passes the file's end, or the mapping fails. With
  // `populate` the pages are entered at once, so later reads take no page faults.
  static std::shared_ptr<const MappedRegion> Map(platform::FileHandle handle, uint64_t offset,
                                                 size_t length, bool populate);
  ~MappedRegion();
  MappedRegion(const MappedRegion&) = delete;
  MappedRegion& operator=(const MappedRegion&) = delete;

  bool Covers(uint64_t offset, size_t length) const {
    return offset >= start_ && length <= end_ - start_ && offset - start_ <= end_ - start_ - length;
  }
  // Bytes at `offset` of the file; only valid for ranges Covers() accepts.
  const uint8_t* At(uint64_t offset) const { return base_ + (offset - start_); }

 private:
  MappedRegion(void* mapping, size_t mapping_bytes, uint64_t start, uint64_t end, size_t lead);

  void* mapping_;
  size_t mapping_bytes_;
  uint64_t start_;  // file offsets covered: [start_, end_)
  uint64_t end_;
  const uint8_t* base_;
  int guard_slot_;
};

// How often a mapped file was found shorter than when it was mapped (its missing pages read
// as zeros since); a scan that sees this number grow fails instead of using the zeros.
uint64_t MappedFileShrinks();

// Asks the kernel to start reading [offset, offset + length) of a file into the page cache
// now, in large requests, so that a cold image is read as fast as a sequential copy.
void ReadAheadOfMapping(platform::FileHandle handle, uint64_t offset, uint64_t length);

// Size of a regular file behind `handle`; false for devices and anything else.
bool RegularFileSize(platform::FileHandle handle, uint64_t* size);

// Views of an image file through one bounded mapping that slides to wherever reads go, so
// the memory it takes stays the same whatever the file's size.
class MappedImage {
 public:
  static constexpr size_t kWindowBytes = size_t{64} << 20;

  // False (and no views) when the handle is no regular file.
  bool Attach(platform::FileHandle handle);
  bool IsAttached() const { return handle_ != platform::kInvalidHandle; }
  platform::FileHandle Handle() const { return handle_; }
  void Detach();

  // [offset, offset + length) of the file, or null when it passes the file's end, is longer
  // than half a window, or cannot be mapped. The window moves there when it must; views
  // handed out before are then invalid.
  const uint8_t* View(uint64_t offset, size_t length);
  // The same without moving the window: null when the range lies outside it.
  const uint8_t* ViewInWindow(uint64_t offset, size_t length) const;

  // A region of the same file mapped elsewhere (the pass's current window, its pages
  // already entered) that views come from first, so its pages are not entered a second
  // time. Not owned: the lender keeps it mapped until it lends another or null, and views
  // into it stay valid until then; moving the own window leaves them alone.
  void Lend(const MappedRegion* region) { lent_ = region; }
  // A view of the lent region only: null when the range lies outside it.
  const uint8_t* LentView(uint64_t offset, size_t length) const {
    return lent_ && length != 0 && lent_->Covers(offset, length) ? lent_->At(offset) : nullptr;
  }

 private:
  platform::FileHandle handle_ = platform::kInvalidHandle;
  uint64_t size_ = 0;
  std::shared_ptr<const MappedRegion> window_;
  const MappedRegion* lent_ = nullptr;
};

}  // namespace velmora
