// Damaged and unusual volumes from the dosfstools test suite (xxd dumps).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <set>

#include "fat_scan_helpers.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"

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

// Random damage to the metadata area of a real volume: the scan and the copy-out
// must neither fault nor loop.
TEST(FatCorruptionTest, RandomlyDamagedMetadataIsSkipped) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  ScopedDataDir data_dir;
  const std::string work = MakeTempDir("fat-corrupt");
  FatVolumeBuilder fat(work + "/base.img", 16, 16 << 20, FatBuildOptions{1, "DAMAGE"});
  fat.MakeDirectory("/a/b/c");
  for (int i = 0; i < 30; ++i) {
    fat.AddFile("/a/b/c/File " + std::to_string(i) + ".bin", RandomBytes(700 * i + 1, i));
  }
  fat.MakeDirectory("/a/Deep Folder Name");
  fat.AddFile("/a/Deep Folder Name/x.txt", RandomText(3000, 99));
  fat.DeleteTree("/a/b");
  const VolumeTruth truth = fat.Finish();
  std::ifstream in(truth.image_path, std::ios::binary);
  const std::string base((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Boot sector, FATs, root region and the first data clusters.
  const size_t metadata_end = std::min<size_t>(base.size(), 300 * 1024);
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::string image = base;
    const int flips = 20 + static_cast<int>(random() % 400);
    for (int i = 0; i < flips; ++i) {
      // Keep the boot sector mostly whole so that the walk is reached.
      const size_t at = 512 + random() % (metadata_end - 512);
      image[at] = static_cast<char>(random() & 0xFF);
    }
    const std::string path = work + "/damaged.img";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(image.data(), static_cast<long>(image.size()));
    CFastFatRecovery engine;
    if (engine.OpenImage(path, u'Z') != 0) continue;
    ASSERT_EQ(engine.ScanInto(work + "/log" + std::to_string(seed)), 0);
    for (const auto& [key, record] : ListTree(&engine)) {
      const std::string out =
          work + "/out" + std::to_string(seed) + "/" + std::to_string(record.record_index);
      engine.RecoverFile(record, out, 0);
    }
  }
  RemoveTree(work);
}

}  // namespace
}  // namespace velmora::testing
