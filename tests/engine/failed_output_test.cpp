// A copy that failed part way never leaves a file that passes for a recovered one.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "engine/recovery_output.h"
#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

TEST(FailedOutputTest, UselessFilesGoReadPartsAreKeptUnderATellingName) {
  const std::string dir = testing::MakeTempDir("failed-output");
  auto make = [&](const std::string& name, size_t bytes) {
    std::ofstream(dir + "/" + name) << std::string(bytes, 'x');
    return dir + "/" + name;
  };
  std::string kept;
  SettleFailedOutput(make("empty.jpg", 0), kErrReadFault, &kept);
  EXPECT_TRUE(kept.empty());
  EXPECT_FALSE(fs::exists(dir + "/empty.jpg"));

  for (int error : {kErrDiskFull, kErrWriteFault, kCancelledByUser}) {
    SettleFailedOutput(make("cut.jpg", 100), error, &kept);
    EXPECT_TRUE(kept.empty());
    EXPECT_FALSE(fs::exists(dir + "/cut.jpg")) << error;
  }

  make("photo.jpg.partial", 1);  // an earlier one is never replaced
  SettleFailedOutput(make("photo.jpg", 100), kErrReadFault, &kept);
  EXPECT_EQ(kept, dir + "/photo.jpg(1).partial");
  EXPECT_FALSE(fs::exists(dir + "/photo.jpg"));
  EXPECT_EQ(fs::file_size(kept), 100u);

  fs::create_directory(dir + "/folder");  // a recovered folder is left alone
  SettleFailedOutput(dir + "/folder", kErrReadFault, &kept);
  EXPECT_TRUE(fs::is_directory(dir + "/folder"));
  testing::RemoveTree(dir);
}

TEST(FailedOutputTest, EveryCodeAUserCanMeetHasASentence) {
  for (int code : {kCancelledByUser, kErrReadFault, kErrDiskFull, kErrAccessDenied,
                   kErrInvalidParameter, kErrSharingViolation}) {
    const std::string text = DescribeErrorCode(code);
    EXPECT_EQ(text.find("error"), std::string::npos) << code << ": " << text;
    EXPECT_GT(text.size(), 8u) << code;
  }
  EXPECT_NE(DescribeErrorCode(-4242).find("-4242"), std::string::npos);
}

TEST(FailedOutputTest, PermissionAdviceNamesTheWayToAccess) {
  const std::string file = AccessAdvice("/etc/hostname");
  EXPECT_NE(file.find("permission denied"), std::string::npos);
  EXPECT_EQ(file.find("usermod"), std::string::npos);
  if (::geteuid() != 0) GTEST_SKIP() << "making device nodes needs root";
  // Device nodes as udev leaves them: the advice names the node's own owner and group.
  const std::string dir = testing::MakeTempDir("access-advice");
  const std::string shared = dir + "/shared", private_node = dir + "/private";
  ASSERT_EQ(::mknod(shared.c_str(), S_IFBLK | 0660, makedev(7, 250)), 0);
  ASSERT_EQ(::chown(shared.c_str(), 0, 6), 0);  // group 6 is "disk" on Debian
  ASSERT_EQ(::chmod(shared.c_str(), 0660), 0);  // past the umask
  ASSERT_EQ(::mknod(private_node.c_str(), S_IFBLK | 0600, makedev(7, 251)), 0);
  const struct group* disk_group = ::getgrgid(6);
  const std::string group = disk_group ? disk_group->gr_name : "6";
  const std::string advice = AccessAdvice(shared);
  EXPECT_NE(advice.find("user 'root' and group '" + group + "' (brw-rw----)"), std::string::npos)
      << advice;
  EXPECT_NE(advice.find("sudo usermod -aG " + group + " $USER"), std::string::npos) << advice;
  EXPECT_NE(advice.find("pkexec"), std::string::npos);
  // Only root may read it: joining its group (root's own) would not help and is not advised.
  const std::string closed = AccessAdvice(private_node);
  EXPECT_NE(closed.find("group 'root' (brw-------)"), std::string::npos) << closed;
  EXPECT_EQ(closed.find("usermod"), std::string::npos) << closed;
  EXPECT_NE(closed.find("sudo or pkexec"), std::string::npos) << closed;
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora
