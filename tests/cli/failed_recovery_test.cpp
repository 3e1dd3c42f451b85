// A recovery that fails part way reports the file as failed and leaves nothing
// that looks recovered.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "support/content_gen.h"
#include "support/faulty_image_mount.h"
#include "support/loop_device.h"  // ReadWholeFile
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

TEST(FailedRecoveryTest, FullDestinationLeavesNoPartialFile) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  ScopedDataDir data;
  const std::string dir = MakeTempDir("full-destination");
  const std::string dest = dir + "/dest";
  fs::create_directories(dest);
  // A destination that fills up: a tiny tmpfs (needs the right to mount).
  if (RunCommand("mount -t tmpfs -o size=64k tmpfs " + ShellQuote(dest) + " 2>/dev/null") != 0) {
    RemoveTree(dir);
    GTEST_SKIP() << "cannot mount a small tmpfs as the destination here";
  }
  {
    FatVolumeBuilder fat(dir + "/card.img", 16, 16 << 20);
    fat.AddFile("/Small notes.txt", RandomText(2000, 1));
    fat.AddFile("/Large video.bin", RandomBytes(300000, 2));
    fat.Delete("/Small notes.txt");
    fat.Delete("/Large video.bin");
    fat.Finish();
  }
  std::string out;
  const int status = RunCommand(VelmoraBinary() + " recover " + ShellQuote(dir + "/card.img") +
                                    " --to " + ShellQuote(dest) + " 2>&1",
                                &out);
  std::vector<std::string> left;
  std::string manifest;
  for (const auto& entry : fs::recursive_directory_iterator(dest)) {
    if (entry.path().filename() == "velmora-recovered.json") {
      std::ifstream in(entry.path());
      manifest.assign(std::istreambuf_iterator<char>(in), {});
      continue;
    }
    if (entry.is_regular_file())
      left.push_back(entry.path().filename().string() + ":" + std::to_string(entry.file_size()));
  }
  RunCommand("umount " + ShellQuote(dest));
  RemoveTree(dir);
  EXPECT_NE(status, 0) << out;
  EXPECT_NE(out.find("1 succeeded, 1 failed"), std::string::npos) << out;
  EXPECT_NE(out.find("the destination disk is full"), std::string::npos) << out;
  EXPECT_EQ(left, std::vector<std::string>{"Small notes.txt:2000"});
  // The manifest tells the failed file apart from the recovered one.
  EXPECT_NE(manifest.find("There is not enough space on the disk."), std::string::npos) << manifest;
}

// Byte offset of `content` in the image (files are stored whole on a new volume).
uint64_t OffsetOf(const std::vector<uint8_t>& image, const std::vector<uint8_t>& content) {
  const auto found = std::search(image.begin(), image.end(), content.begin(), content.begin() + 64);
  return found == image.end() ? UINT64_MAX : static_cast<uint64_t>(found - image.begin());
}

// A file over sectors the medium cannot read is copied with zeros there and reported with
// the ranges, as an image copy is; a file with no readable byte at all fails.
TEST(FailedRecoveryTest, FileOverUnreadableSectorsIsKeptWithZerosAndItsRanges) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  ScopedDataDir data;
  const std::string dir = MakeTempDir("unreadable-file");
  const std::string image = dir + "/card.img";
  const std::vector<uint8_t> video = RandomBytes(40000, 7);
  const std::vector<uint8_t> lost = RandomBytes(1500, 8);
  const std::vector<uint8_t> notes = RandomBytes(900, 9);
  {
    FatVolumeBuilder fat(image, 16, 16 << 20);
    fat.AddFile("/Video.bin", video);
    fat.AddFile("/Lost.bin", lost);
    fat.AddFile("/Notes.bin", notes);
    for (const char* name : {"/Video.bin", "/Lost.bin", "/Notes.bin"}) fat.Delete(name);
    fat.Finish();
  }
  const std::vector<uint8_t> bytes = ReadWholeFile(image);
  const uint64_t video_at = OffsetOf(bytes, video);
  const uint64_t lost_at = OffsetOf(bytes, lost);
  ASSERT_NE(video_at, UINT64_MAX);
  ASSERT_NE(lost_at, UINT64_MAX);
  ASSERT_EQ(video_at % 512, 0u);
  // Two sectors inside the video, its last (partly used) sector, and all of the lost file.
  const uint64_t first = video_at / 512;
  std::set<uint64_t> bad = {first + 10, first + 11, first + 78};
  for (uint64_t s = lost_at / 512; s < (lost_at + lost.size() + 511) / 512; ++s) bad.insert(s);
  const std::string folder = dir + "/fuse";
  ::mkdir(folder.c_str(), 0755);
  std::string why;
  auto mount = FaultyImageMount::Start(image, bad, folder, &why);
  if (!mount) {
    RemoveTree(dir);
    GTEST_SKIP() << why;
  }
  const std::string dest = dir + "/dest";
  std::string out;
  const int status = RunCommand(VelmoraBinary() + " recover " + ShellQuote(mount->FilePath()) +
                                    " --to " + ShellQuote(dest) + " 2>&1",
                                &out);
  mount.reset();
  EXPECT_EQ(status, 1) << out;  // partial
  EXPECT_NE(out.find("2 succeeded, 1 failed"), std::string::npos) << out;
  EXPECT_NE(out.find("partly unreadable"), std::string::npos) << out;
  EXPECT_NE(out.find(std::to_string((first + 10) * 512) + "+1024"), std::string::npos) << out;

  std::vector<uint8_t> expected = video;
  for (const uint64_t sector : {10u, 11u, 78u}) {
    const size_t from = sector * 512;
    std::fill(expected.begin() + static_cast<std::ptrdiff_t>(from),
              expected.begin() + static_cast<std::ptrdiff_t>(std::min(from + 512, expected.size())),
              0);
  }
  std::vector<uint8_t> got_video, got_notes;
  bool lost_written = false;
  for (const auto& entry : fs::recursive_directory_iterator(dest)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("Video.bin", 0) == 0) got_video = ReadWholeFile(entry.path().string());
    if (name.rfind("Notes.bin", 0) == 0) got_notes = ReadWholeFile(entry.path().string());
    if (name.rfind("Lost.bin", 0) == 0) lost_written = true;
  }
  EXPECT_TRUE(got_video == expected)
      << "video differs from the source with zeros at the bad sectors";
  EXPECT_TRUE(got_notes == notes);
  EXPECT_FALSE(lost_written) << "a file of zeros only is no recovered file";
  std::ifstream in(dest + "/velmora-recovered.json");
  const std::string manifest((std::istreambuf_iterator<char>(in)), {});
  EXPECT_NE(manifest.find("\"unreadable\""), std::string::npos) << manifest;
  RemoveTree(dir);
}

}  // namespace
}  // namespace velmora::testing
