// Links planted in the scan-log folder never lead a write outside it, and an index that
// cannot be written fails the scan instead of being reported as saved.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "support/test_env.h"
#include "support/fat_volume_builder.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class SavedStateGuardTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
    dir_ = testing::MakeTempDir("guard");
    image_ = dir_ + "/f.img";
    ASSERT_EQ(testing::RunCommand("cd " + dir_ +
                                  " && echo one > a.txt && echo two > b.txt"
                                  " && truncate -s 4M f.img && mkfs.fat -F 12 f.img >/dev/null"
                                  " && mcopy -i f.img a.txt b.txt ::/ && mdel -i f.img ::/a.txt"),
              0);
    outside_ = dir_ + "/outside";
    fs::create_directories(outside_);
    std::ofstream(outside_ + "/.fingerprint") << "precious\n";
  }
  void TearDown() override {
    if (!dir_.empty()) testing::RemoveTree(dir_);
  }

  int Velmora(const std::string& arguments, std::string* output) {
    return testing::RunCommand(testing::VelmoraBinary() + " " + arguments + " 2>&1", output);
  }
  std::string ScanLog() const { return data_.Path() + "/ScanLog"; }
  void ExpectOutsideUntouched() {
    size_t entries = 0;
    for (const auto& entry : fs::directory_iterator(outside_)) {
      (void)entry;
      ++entries;
    }
    EXPECT_EQ(entries, 1u) << "nothing is written through a planted link";
    EXPECT_EQ(ReadText(outside_ + "/.fingerprint"), "precious\n");
  }

  testing::ScopedDataDir data_;
  std::string dir_;
  std::string image_;
  std::string outside_;
};

TEST_F(SavedStateGuardTest, LinksForFoldersAndIndexFilesLeadNoWriteOutside) {
  std::string output;
  ASSERT_EQ(Velmora("scan " + image_ + " --quick", &output), 0) << output;
  // The next numbered folder, the index's temporary and lock files: replaced, not followed.
  fs::create_directory_symlink(outside_, ScanLog() + "/2");
  fs::remove(ScanLog() + "/config.tmp");
  fs::create_symlink(outside_ + "/.fingerprint", ScanLog() + "/config.tmp");
  fs::remove(ScanLog() + "/config.lock");
  fs::create_symlink(outside_ + "/lock", ScanLog() + "/config.lock");
  ASSERT_EQ(Velmora("scan " + image_ + " --quick", &output), 0) << output;
  ExpectOutsideUntouched();
  EXPECT_FALSE(fs::is_symlink(ScanLog() + "/2"));
  EXPECT_TRUE(fs::is_regular_file(ScanLog() + "/2/.fingerprint")) << "the scan's own folder";
  EXPECT_GT(fs::file_size(ScanLog() + "/config"), 8u) << "the index was saved";
  ASSERT_EQ(Velmora("list " + image_ + " --quick", &output), 0) << output;
  EXPECT_NE(output.find(".txt"), std::string::npos) << output;

  // A link for the lock folder is refused with its reason.
  fs::remove_all(ScanLog() + "/locks");
  fs::create_directory_symlink(outside_, ScanLog() + "/locks");
  EXPECT_EQ(Velmora("scan " + image_ + " --quick", &output), 2) << output;
  EXPECT_NE(output.find("symbolic link"), std::string::npos) << output;
  ExpectOutsideUntouched();
}

TEST_F(SavedStateGuardTest, ResumedLogFilesThatAreLinksAreRefused) {
  std::string output;
  ASSERT_EQ(Velmora("scan " + image_ + " --quick", &output), 0) << output;
  std::string log;
  for (const auto& entry : fs::directory_iterator(ScanLog() + "/1")) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("Fast_", 0) == 0 && name.find('_', 5) != std::string::npos &&
        name.find("_Relation") == std::string::npos && name.find("_DirInfo") == std::string::npos) {
      log = entry.path().string();
    }
  }
  ASSERT_FALSE(log.empty());
  fs::remove(log + "_Relation");
  fs::create_symlink(outside_ + "/.fingerprint", log + "_Relation");
  Velmora("list " + image_ + " --quick", &output);
  ExpectOutsideUntouched();
}

// Needs root for a tmpfs of 64 KiB as the data folder.
TEST_F(SavedStateGuardTest, AFullDataFolderFailsTheScanAndKeepsTheIndex) {
  if (::geteuid() != 0 || ::mount("velmora", data_.Path().c_str(), "tmpfs", 0, "size=64k") != 0) {
    GTEST_SKIP() << "mounting a small tmpfs needs root";
  }
  std::string output;
  const int first = Velmora("scan " + image_ + " --quick", &output);
  const auto index_size =
      fs::exists(ScanLog() + "/config") ? fs::file_size(ScanLog() + "/config") : 0;
  // Filled to the last page: every later write runs out of room.
  testing::RunCommand("dd if=/dev/zero of=" + data_.Path() + "/filler bs=4k 2>/dev/null");
  std::string full;
  const int second = Velmora("scan " + image_ + " --quick", &full);
  const auto index_after =
      fs::exists(ScanLog() + "/config") ? fs::file_size(ScanLog() + "/config") : 0;
  ::umount(data_.Path().c_str());
  ASSERT_EQ(first, 0) << output;
  EXPECT_EQ(second, 2) << full;
  EXPECT_NE(full.find("disk is full"), std::string::npos) << full;
  EXPECT_EQ(full.find("Results saved"), std::string::npos) << full;
  EXPECT_EQ(index_after, index_size) << "a failed save leaves the index as it was";
}

}  // namespace
}  // namespace velmora
