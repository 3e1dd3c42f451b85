#pragma once

// Builds a real NTFS image (mkntfs) and fills it through libntfs-3g, no mount, no root.
//
//   NtfsVolumeBuilder ntfs(dir + "/ntfs.img", 64 << 20);
//   ntfs.MakeDirectory("/a/b");
//   ntfs.AddFile("/a/b/x.jpg", SampleContent("jpg", 50000, 1));   // non-resident
//   ntfs.AddFile("/a/small.txt", RandomText(300, 2));               // resident in its record
//   ntfs.AddFile("/a/small.txt:meta", RandomBytes(100, 3));         // named data stream
//   ntfs.AddFragmentedFile("/a/frag.bin", RandomBytes(200000, 4), 3);
//   ntfs.Delete("/a/b/x.jpg");
//   ntfs.DeleteTree("/a/b");
//   ntfs.AddFileReusingRecord("/a/b", "/reuse.txt", RandomText(200, 5));
//   ntfs.AddFileOverDeleted("/a/b/x.jpg", "/over.bin", RandomBytes(8000, 6));
//   VolumeTruth truth = ntfs.Finish();
//
// Allocation by libntfs-3g: a freed MFT record is handed to the next file or folder created
// (lowest free record first), so delete last what must keep its record. Clusters come from
// the largest free area, so deleted file data usually survives. The truth tells what did.
// Every method throws std::runtime_error on failure; after a failure the volume may hold
// more than the truth lists, so a test should stop there. Available when libntfs-3g was found
// (VELMORA_HAVE_NTFS3G); tests should check NtfsBuilderAvailable() and GTEST_SKIP otherwise.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support/volume_truth.h"

namespace velmora::testing {

struct NtfsBuildOptions {
  uint32_t cluster_size = 4096;
  std::string label = "VELMORA";
};

bool NtfsBuilderAvailable();

class NtfsVolumeBuilder {
 public:
  // Creates (or replaces) the image: a file of `size_bytes` formatted by mkntfs.
  NtfsVolumeBuilder(std::string image_path, uint64_t size_bytes, NtfsBuildOptions options = {});
  ~NtfsVolumeBuilder();
  NtfsVolumeBuilder(const NtfsVolumeBuilder&) = delete;
  NtfsVolumeBuilder& operator=(const NtfsVolumeBuilder&) = delete;

  // Creates the folder and any missing parents.
  void MakeDirectory(const std::string& path);
  // Creates a file (parents must exist) holding `content`. Small content stays resident in
  // the MFT record, larger content gets clusters. "/dir/file:stream" adds a named data
  // stream to an existing file (the file is created empty when missing).
  void AddFile(const std::string& path, const std::vector<uint8_t>& content);
  // Like AddFile, with the file compressed (needs a cluster size of 4096 or less). The extents
  // then hold the compression units as stored: LZNT1 where a unit compressed, raw otherwise.
  void AddCompressedFile(const std::string& path, const std::vector<uint8_t>& content);
  // Writes `content` in at least `fragments` separate runs. Helper files named
  // "<path>.keep<i>" (live, one cluster) and "<path>.gap<i>" (deleted, their clusters
  // reused by the file) are created next to it and appear in the truth.
  void AddFragmentedFile(const std::string& path, const std::vector<uint8_t>& content,
                         int fragments);
  // Deletes a file or an empty folder.
  void Delete(const std::string& path);
  // Deletes a folder with everything below it, children first.
  void DeleteTree(const std::string& path);
  // Creates `new_path` in the clusters the deleted file `deleted_path` left free, starting at
  // its first cluster; content smaller than the deleted file leaves it partly overwritten.
  // The content must be large enough not to stay resident (about 1 KiB and more).
  void AddFileOverDeleted(const std::string& deleted_path, const std::string& new_path,
                          const std::vector<uint8_t>& content);
  // Creates a file in the MFT record that the deleted entry `deleted_path` used, so that
  // entry's record is reused; throws if the record could not be reused.
  void AddFileReusingRecord(const std::string& deleted_path, const std::string& new_path,
                            const std::vector<uint8_t>& content);

  // Entries made after this call get `unix_seconds` as their creation, modification,
  // MFT-change and access times (0: the current time, the default).
  void SetClock(int64_t unix_seconds) { clock_ = unix_seconds; }

  int64_t MftRecordOf(const std::string& path) const;
  uint32_t ClusterSize() const { return options_.cluster_size; }
  const std::string& ImagePath() const { return image_path_; }

  // Unmounts and returns the truth; the builder cannot be used afterwards.
  VolumeTruth Finish();

 private:
  struct Volume;
  struct Tracked;

  Tracked& Track(TruthEntry entry);
  Tracked* FindLive(const std::string& path);
  using ClusterRanges = std::vector<std::pair<uint64_t, uint64_t>>;  // [first, end) clusters
  void CreateEntry(const std::string& path, bool is_dir, const std::vector<uint8_t>* content,
                   bool compressed, const ClusterRanges* only_clusters = nullptr);
  void AddStream(const std::string& file_path, const std::string& stream,
                 const std::vector<uint8_t>& content);
  void DeleteOne(const std::string& path);
  void MarkDeleted(const std::string& path);
  void RequireOpen() const;
  void StampTimes(void* inode, TruthEntry* entry) const;

  std::string image_path_;
  NtfsBuildOptions options_;
  std::unique_ptr<Volume> volume_;
  std::vector<Tracked> tracked_;
  int64_t clock_ = 0;
};

}  // namespace velmora::testing
