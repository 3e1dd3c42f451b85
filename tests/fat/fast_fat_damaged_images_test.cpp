// Damaged and unusual volumes from the dosfstools test suite (xxd dumps).
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "fat_scan_helpers.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

class DosfstoolsImagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dumps_ = SharedTestData("dosfstools/xxd");
    if (dumps_.empty()) GTEST_SKIP() << "shared test data dosfstools/xxd is not present";
    if (!ToolAvailable("xxd")) GTEST_SKIP() << "xxd is not installed";
    work_ = MakeTempDir("dosfstools");
  }
  void TearDown() override {
    if (!work_.empty()) RemoveTree(work_);
  }
  // The image of one dump, written sparse into the work folder.
  std::string Restore(const std::string& dump_name) {
    const std::string image = work_ + "/" + dump_name + ".img";
    if (RunCommand("xxd -r '" + dumps_ + "/" + dump_name + ".xxd' '" + image + "'") != 0) return "";
    return image;
  }
  std::set<std::string> DeletedNames(const std::string& dump_name) {
    std::set<std::string> names;
    const std::string image = Restore(dump_name);
    auto engine = ScanFatImage(image, work_ + "/log-" + dump_name);
    if (!engine) return names;
    for (const auto& [key, record] : ListTree(engine.get())) names.insert(key);
    return names;
  }

  ScopedDataDir data_dir_;
  std::string dumps_;
  std::string work_;
};

TEST_F(DosfstoolsImagesTest, EveryImageScansAndCopiesOutWithoutFault) {
  int scanned = 0;
  for (const auto& entry : fs::directory_iterator(dumps_)) {
    if (entry.path().extension() != ".xxd") continue;
    const std::string name = entry.path().stem().string();
    SCOPED_TRACE(name);
    const std::string image = Restore(name);
    ASSERT_FALSE(image.empty());
    CFastFatRecovery engine;
    if (engine.OpenImage(image, u'Z') != 0) continue;  // not a readable FAT volume
    ASSERT_EQ(engine.ScanInto(work_ + "/log-" + name), 0);
    ++scanned;
    for (const auto& [key, record] : ListTree(&engine)) {
      const std::string out = work_ + "/out-" + name + "/" + std::to_string(record.record_index);
      const int result = engine.RecoverFile(record, out, 0);
      EXPECT_TRUE(result == 0 || result > 0) << key;
    }
    uint64_t position = 0;
    uint64_t length = 0;
    ASSERT_EQ(engine.LoadClusterBitmap(), 0);
    for (int ranges = 0; ranges < 100000; ++ranges) {
      ASSERT_EQ(engine.GetNextFreeRange(&position, &length), 1);
      if (length == 0) break;
      position += length;
    }
    fs::remove(image);
  }
  EXPECT_GE(scanned, 30);
}

TEST_F(DosfstoolsImagesTest, WindowsVolumesListTheirDeletedLongNames) {
  for (const char* dump :
       {"check-encryption_with_duplicate_dirent", "check-encryption_with_invalid_83"}) {
    SCOPED_TRACE(dump);
    const std::set<std::string> names = DeletedNames(dump);
    EXPECT_TRUE(names.count("test_encrypted - Copy.txt"));
    EXPECT_TRUE(names.count("test_encrypted - Copy.txt.PFILE"));
    EXPECT_TRUE(names.count("test_encrypted.txt"));
    EXPECT_TRUE(names.count("System Volume Information/"));
  }
}

}  // namespace
}  // namespace velmora::testing
