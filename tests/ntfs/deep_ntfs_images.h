#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::testing {

// One file or folder to put on a test volume; paths use "/" from the root.
struct DeepTestFile {
  std::string path;
  std::vector<uint8_t> data;
  bool is_directory = false;
};

// Bytes that differ between files and along one file.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed);

// Formats `bytes` at `offset` of `image` (which grows as needed) as NTFS with
// mkntfs. `quick` skips zeroing. "" on success, else what went wrong.
std::string FormatNtfs(const std::string& image, uint64_t offset, uint64_t bytes,
                       uint32_t cluster_bytes);

// Writes the folders and files into the NTFS volume at `offset` of `image`
// through libntfs-3g (the volume is cut out into a temporary file and put back).
std::string PopulateNtfs(const std::string& image, uint64_t offset, uint64_t bytes,
                         const std::vector<DeepTestFile>& files);

// Whether mkntfs and libntfs-3g are there to build volumes.
bool NtfsToolsAvailable();

}  // namespace velmora::testing
