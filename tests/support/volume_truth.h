#pragma once

// What a built test volume really holds: every file, stream and folder ever created,
// with its content digest, whether it was deleted, and whether its bytes survived.
//
//   VolumeTruth truth = builder.Finish();
//   const TruthEntry* photo = truth.Find("/a/b/x.jpg");
//   if (photo->deleted && photo->data_intact) { /* a recovery must give photo->md5 */ }

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora::testing {

// A byte range of the image (the volume starts at byte 0 of its image). `hole` ranges read as zeros
// and have no disk bytes
// (`offset` is then meaningless).
struct ImageExtent {
  uint64_t offset = 0;
  uint64_t length = 0;
  bool hole = false;
};

struct TruthEntry {
  std::string path;    // "/a/b/x.jpg"; a named data stream is "/a/b/x.jpg:stream"
  std::string name;    // "x.jpg" (for a stream: "x.jpg:stream")
  std::string parent;  // "/a/b"; "" for entries in the root folder
  std::string stream;  // stream name of an alternate data stream, else ""
  bool is_dir = false;
  uint64_t size = 0;
  std::string md5;  // of the content (empty content for folders)
  std::string sha256;
  // The entry itself or one of its ancestors was deleted (for a stream: its file).
  bool deleted = false;
  // Files: every byte of the content is still in the image where it was written.
  // Folders: NTFS: their record was not reused; FAT: their clusters are unchanged since
  // they were deleted (always true while live).
  bool data_intact = false;

  // Where the content was written, in file order (empty for resident or empty files).
  std::vector<ImageExtent> extents;
  bool resident = false;    // NTFS: data lives inside the MFT record
  bool compressed = false;  // NTFS: extents hold compressed data, not the content
  int64_t mft_record = -1;  // NTFS record number; -1 on FAT
  // NTFS: the record now describes another file (its name or parent changed), so an MFT
  // scan cannot find this entry there any more.
  bool record_reused = false;
  uint32_t first_cluster = 0;  // FAT; 0 for empty files and on NTFS
  // Unix seconds given to the builder's SetClock() when the entry was made; 0 when unset.
  int64_t modified_time = 0;
};

// Entries are in creation order; the root folder is the first entry, path "/", name "".
struct VolumeTruth {
  std::string image_path;
  uint32_t cluster_size = 0;
  std::vector<TruthEntry> entries;

  // The most recently created entry with that path, or nullptr.
  const TruthEntry* Find(std::string_view path) const;
  std::vector<const TruthEntry*> Files() const;  // non-folders, streams included
  std::vector<const TruthEntry*> Folders() const;
};

// Helpers shared by the builders.
std::string ParentOf(std::string_view path);  // "/a/b/x" -> "/a/b", "/x" -> ""
std::string NameOf(std::string_view path);    // "/a/b/x" -> "x"
// Reads the extents from the image; false when a range cannot be read in full.
bool ReadExtents(const std::string& image_path, const std::vector<ImageExtent>& extents,
                 uint64_t max_bytes, std::vector<uint8_t>* out);

}  // namespace velmora::testing
