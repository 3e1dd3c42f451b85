// The FAT deep engine over FAT images from other projects' test suites: known
// results where they are documented, and no crash or hang on damaged ones.
#include <dirent.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/record_text.h"
#include "fat/deep_fat_recovery.h"
#include "fat/fat_deep_scan_driver.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::MakeTempDir;
using testing::SharedTestData;

// Every listed path, folders ending in "/", from a finished deep pass.
std::map<std::string, ScanRecord> DeepScanListing(CProfessionalFatRecovery* engine,
                                                  const std::string& image,
                                                  const std::string& folder) {
  std::map<std::string, ScanRecord> found;
  if (engine->OpenImage(image, u'Y') != 0) return found;
  EXPECT_EQ(testing::RunFatDeepPass(engine, image, folder), 0) << image;
  struct Level {
    ScanRecord record;
    bool root;
    int depth;
  };
  std::vector<Level> pending{{ScanRecord{}, true, 0}};
  for (size_t i = 0; i < pending.size() && i < 100000; ++i) {
    const Level level = pending[i];
    ScanRecordList children;
    engine->GetChildren(level.root ? nullptr : &level.record, level.depth, &children);
    for (const ScanRecord& child : children) {
      std::string path;
      engine->GetFullPath(child, &path);
      path += std::string(RecordName(child));
      if (child.is_directory) {
        path += "/";
        pending.push_back({child, false, level.depth + 1});
      }
      found.emplace(path, child);
    }
  }
  return found;
}

class SharedFatImages : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = MakeTempDir("fatdeep-shared"); }
  void TearDown() override { testing::RemoveTree(folder_); }
  std::string folder_;
  testing::ScopedDataDir data_dir_;
};

TEST_F(SharedFatImages, Fat12AndFat16ImagesListTheirNestedFiles) {
  for (const char* name : {"rust-fatfs/fat12.img", "rust-fatfs/fat16.img"}) {
    const std::string image = SharedTestData(name);
    if (image.empty()) GTEST_SKIP() << "shared test data (rust-fatfs) not present";
    CProfessionalFatRecovery engine;
    const auto found =
        DeepScanListing(&engine, image, folder_ + "/" + std::to_string(image.size()) + name[17]);
    // A FAT12 root region holds fewer than 512 entries: the data area starts
    // where the boot sector's root-entry count says, not 32 sectors later.
    for (const char* path : {"long.txt", "short.txt", "very/long/path/test.txt",
                             "very-long-dir-name/very-long-file-name.txt"}) {
      EXPECT_EQ(found.count(path), 1u) << name << ": " << path;
    }
  }
}

TEST_F(SharedFatImages, DeletedFilesAndFoldersOfTheUndeleteImage) {
  const std::string image = SharedTestData("dftt/6-undel-fat/6-fat-undel.dd");
  if (image.empty()) GTEST_SKIP() << "shared test data (dftt 6-undel-fat) not present";
  CProfessionalFatRecovery engine;
  const auto found = DeepScanListing(&engine, image, folder_ + "/log");
  // Deleted entries lost their first letter, which reads '!'.
  for (const char* path : {"!rag1.dat", "!rag2.dat", "!ing.dat", "!ult1.dat", "!ir1/mult2.dat",
                           "!ir1/dir2/frag3.dat"}) {
    EXPECT_EQ(found.count(path), 1u) << path;
  }
}

// Damaged images of a FAT checker's test suite (cycles, cross-links, bad dot
// entries, odd boot sectors): the pass must finish on every one of them.
TEST_F(SharedFatImages, DamagedCheckerImagesNeitherCrashNorHang) {
  const std::string xxd_folder = SharedTestData("dosfstools/xxd");
  if (xxd_folder.empty()) GTEST_SKIP() << "shared test data (dosfstools) not present";
  if (!testing::ToolAvailable("xxd")) GTEST_SKIP() << "xxd is needed to rebuild the images";
  std::vector<std::string> dumps;
  if (DIR* dir = ::opendir(xxd_folder.c_str())) {
    while (dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      const bool damaged = name.rfind("check-", 0) == 0 && name.size() > 5 &&
                           name.compare(name.size() - 5, 5, ".fsck") == 0;
      const bool reference = name.rfind("referenceFAT", 0) == 0;
      if (damaged || reference) dumps.push_back(name);
    }
    ::closedir(dir);
  }
  ASSERT_FALSE(dumps.empty());
  int scanned = 0;
  for (const std::string& dump : dumps) {
    const std::string image = folder_ + "/" + dump + ".img";
    if (testing::RunCommand("xxd -r '" + xxd_folder + "/" + dump + "' '" + image + "'") != 0) {
      continue;
    }
    CProfessionalFatRecovery engine;
    const auto found = DeepScanListing(&engine, image, folder_ + "/log-" + dump);
    for (const auto& [path, record] : found) {
      EXPECT_LT(path.size(), 4096u) << dump;
      const uint32_t kind = record.source_kind;  // packed field: copy before binding
      EXPECT_EQ(kind, kSourceFatDeep);
    }
    ::unlink(image.c_str());
    ++scanned;
  }
  EXPECT_EQ(scanned, static_cast<int>(dumps.size()));
}

}  // namespace
}  // namespace velmora
