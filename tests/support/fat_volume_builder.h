#pragma once

// Builds a real FAT12/16/32 image (mkfs.fat) and fills it with mtools, no mount, no root.
//
//   FatVolumeBuilder fat(dir + "/fat.img", 16, 32 << 20);
//   fat.MakeDirectory("/Фото/2024");
//   fat.AddFile("/Фото/2024/Grüße aus dem Urlaub.jpg", SampleContent("jpg", 30000, 1));
//   fat.AddFragmentedFile("/big.bin", RandomBytes(100000, 2), 3);
//   fat.Delete("/big.bin");                                  // deleted, fragmented
//   fat.AddFile("/old.txt", RandomText(20000, 3));
//   fat.Delete("/old.txt");
//   fat.AddFileOverDeleted("/old.txt", "/new.txt", RandomText(5000, 4));  // partly overwritten
//   fat.DeleteTree("/Фото");
//   VolumeTruth truth = fat.Finish();
//
// Names are UTF-8 and keep their long-name entries, except names mtools can store as 8.3:
// "old.txt" gets only the short entry OLD.TXT with the lower-case flags (byte 12, bits 3
// and 4) set, so readers must honour those flags to get the name back. Allocation by mtools:
// FAT12/16 take the lowest free cluster, FAT32 continues after the last allocation (FSINFO hint),
// so on FAT12/16 a later file may land on a deleted file's clusters; the truth tells what survived.
// Every method throws std::runtime_error on failure (stop using the builder then). Needs mkfs.fat
// and mtools (FatBuilderAvailable()).

#include <cstdint>
#include <string>
#include <vector>

#include "support/volume_truth.h"

namespace velmora::testing {

struct FatBuildOptions {
  uint32_t sectors_per_cluster = 0;  // 0: mkfs.fat chooses
  std::string label = "VELMORA";
};

bool FatBuilderAvailable();

class FatVolumeBuilder {
 public:
  // Creates (or replaces) the image: `size_bytes` formatted as FAT`fat_bits` with 512-byte
  // sectors. mkfs.fat refuses sizes that do not suit the FAT type (e.g. FAT16 needs at
  // least 4085 clusters, FAT32 65525); that failure is thrown with its message.
  FatVolumeBuilder(std::string image_path, int fat_bits, uint64_t size_bytes,
                   FatBuildOptions options = {});
  ~FatVolumeBuilder();
  FatVolumeBuilder(const FatVolumeBuilder&) = delete;
  FatVolumeBuilder& operator=(const FatVolumeBuilder&) = delete;

  // Creates the folder and any missing parents.
  void MakeDirectory(const std::string& path);
  // Creates a file (parents must exist).
  void AddFile(const std::string& path, const std::vector<uint8_t>& content);
  // Writes `content` in at least `fragments` cluster runs. Helper files "<path>.keep<i>"
  // (live) and "<path>.gap<i>" (deleted, their clusters reused by the file) are created
  // next to it and appear in the truth.
  void AddFragmentedFile(const std::string& path, const std::vector<uint8_t>& content,
                         int fragments);
  // Creates `new_path` in the clusters the deleted entry `deleted_path` left free, starting
  // at its first cluster. Content smaller than the deleted file leaves it partly overwritten.
  void AddFileOverDeleted(const std::string& deleted_path, const std::string& new_path,
                          const std::vector<uint8_t>& content);
  // Deletes a file or an empty folder.
  void Delete(const std::string& path);
  // Deletes a folder with everything below it.
  void DeleteTree(const std::string& path);

  // Files copied after this call get `unix_seconds` as modification time (stored as UTC,
  // FAT keeps even seconds). 0: the current time, the default. Folders always get now.
  void SetClock(int64_t unix_seconds) { clock_ = unix_seconds; }

  uint32_t ClusterSize() const { return cluster_size_; }
  const std::string& ImagePath() const { return image_path_; }

  // Computes the truth; the builder cannot be changed afterwards.
  VolumeTruth Finish();

 private:
  struct Tracked {
    TruthEntry truth;
    std::vector<uint8_t> content;  // folders: their clusters right after deletion
  };
  struct Geometry {
    int fat_bits = 0;
    uint32_t bytes_per_sector = 0;
    uint32_t sectors_per_cluster = 0;
    uint64_t fat_offset = 0;  // first FAT, in bytes
    uint64_t fat_bytes = 0;   // one FAT
    uint32_t fat_count = 0;
    uint64_t data_offset = 0;    // cluster 2, in bytes
    uint32_t cluster_count = 0;  // highest valid cluster is cluster_count + 1
    uint64_t fsinfo_offset = 0;  // FAT32 only; 0 when absent
  };

  void Mtools(const std::string& tool, const std::string& arguments) const;
  void Copy(const std::string& path, const std::vector<uint8_t>& content,
            const std::vector<std::pair<uint32_t, uint32_t>>* only_clusters);
  std::vector<std::pair<uint32_t, uint32_t>> ClusterRuns(const std::string& path) const;
  Tracked* FindLive(const std::string& path);
  void MarkDeleted(const std::string& path);
  void RemoveWith(const std::string& tool, const std::string& path);
  void RequireOpen() const;
  void ReadGeometry();

  std::string image_path_;
  int fat_bits_;
  FatBuildOptions options_;
  Geometry geometry_;
  uint32_t cluster_size_ = 0;
  std::string scratch_dir_;
  bool finished_ = false;
  int64_t clock_ = 0;
  std::vector<Tracked> tracked_;
};

}  // namespace velmora::testing
