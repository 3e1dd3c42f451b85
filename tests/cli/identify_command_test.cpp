#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/planted_image.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::PlantedImage;

int RunIdentify(const std::string& arguments, std::string* output) {
  return testing::RunCommand(testing::VelmoraBinary() + " identify " + arguments + " 2>/dev/null",
                             output);
}

TEST(IdentifyCommandTest, ReportsTypeExtensionAndLengthAtAnOffset) {
  PlantedImage image(64, 3);
  std::vector<uint8_t> png(1000, 0x42);
  std::memcpy(png.data(), "\x89PNG\r\n\x1A\n", 8);
  std::memcpy(png.data() + 992, "IEND\xAE\x42\x60\x82", 8);
  image.Plant(16, png);
  image.Open();

  std::string output;
  ASSERT_EQ(RunIdentify(image.Path() + " --offset 8192 --json", &output), 0) << output;
  const auto json = nlohmann::json::parse(output);
  EXPECT_EQ(json["type"], 30);
  EXPECT_EQ(json["ext"], "png");
  EXPECT_EQ(json["length"], 1000);

  ASSERT_EQ(RunIdentify(image.Path() + " --offset 8192", &output), 0);
  EXPECT_NE(output.find("png"), std::string::npos);
  EXPECT_NE(output.find("1000"), std::string::npos);
}

TEST(IdentifyCommandTest, LoneFileEndingInsideASectorIsMeasuredToItsEnd) {
  const std::string dir = testing::MakeTempDir("identify-lone");
  std::vector<uint8_t> png(1300, 0x42);
  std::memcpy(png.data(), "\x89PNG\r\n\x1A\n", 8);
  std::memcpy(png.data() + 1292, "IEND\xAE\x42\x60\x82", 8);
  const std::string path = dir + "/picture.png";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png.data()), 1300);
  std::string output;
  ASSERT_EQ(RunIdentify(path + " --json", &output), 0) << output;
  EXPECT_EQ(nlohmann::json::parse(output)["length"], 1300);
  testing::RemoveTree(dir);
}

// The zero-padded copy of a file with a partial last sector never shows up in the
// temporary folder, so a run stopped half way leaves nothing there.
TEST(IdentifyCommandTest, StoppedRunLeavesNoTemporaryCopy) {
  const std::string dir = testing::MakeTempDir("identify-stopped");
  const std::string tmp = dir + "/tmp";
  std::filesystem::create_directory(tmp);
  const std::string path = dir + "/big.png";
  {
    std::ofstream out(path, std::ios::binary);
    out.write("\x89PNG\r\n\x1A\n", 8);
  }
  std::filesystem::resize_file(path, (32u << 20) + 100);  // sparse, ends inside a sector

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::setenv("TMPDIR", tmp.c_str(), 1);
    const std::string binary = testing::VelmoraBinary();
    ::execl(binary.c_str(), binary.c_str(), "identify", path.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  bool seen = false;
  int status = 0;
  const auto stop_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(400);
  while (::waitpid(child, &status, WNOHANG) == 0) {
    seen |= !std::filesystem::is_empty(tmp);
    if (std::chrono::steady_clock::now() > stop_at) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_FALSE(seen);
  EXPECT_TRUE(std::filesystem::is_empty(tmp));
  testing::RemoveTree(dir);
}

TEST(IdentifyCommandTest, NoneForUnknownDataAndUsageErrors) {
  PlantedImage image(8, 3);
  image.Open();
  std::string output;
  EXPECT_EQ(RunIdentify(image.Path(), &output), 1);
  EXPECT_EQ(output, "none\n");
  EXPECT_EQ(RunIdentify(image.Path() + " --offset 100", &output), 2) << "offset inside a sector";
  EXPECT_EQ(RunIdentify(image.Path() + " --offset 1048576", &output), 2) << "past the end";
  EXPECT_EQ(RunIdentify("/nonexistent/file.img", &output), 2);
  EXPECT_EQ(RunIdentify("", &output), 2);
}

}  // namespace
}  // namespace velmora
