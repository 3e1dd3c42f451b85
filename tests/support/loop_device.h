#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora::testing {

// A loop device attached to an image for one test and always detached again
// (destructor), also when the test fails half-way.
class LoopDevice {
 public:
  // Attaches `image` read-only; `sector_size` 512 or 4096. Null, with `why` set,
  // when not running as root or when losetup fails (tests then skip).
  static std::unique_ptr<LoopDevice> Attach(const std::string& image, uint32_t sector_size,
                                            std::string* why);
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  const std::string& Path() const { return path_; }  // "/dev/loop3"
  std::string Name() const;                          // "loop3"
  // Makes the kernel list the partitions of the image (partx), for kernels built
  // without MBR/GPT support; true when partition nodes exist afterwards.
  bool AddPartitions();
  void Detach();

 private:
  explicit LoopDevice(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

// Mounts a device for one test and unmounts it in the destructor.
class ScopedMount {
 public:
  ScopedMount(const std::string& device, const std::string& folder, const std::string& options);
  ~ScopedMount();
  bool Mounted() const { return mounted_; }
  const std::string& Error() const { return error_; }

 private:
  std::string folder_;
  bool mounted_ = false;
  std::string error_;
};

// One MBR partition entry for WriteMbr (sectors in the image's sector size).
struct MbrPartitionSpec {
  uint64_t start = 0;
  uint64_t count = 0;
  uint8_t type = 0x83;
};

// Creates a sparse file of `bytes` zeros.
bool CreateSparseImage(const std::string& path, uint64_t bytes);
// Writes an MBR with up to four primary entries into sector 0 of an existing image.
bool WriteMbr(const std::string& path, const std::vector<MbrPartitionSpec>& partitions);
// Reads a whole file; empty on failure.
std::vector<uint8_t> ReadWholeFile(const std::string& path);

}  // namespace velmora::testing
