#pragma once

// A card as a user leaves it: folders of many small files copied with mtools
// (`mcopy -s`, one folder after another) and removed again with `mdeltree`.
// Each folder spans several clusters, and its later clusters lie behind the
// files written before them.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace velmora::testing {

struct DeletedFoldersCard {
  std::string image;
  // "folderNN/photo_NN_MMM.bin" -> content
  std::map<std::string, std::vector<uint8_t>> files;
};

// Builds the card in `work` (the image is work + "/card.img"); false with
// `error` set when the tools fail.
bool MakeDeletedFoldersCard(const std::string& work, const std::string& mkfs_options,
                            uint64_t size_bytes, int folders, int files_per_folder,
                            DeletedFoldersCard* card, std::string* error);

}  // namespace velmora::testing
