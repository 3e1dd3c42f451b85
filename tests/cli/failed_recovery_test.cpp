// A recovery that fails part way reports the file as failed and leaves nothing
// that looks recovered.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/content_gen.h"
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
    if (entry.is_regular_file()) left.push_back(entry.path().filename().string() + ":" +
                                                std::to_string(entry.file_size()));
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

}  // namespace
}  // namespace velmora::testing
