// Recovering onto the scanned source: refused before anything is written, unless asked for.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "support/content_gen.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

// The card image's own file system, on a loop device mounted through ntfs-3g, as the
// destination; a folder beside the image is fine.
TEST(SameDeviceTest, RecoveringIntoTheScannedImagesMountIsRefusedUnlessAllowed) {
  if (!NtfsBuilderAvailable() || !ToolAvailable("ntfs-3g"))
    GTEST_SKIP() << "ntfs-3g is not installed";
  if (::geteuid() != 0) GTEST_SKIP() << "attaching a loop device needs root";
  ScopedDataDir data;
  const std::string dir = MakeTempDir("same-device");
  {
    NtfsVolumeBuilder ntfs(dir + "/card.img", 8 << 20);
    ntfs.AddFile("/Lost notes.txt", RandomText(3000, 1));
    ntfs.Delete("/Lost notes.txt");
    ntfs.Finish();
  }
  const std::string mount = dir + "/mnt";
  fs::create_directories(mount);
  std::string loop;
  if (RunCommand("losetup --find --show " + ShellQuote(dir + "/card.img"), &loop) != 0) {
    RemoveTree(dir);
    GTEST_SKIP() << "losetup failed: " << loop;
  }
  while (!loop.empty() && loop.back() == '\n') loop.pop_back();
  if (RunCommand("ntfs-3g " + ShellQuote(loop) + " " + ShellQuote(mount)) != 0) {
    RunCommand("losetup --detach " + ShellQuote(loop));
    RemoveTree(dir);
    GTEST_SKIP() << "ntfs-3g cannot mount here (no FUSE?)";
  }
  const std::string recover = VelmoraBinary() + " recover " + ShellQuote(dir + "/card.img") +
                              " --to " + ShellQuote(mount + "/rescued");
  std::string refused;
  const int refused_status = RunCommand(recover, &refused);
  const bool written_anyway = fs::exists(mount + "/rescued");
  std::string allowed;
  const int allowed_status = RunCommand(recover + " --allow-same-device", &allowed);
  const bool written = fs::exists(mount + "/rescued/document/Lost notes.txt");
  std::string beside;
  const int beside_status =
      RunCommand(VelmoraBinary() + " recover " + ShellQuote(dir + "/card.img") + " --to " +
                     ShellQuote(dir + "/rescued"),
                 &beside);
  RunCommand("umount " + ShellQuote(mount));
  RunCommand("losetup --detach " + ShellQuote(loop));
  RemoveTree(dir);
  EXPECT_EQ(refused_status, 2) << refused;
  EXPECT_NE(refused.find("--allow-same-device"), std::string::npos) << refused;
  EXPECT_FALSE(written_anyway);
  EXPECT_NE(allowed_status, 2) << allowed;
  EXPECT_TRUE(written) << allowed;
  EXPECT_EQ(beside_status, 0) << beside;
}

}  // namespace
}  // namespace velmora::testing
