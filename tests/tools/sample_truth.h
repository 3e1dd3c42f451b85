#pragma once

// Ground truth of a set of sample images, as written next to them in truth.json:
//
//   {"set": "demo", "images": [{"image": "camera-card.img", "file_system": "FAT32",
//     "description": "...", "files": [{"path": "/DCIM/100CAMERA/IMG_0001.JPG", "name":
//     "IMG_0001.JPG", "size": 181234, "md5": "...", "deleted": true, "data_intact": true,
//     "category": "photo", "expected": true}, ...]}]}
//
// "deleted" means lost from the file system's view (deleted, in a deleted folder, or on a
// volume that was formatted again); "expected" marks the files a recovery should give back
// byte for byte: lost, every byte still in the image, not empty.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/volume_truth.h"

namespace velmora::tools {

struct SampleFile {
  std::string path;
  std::string name;
  uint64_t size = 0;
  std::string md5;
  bool deleted = false;
  bool data_intact = false;
  std::string category;
  bool Expected() const { return deleted && data_intact && size > 0; }
};

struct SampleImage {
  std::string image;  // file name inside the set's folder
  std::string file_system;
  std::string description;
  std::vector<SampleFile> files;
};

struct SampleSet {
  std::string name;
  std::vector<SampleImage> images;
  const SampleImage* Find(const std::string& image) const;
};

// Files (no folders, no named streams) of a builder's truth.
std::vector<SampleFile> FilesOf(const testing::VolumeTruth& truth);

// After a new file system was written over the volume: every entry counts as lost, and
// its bytes are checked again against the image. Resident NTFS data has no extents: it
// counts as intact when `resident_content` (by path) still occurs in the image.
void MarkAllLostAfterFormat(testing::VolumeTruth* truth,
                            const std::map<std::string, std::vector<uint8_t>>& resident_content);

void WriteSampleSet(const SampleSet& set, const std::string& json_path);
// Throws std::runtime_error when the file cannot be read or parsed.
SampleSet ReadSampleSet(const std::string& json_path);

}  // namespace velmora::tools
