#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "storage/sector_reader.h"

namespace velmora::fuzz {

// The input as an image file without touching the disk: an anonymous memory file
// reached through /proc/self/fd. Sizes are rounded up to whole sectors with zeros,
// at least `min_bytes`.
class MemoryImage {
 public:
  MemoryImage(const uint8_t* data, size_t size, size_t min_bytes = 0);
  ~MemoryImage();
  MemoryImage(const MemoryImage&) = delete;
  MemoryImage& operator=(const MemoryImage&) = delete;

  bool ok() const { return fd_ >= 0; }
  const std::string& path() const { return path_; }
  uint64_t bytes() const { return bytes_; }

 private:
  int fd_ = -1;
  std::string path_;
  uint64_t bytes_ = 0;
};

// A private scratch folder, emptied by Clear(); removed at exit.
const std::string& ScratchDir();
void ClearScratch();

// Writes `size` bytes to `path`.
bool WriteFile(const std::string& path, const uint8_t* data, size_t size);

}  // namespace velmora::fuzz
