// Imaging a source with unreadable sectors: a FUSE file that fails chosen sectors
// with EIO, read directly and through a loop device.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <fstream>
#include <set>
#include <sstream>

#include "storage/error_codes.h"
#include "storage/image_map.h"
#include "storage/sector_reader.h"
#include "support/faulty_image_mount.h"
#include "support/loop_device.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::ReadWholeFile;

const std::set<uint64_t> kBadSectors = {100, 101, 2050, 8191};
constexpr uint64_t kSectors = 8192;  // 4 MiB
constexpr uint64_t kChunk = 65536;   // what the copy reads at a time

// `velmora image SOURCE --to OUT` stopped with Ctrl-C while its read of the chunk at `stop_at`
// waits in the mount: the stop lands at that chunk on every run. Returns the exit status
// (-1 when the copy never reached that chunk); its output goes to `log`.
int ImageStoppedAt(testing::FaultyImageMount& mount, uint64_t stop_at, const std::string& out,
                   const std::string& log) {
  mount.PauseReadsIn(stop_at, stop_at + kChunk);
  const std::string program = testing::VelmoraBinary();
  const std::string source = mount.FilePath();
  std::vector<std::string> words = {program, "image", source, "--to", out};
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t files;
  posix_spawn_file_actions_init(&files);
  posix_spawn_file_actions_addopen(&files, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&files, 1, 2);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, program.c_str(), &files, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&files);
  if (spawned != 0) return -1;
  // The bound only ends a run whose copy never came to the chunk; no timing is judged.
  const bool paused = mount.WaitForPausedRead(300);
  if (paused) ::kill(pid, SIGINT);
  mount.Resume();
  int status = 0;
  ::waitpid(pid, &status, 0);
  return paused && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadText(const std::string& path) {
  std::stringstream text;
  text << std::ifstream(path).rdbuf();
  return text.str();
}

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
    loop_.reset();  // the loop device holds the FUSE file open
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
    ImageMap map;
    std::string error;
    ASSERT_EQ(LoadImageMapFile(path + ".map", &map, &error), MapFileState::kValid) << error;
    EXPECT_EQ(map.BytesWith(MapStatus::kUntried), 0u);
    std::vector<std::pair<uint64_t, uint64_t>> bad;
    for (const MapRange& range : map.RangesWith(MapStatus::kUnreadable)) {
      bad.emplace_back(range.offset, range.length);
    }
    EXPECT_EQ(bad, (std::vector<std::pair<uint64_t, uint64_t>>{
                       {51200, 1024}, {1049600, 512}, {4193792, 512}}));
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
  const std::string output =
      Velmora("image '" + mount_->FilePath() + "' --to '" + out + "'", &status);
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
  EXPECT_NE(output.find("from sector 0 of the source cannot be read"), std::string::npos) << output;
  EXPECT_EQ(output.find("error 30"), std::string::npos) << "a code instead of words: " << output;
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

// A device of 4096-byte sectors read in 512-byte units: a retried piece is read with the device
// sector holding it, so a bad 512-byte sector costs its whole device sector and no more.
TEST_F(FailingSectorsTest, SalvageOnALargeSectorDeviceLosesOnlyTheDeviceSectorsThatFail) {
  if (!mount_) GTEST_SKIP() << skip_;
  std::string why;
  loop_ = testing::LoopDevice::Attach(mount_->FilePath(), 4096, &why);
  if (!loop_) GTEST_SKIP() << why;
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, loop_->Path()), kSuccess);
  std::vector<uint8_t> buffer(256 * 512, 0xEE);
  UnreadableSalvage salvage;
  uint32_t read = 0;
  ASSERT_EQ(ReadSectors(&reader, 256, buffer.data(), 0, 512, &read), kSuccess);
  EXPECT_EQ(read, 256u);
  // Sectors 100 and 101 lie in the device's sector 12 (512-byte sectors 96 to 103).
  ASSERT_EQ(salvage.Ranges().size(), 1u);
  EXPECT_EQ(salvage.Ranges()[0].offset, 96u * 512);
  EXPECT_EQ(salvage.Ranges()[0].length, 4096u);
  for (uint64_t sector = 0; sector < 256; ++sector) {
    const bool lost = sector >= 96 && sector < 104;
    for (size_t i = 0; i < 512; ++i) {
      ASSERT_EQ(buffer[sector * 512 + i], lost ? 0 : original_[sector * 512 + i]) << sector;
    }
  }
}

TEST_F(FailingSectorsTest, CopyStoppedAtFortyPercentGoesOnFromItsMap) {
  if (!mount_) GTEST_SKIP() << skip_;
  const std::string out = dir_ + "/resumed.img";
  // Stopped while the chunk holding 40% is read: the copy goes on after the stop to the end
  // of that chunk.
  const uint64_t forty_percent = (kSectors * 512 * 2 / 5) / kChunk * kChunk;
  const int stopped_status = ImageStoppedAt(*mount_, forty_percent, out, dir_ + "/stopped.log");
  EXPECT_EQ(stopped_status, 1) << ReadText(dir_ + "/stopped.log");
  ImageMap stopped;
  std::string error;
  ASSERT_EQ(LoadImageMapFile(out + ".map", &stopped, &error), MapFileState::kValid) << error;
  EXPECT_GT(stopped.BytesWith(MapStatus::kUntried), 0u) << "stopped before the end";
  EXPECT_GE(stopped.BytesWith(MapStatus::kCopied), forty_percent - kChunk);

  // The same command again (no --force needed) finishes the copy.
  int status = 0;
  std::string output =
      Velmora("image '" + mount_->FilePath() + "' --to '" + out + "' 2>&1", &status);
  EXPECT_EQ(status, 1) << output;
  EXPECT_NE(output.find("went on from the map at"), std::string::npos) << output;
  ExpectRescued(out);
  const std::string straight = dir_ + "/straight.img";
  Velmora("image '" + mount_->FilePath() + "' --to '" + straight + "' 2>&1", &status);
  EXPECT_EQ(ReadWholeFile(out), ReadWholeFile(straight)) << "the same as an uninterrupted run";
}

TEST_F(FailingSectorsTest, MapThatIsASymlinkIsRefusedAndItsTargetKept) {
  const std::string out = dir_ + "/linked.img";
  const std::string victim = dir_ + "/victim.txt";
  std::ofstream(victim) << "do not touch";
  ASSERT_EQ(::symlink(victim.c_str(), (out + ".map").c_str()), 0);
  for (const char* force : {"", " --force"}) {
    int status = 0;
    const std::string output =
        Velmora("image '" + image_ + "' --to '" + out + "'" + force + " 2>&1", &status);
    EXPECT_EQ(status, 2) << output;
    EXPECT_NE(output.find("symbolic link"), std::string::npos) << output;
  }
  const auto kept = ReadWholeFile(victim);
  EXPECT_EQ(std::string(kept.begin(), kept.end()), "do not touch");
}

TEST(InterruptedImage, CtrlCStopsAfterTheCurrentChunkAndKeepsThePartialImage) {
  const std::string dir = testing::MakeTempDir("interrupt");
  const std::string image = dir + "/slow-source.img";
  ASSERT_EQ(testing::RunCommand("head -c 4194304 /dev/urandom > '" + image + "'"), 0);
  const std::string folder = dir + "/fuse";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  std::string why;
  {
    auto mount = testing::FaultyImageMount::Start(image, {}, folder, &why);
    if (!mount) {
      testing::RemoveTree(dir);
      GTEST_SKIP() << why;
    }
    const std::string out = dir + "/partial.img";
    const std::string log = dir + "/log.txt";
    EXPECT_EQ(ImageStoppedAt(*mount, 16 * kChunk, out, log), 1) << ReadText(log);
    EXPECT_NE(ReadText(log).find("stopped after"), std::string::npos) << ReadText(log);
    const auto partial = ReadWholeFile(out);
    EXPECT_GT(partial.size(), 0u);
    EXPECT_LT(partial.size(), 4194304u);
    EXPECT_EQ(partial.size() % 65536, 0u);  // whole chunks only
    const auto original = ReadWholeFile(image);
    EXPECT_TRUE(std::equal(partial.begin(), partial.end(), original.begin()));
  }
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora
