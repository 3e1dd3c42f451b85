// A copy that failed part way never leaves a file that passes for a recovered one.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
  for (int code : {-1, -100, -102, -103, kCancelledByUser, kErrReadFault, kErrDiskFull,
                   kErrAccessDenied, kErrInvalidParameter, kErrSharingViolation}) {
    const std::string text = DescribeErrorCode(code);
    EXPECT_EQ(text.find("error"), std::string::npos) << code << ": " << text;
    EXPECT_GT(text.size(), 8u) << code;
  }
  EXPECT_NE(DescribeErrorCode(-4242).find("-4242"), std::string::npos);
}

TEST(FailedOutputTest, PermissionAdviceNamesTheWayToAccess) {
  // /dev/null stands for any device node.
  const std::string device = AccessAdvice("/dev/null");
  EXPECT_NE(device.find("permission denied"), std::string::npos);
  EXPECT_NE(device.find("pkexec"), std::string::npos);
  EXPECT_NE(device.find("usermod -aG"), std::string::npos);
  const std::string file = AccessAdvice("/etc/hostname");
  EXPECT_NE(file.find("permission denied"), std::string::npos);
  EXPECT_EQ(file.find("usermod"), std::string::npos);
}

}  // namespace
}  // namespace velmora
