// A user who may not read a disk is told so, with the device's own owner and group, and
// is never shown the disk as empty.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>

#include "support/fat_volume_builder.h"
#include "support/loop_device.h"
#include "support/test_env.h"

namespace velmora {
namespace {

// Runs velmora as the user nobody (no groups), or returns false when that is not possible.
bool RunAsNobody(const std::string& arguments, std::string* output, int* status) {
  const std::string as_nobody = "setpriv --reuid=nobody --regid=nogroup --clear-groups ";
  if (testing::RunCommand(as_nobody + testing::ShellQuote(testing::VelmoraBinary()) +
                          " --version") != 0) {
    return false;
  }
  *status = testing::RunCommand(
      as_nobody + testing::ShellQuote(testing::VelmoraBinary()) + " " + arguments, output);
  return true;
}

TEST(DiskRightsTest, DisksWithoutRightsSayNoPermissionInsteadOfEmpty) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device and for running as nobody";
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  const std::string dir = testing::MakeTempDir("disk-rights");
  const std::string image = dir + "/card.img";
  {
    testing::FatVolumeBuilder fat(image, 16, 16 << 20);
    fat.AddFile("/a.txt", std::vector<uint8_t>(5000, 'a'));
    (void)fat.Finish();
  }
  std::string why;
  auto loop = testing::LoopDevice::Attach(image, 512, &why);
  if (!loop) GTEST_SKIP() << why;
  struct stat node {};
  ASSERT_EQ(::stat(loop->Path().c_str(), &node), 0);
  if ((node.st_mode & S_IROTH) != 0)
    GTEST_SKIP() << loop->Path() << " is readable by everyone here";

  std::string output;
  int status = 0;
  if (!RunAsNobody("disks --json 2>/dev/null", &output, &status)) {
    GTEST_SKIP() << "cannot run velmora as nobody (setpriv missing, or the build folder is closed "
                    "to other users)";
  }
  ASSERT_EQ(status, 0) << output;
  const auto json = nlohmann::json::parse(output);
  bool seen = false;
  for (const auto& disk : json["disks"]) {
    if (disk["device"] != loop->Path()) continue;
    seen = true;
    EXPECT_FALSE(disk["readable"].get<bool>());
    EXPECT_TRUE(disk["partition_table"].is_null());
    for (const auto& entry : disk["entries"]) {
      EXPECT_TRUE(entry["free"].is_null()) << entry.dump();
      EXPECT_EQ(entry["free_from"], "unknown");
    }
  }
  EXPECT_TRUE(seen) << output;

  ASSERT_TRUE(RunAsNobody("disks", &output, &status));
  EXPECT_EQ(status, 0) << output;
  const size_t row = output.find(loop->Path());
  ASSERT_NE(row, std::string::npos) << output;
  EXPECT_NE(output.find("(no permission)"), std::string::npos) << output;
  EXPECT_EQ(output.find("(whole disk)"), std::string::npos) << output;
  // The advice names the node's real owner and group; root's group is no group to join.
  EXPECT_NE(output.find(loop->Path() + ": permission denied; " + loop->Path() +
                        " belongs to user 'root'"),
            std::string::npos)
      << output;
  if (node.st_gid == 0) {
    EXPECT_EQ(output.find("usermod -aG root"), std::string::npos) << output;
  }

  // The same advice when the device itself is named.
  ASSERT_TRUE(RunAsNobody("scan " + loop->Path(), &output, &status));
  EXPECT_EQ(status, 2) << output;
  EXPECT_NE(output.find("belongs to user 'root'"), std::string::npos) << output;
  loop.reset();
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora
