#include "support/deleted_folders_card.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/content_gen.h"
#include "support/test_env.h"

namespace velmora::testing {

namespace fs = std::filesystem;

bool MakeDeletedFoldersCard(const std::string& work, const std::string& mkfs_options,
                            uint64_t size_bytes, int folders, int files_per_folder,
                            DeletedFoldersCard* card, std::string* error) {
  card->image = work + "/card.img";
  card->files.clear();
  const std::string tree = work + "/tree";
  std::string script = "set -e; export MTOOLS_SKIP_CHECK=1; truncate -s " +
                       std::to_string(size_bytes) + " " + ShellQuote(card->image) + "; mkfs.fat " +
                       mkfs_options + " " + ShellQuote(card->image) + " >/dev/null";
  std::string removals;
  char folder[32];
  char file[96];
  for (int d = 0; d < folders; ++d) {
    std::snprintf(folder, sizeof(folder), "folder%02d", d);
    fs::create_directories(tree + "/" + folder);
    for (int f = 0; f < files_per_folder; ++f) {
      std::snprintf(file, sizeof(file), "%s/photo_%02d_%03d.bin", folder, d, f);
      const auto bytes = RandomBytes(600 + static_cast<size_t>((d * 131 + f * 37) % 4400),
                                     static_cast<uint64_t>(d * 1000 + f));
      std::ofstream(tree + "/" + file, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()));
      card->files[file] = bytes;
    }
    script +=
        "; mcopy -s -i " + ShellQuote(card->image) + " " + ShellQuote(tree + "/" + folder) + " ::/";
    removals += "; mdeltree -i " + ShellQuote(card->image) + " ::/" + folder;
  }
  std::string output;
  if (RunCommand("sh -c " + ShellQuote(script + removals) + " 2>&1", &output) != 0) {
    *error = output;
    return false;
  }
  return true;
}

}  // namespace velmora::testing
