// Deleted folders that spanned several clusters: their later clusters no longer
// follow a chain and lie behind the files written in between. Folders are copied
// and removed with mtools, as a user's tools would.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

#include "fat_scan_helpers.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

constexpr int kFolders = 12;
constexpr int kFilesPerFolder = 100;

struct Layout {
  const char* name;
  const char* mkfs_options;
  uint64_t size;
};
void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.name; }

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

class DeletedFolderContinuationTest : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    if (!FatBuilderAvailable() || !ToolAvailable("mdeltree")) {
      GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    }
    work_ = MakeTempDir(std::string("fat-continuation-") + GetParam().name);
    image_ = work_ + "/card.img";
    const std::string tree = work_ + "/tree";
    char folder[32];
    char file[48];
    for (int d = 0; d < kFolders; ++d) {
      std::snprintf(folder, sizeof(folder), "folder%02d", d);
      fs::create_directories(tree + "/" + folder);
      for (int f = 0; f < kFilesPerFolder; ++f) {
        std::snprintf(file, sizeof(file), "%s/photo_%02d_%03d.bin", folder, d, f);
        const auto bytes = RandomBytes(600 + static_cast<size_t>((d * 131 + f * 37) % 4400),
                                       static_cast<uint64_t>(d * 1000 + f));
        std::ofstream(tree + "/" + file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        contents_[file] = bytes;
      }
    }
    std::string script = "set -e; export MTOOLS_SKIP_CHECK=1; truncate -s " +
                         std::to_string(GetParam().size) + " " + ShellQuote(image_) +
                         "; mkfs.fat " + GetParam().mkfs_options + " " + ShellQuote(image_) +
                         " >/dev/null";
    for (int d = 0; d < kFolders; ++d) {
      std::snprintf(folder, sizeof(folder), "folder%02d", d);
      script += "; mcopy -s -i " + ShellQuote(image_) + " " + ShellQuote(tree + "/" + folder) + " ::/";
    }
    for (int d = 0; d < kFolders; ++d) {
      std::snprintf(folder, sizeof(folder), "folder%02d", d);
      script += "; mdeltree -i " + ShellQuote(image_) + " ::/" + folder;
    }
    std::string output;
    ASSERT_EQ(RunCommand("sh -c " + ShellQuote(script) + " 2>&1", &output), 0) << output;
    engine_ = ScanFatImage(image_, work_ + "/log");
    ASSERT_NE(engine_, nullptr);
  }
  void TearDown() override {
    engine_.reset();
    if (!work_.empty()) RemoveTree(work_);
  }

  std::string work_;
  std::string image_;
  ScopedDataDir data_dir_;
  std::map<std::string, std::vector<uint8_t>> contents_;  // "folderNN/name" -> bytes
  std::unique_ptr<CFastFatRecovery> engine_;
};

TEST_P(DeletedFolderContinuationTest, EveryFileIsListedInItsFolderAndRecoveredByteForByte) {
  const auto tree = ListTree(engine_.get());
  int files = 0;
  int in_place = 0;
  int exact = 0;
  for (const auto& [key, record] : tree) {
    if (record.is_directory) continue;
    ++files;
    // A deleted folder keeps its long name; its 8.3 alias lost the first letter.
    std::string path = key;
    if (path.size() > 1 && path[0] == '!') path = "f" + path.substr(1);
    const auto known = contents_.find(path);
    if (known == contents_.end()) continue;
    ++in_place;
    const std::string out = work_ + "/out" + std::to_string(files);
    if (engine_->RecoverFile(record, out, 0) == 0 && ReadAll(out) == known->second) ++exact;
    fs::remove(out);
  }
  EXPECT_EQ(files, kFolders * kFilesPerFolder);
  EXPECT_EQ(in_place, kFolders * kFilesPerFolder);
  EXPECT_EQ(exact, kFolders * kFilesPerFolder);
}

INSTANTIATE_TEST_SUITE_P(Cards, DeletedFolderContinuationTest,
                         ::testing::Values(Layout{"fat16", "-F 16 -s 4", 64ull << 20},
                                           Layout{"fat32", "-F 32 -s 1", 300ull << 20}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora::testing
