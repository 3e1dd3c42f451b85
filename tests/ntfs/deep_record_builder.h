#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::testing {

// A run of a synthetic attribute: `lcn` < 0 makes a hole.
struct SyntheticRun {
  uint64_t length = 0;
  int64_t lcn = 0;
};

// What goes into one synthetic 1 KiB MFT record.
struct SyntheticRecord {
  uint32_t number = 0;
  uint16_t flags = 1;  // 1 in use, 2 directory
  std::string name;    // ASCII; empty: no $FILE_NAME
  uint64_t parent = 5;
  bool has_data = false;
  std::vector<uint8_t> resident;  // used when `runs` is empty
  std::vector<SyntheticRun> runs;
  uint64_t real_size = 0;
  uint32_t cluster_bytes = 4096;  // for the allocated size of non-resident data
};

// The record as it lies on disk, with its update sequence applied.
std::vector<uint8_t> BuildRecord(const SyntheticRecord& shape);

// Writes `bytes` at byte `offset` of `image`, growing it as needed.
void WriteAt(const std::string& image, uint64_t offset, const std::vector<uint8_t>& bytes);

}  // namespace velmora::testing
