// Imaging a source with unreadable sectors: a FUSE file that fails chosen sectors
// with EIO, read directly and through a loop device.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <set>
#include <sstream>

#include "support/faulty_image_mount.h"
#include "support/loop_device.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::ReadWholeFile;

const std::set<uint64_t> kBadSectors = {100, 101, 2050, 8191};
constexpr uint64_t kSectors = 8192;  // 4 MiB

class FailingSectorsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("failing");
    image_ = dir_ + "/source.img";
    std::ofstream out(image_, std::ios::binary);
    uint32_t x = 12345;
    for (uint64_t i = 0; i < kSectors * 512; ++i) {
      x = x * 1103515245 + 12345;
      out.put(static_cast<char>(x >> 16));
    }
    out.close();
    original_ = ReadWholeFile(image_);
    folder_ = dir_ + "/fuse";
    ASSERT_EQ(::mkdir(folder_.c_str(), 0755), 0);
    std::string why;
    mount_ = testing::FaultyImageMount::Start(image_, kBadSectors, folder_, &why);
    if (!mount_) skip_ = why;
  }
  void TearDown() override {
    loop_.reset();   // the loop device holds the FUSE file open
    mount_.reset();
    testing::RemoveTree(dir_);
  }

  std::string Velmora(const std::string& arguments, int* status) {
    std::string output;
    *status = testing::RunCommand("'" + testing::VelmoraBinary() + "' " + arguments, &output);
    return output;
  }

  // Zeros exactly at the bad sectors, the source's bytes everywhere else.
  void ExpectRescued(const std::string& path) {
    const auto image = ReadWholeFile(path);
    ASSERT_EQ(image.size(), original_.size());
    for (uint64_t sector = 0; sector < kSectors; ++sector) {
      const uint8_t* got = image.data() + sector * 512;
      if (kBadSectors.count(sector)) {
        for (int i = 0; i < 512; ++i) ASSERT_EQ(got[i], 0) << "sector " << sector;
      } else {
        ASSERT_EQ(0, std::memcmp(got, original_.data() + sector * 512, 512)) << "sector " << sector;
      }
    }
    std::ifstream map(path + ".map");
    std::vector<std::string> lines;
    for (std::string line; std::getline(map, line);) {
      if (!line.empty() && line[0] != '#') lines.push_back(line);
    }
    EXPECT_EQ(lines, (std::vector<std::string>{"51200 1024 100 2", "1049600 512 2050 1",
                                               "4193792 512 8191 1"}));
  }

  std::string dir_, image_, folder_, skip_;
  std::vector<uint8_t> original_;
  std::unique_ptr<testing::FaultyImageMount> mount_;
  std::unique_ptr<testing::LoopDevice> loop_;
};

TEST_F(FailingSectorsTest, ImageOfAFailingFileHasZerosAndAMap) {
  if (!mount_) GTEST_SKIP() << skip_;
  int status = 0;
  const std::string out = dir_ + "/rescued.img";
  const std::string output = Velmora("image '" + mount_->FilePath() + "' --to '" + out + "'", &status);
  EXPECT_EQ(status, 1) << output;  // partial: some bytes could not be read
  EXPECT_NE(output.find("unreadable: 2048 bytes in 3 ranges"), std::string::npos) << output;
  ExpectRescued(out);
  EXPECT_GE(mount_->FailedReads(), 4u);
}

TEST_F(FailingSectorsTest, StrictModeStopsAtTheFirstUnreadableChunk) {
  if (!mount_) GTEST_SKIP() << skip_;
  int status = 0;
  const std::string out = dir_ + "/strict.img";
  // Sectors 0-127 form the first chunk; 100 is bad, so nothing is copied.
  std::string output =
      Velmora("image '" + mount_->FilePath() + "' --to '" + out + "' --strict", &status);
  EXPECT_EQ(status, 1) << output;
  EXPECT_NE(output.find("error 30"), std::string::npos) << output;
  EXPECT_EQ(ReadWholeFile(out).size(), 0u);
  EXPECT_NE(::access((out + ".map").c_str(), F_OK), 0);
}

TEST_F(FailingSectorsTest, ImageOfAFailingBlockDeviceHasZerosAndAMap) {
  if (!mount_) GTEST_SKIP() << skip_;
  std::string why;
  loop_ = testing::LoopDevice::Attach(mount_->FilePath(), 512, &why);
  if (!loop_) GTEST_SKIP() << why;
  int status = 0;
  const std::string out = dir_ + "/device.img";
  const std::string output = Velmora("image " + loop_->Path() + " --to '" + out + "'", &status);
  EXPECT_EQ(status, 1) << output;
  // Retried sectors bypass the page cache: exactly the bad sectors are lost, not whole pages.
  EXPECT_NE(output.find("unreadable: 2048 bytes in 3 ranges"), std::string::npos) << output;
  ExpectRescued(out);
}

}  // namespace
}  // namespace velmora
