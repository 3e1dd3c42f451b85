// The published FAT undelete test image: six deleted files, two deleted folders.
#include <gtest/gtest.h>

#include "fat_scan_helpers.h"

namespace velmora::testing {
namespace {

class DfttUndeleteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = SharedTestData("dftt/6-undel-fat/6-fat-undel.dd");
    if (image_.empty()) GTEST_SKIP() << "shared test data dftt/6-undel-fat is not present";
    work_ = MakeTempDir("dftt");
    engine_ = ScanFatImage(image_, work_ + "/log");
    ASSERT_NE(engine_, nullptr);
    tree_ = ListTree(engine_.get());
  }
  void TearDown() override {
    engine_.reset();
    if (!work_.empty()) RemoveTree(work_);
  }
  std::string Recover(const std::string& key) {
    const auto it = tree_.find(key);
    if (it == tree_.end()) return "missing";
    const std::string out = work_ + "/out/" + key;
    const int result = engine_->RecoverFile(it->second, out, 0);
    if (result != 0) return "error " + std::to_string(result);
    return Md5Of(out);
  }

  ScopedDataDir data_dir_;
  std::string image_;
  std::string work_;
  std::unique_ptr<CFastFatRecovery> engine_;
  std::map<std::string, ScanRecord> tree_;
};

TEST_F(DfttUndeleteTest, ListsDeletedFilesUnderTheirFolders) {
  EXPECT_EQ(engine_->Geometry().type, FatType::kFat16);
  // The names have no long-name entries: the deleted ones lost their first letter.
  for (const char* key : {"!ing.dat", "!ult1.dat", "!rag1.dat", "!rag2.dat", "!ir1/",
                          "!ir1/mult2.dat", "!ir1/dir2/", "!ir1/dir2/frag3.dat"}) {
    EXPECT_TRUE(tree_.count(key)) << key;
  }
  EXPECT_EQ(+tree_["!ing.dat"].size, 780u);
  EXPECT_EQ(+tree_["!ir1/dir2/frag3.dat"].size, 2027u);
  EXPECT_EQ(+tree_["!ir1/"].deleted_directory_mark, 1u);
}

TEST_F(DfttUndeleteTest, RecoversContiguousFilesByteForByte) {
  EXPECT_EQ(Recover("!ing.dat"), "59b20779f69ff9f0ac5fcd2c38835a79");
  EXPECT_EQ(Recover("!ult1.dat"), "ffd27bd782bdce67750b6b9ee069d2ef");
  EXPECT_EQ(Recover("!ir1/mult2.dat"), "59cf0e9cd107bc1e75afb7374f6e05bb");
}

TEST_F(DfttUndeleteTest, FragmentedFilesAreRecoveredFromFollowingFreeClusters) {
  // Their fragments are interleaved with other deleted files, which a quick scan
  // cannot tell apart from free space: the image's answer key lists these
  // digests as what a contiguous read of the free clusters gives.
  const std::string frag1 = Recover("!rag1.dat");
  const std::string frag2 = Recover("!rag2.dat");
  const std::string frag3 = Recover("!ir1/dir2/frag3.dat");
  RecordProperty("frag1", frag1);
  RecordProperty("frag2", frag2);
  RecordProperty("frag3", frag3);
  EXPECT_EQ(frag1, "c4f3b9a0f17d464f4fc61b94ecf6cc21");
  EXPECT_EQ(frag2, "965370acfa85aa7e26ab04bbd45cdcae");
  EXPECT_EQ(frag3, "a7a14ac62f79fdea4056ed5e8bcf97ef");
}

}  // namespace
}  // namespace velmora::testing
