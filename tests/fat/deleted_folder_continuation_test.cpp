// Deleted folders that spanned several clusters: their later clusters no longer
// follow a chain and lie behind the files written in between. Folders are copied
// and removed with mtools, as a user's tools would.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fat_scan_helpers.h"
#include "support/deleted_folders_card.h"
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
    std::string error;
    ASSERT_TRUE(MakeDeletedFoldersCard(work_, GetParam().mkfs_options, GetParam().size, kFolders,
                                       kFilesPerFolder, &card_, &error))
        << error;
    engine_ = ScanFatImage(card_.image, work_ + "/log");
    ASSERT_NE(engine_, nullptr);
  }
  void TearDown() override {
    engine_.reset();
    if (!work_.empty()) RemoveTree(work_);
  }

  std::string work_;
  ScopedDataDir data_dir_;
  DeletedFoldersCard card_;
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
    const auto known = card_.files.find(path);
    if (known == card_.files.end()) continue;
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
