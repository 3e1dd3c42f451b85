#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "storage/platform_device.h"

namespace velmora {

// What an image copy reads from: a disk, a partition device or an image file.
// An interface so that tests can hand in sources with unreadable sectors.
class ImageSource {
 public:
  virtual ~ImageSource() = default;
  virtual uint32_t SectorSize() const = 0;
  virtual uint64_t SectorCount() const = 0;
  // Reads `length` bytes at byte `offset`; `got` counts the bytes that arrived before
  // a failure. 0, or 30 when not everything could be read.
  virtual int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) = 0;
  // Reads one sector on its own when a larger read failed. Devices bypass the page
  // cache here, which would otherwise fail every sector sharing a page with a bad one.
  virtual int ReadSectorAt(uint64_t offset, void* buffer, size_t length, size_t* got) {
    return ReadAt(offset, buffer, length, got);
  }
};

// Opens a device (in its logical sector size) or a file (512-byte sectors), read-only.
int OpenImageSource(const std::string& path, std::unique_ptr<ImageSource>* out);

}  // namespace velmora
