// `velmora scan --deep`: Ctrl-C saves the state, the next run resumes, --fresh starts
// over, and list/recover serve the saved result without scanning.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "support/test_env.h"

namespace velmora {
namespace {

class DeepScanCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("deep-cli");
    image_ = dir_ + "/disk.img";
    // A large sparse image (cheap to make, slow enough to interrupt) with one PNG in it.
    const std::string png = testing::SharedTestData("file-type-fixtures/fixture.png");
    std::string command = "truncate -s 2G '" + image_ + "'";
    if (!png.empty()) {
      command += " && dd if='" + png + "' of='" + image_ +
                 "' bs=512 seek=2000000 conv=notrunc status=none";
    }
    ASSERT_EQ(testing::RunCommand(command), 0);
    has_png_ = !png.empty();
  }
  void TearDown() override { testing::RemoveTree(dir_); }

  // Runs `velmora ARGS`; stdout and stderr go to files whose text is returned.
  int Run(const std::string& args, std::string* out, std::string* err) {
    const int status = testing::RunCommand("(" + testing::VelmoraBinary() + " " + args + " > '" +
                                           dir_ + "/out.txt' 2> '" + dir_ + "/err.txt')");
    *out = Slurp(dir_ + "/out.txt");
    *err = Slurp(dir_ + "/err.txt");
    return status;
  }

  static std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // Starts a deep scan and sends SIGINT once its first progress line appeared.
  int RunInterrupted(std::string* out, std::string* err) {
    const std::string out_path = dir_ + "/out.txt";
    const std::string err_path = dir_ + "/err.txt";
    const pid_t child = ::fork();
    if (child == 0) {
      FILE* o = std::freopen(out_path.c_str(), "w", stdout);
      FILE* e = std::freopen(err_path.c_str(), "w", stderr);
      (void)o;
      (void)e;
      ::execl(testing::VelmoraBinary().c_str(), "velmora", "scan", image_.c_str(), "--deep",
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 2000 && Slurp(err_path).find("sectors") == std::string::npos; ++i) {
      ::usleep(1000);
    }
    ::kill(child, SIGINT);
    int status = 0;
    ::waitpid(child, &status, 0);
    *out = Slurp(out_path);
    *err = Slurp(err_path);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  testing::ScopedDataDir data_;
  std::string dir_;
  std::string image_;
  bool has_png_ = false;
};

TEST_F(DeepScanCommandTest, InterruptSavesResumeContinuesFreshStartsOver) {
  std::string out;
  std::string err;
  const int stopped = RunInterrupted(&out, &err);
  if (out.find("state is saved") == std::string::npos) {
    GTEST_SKIP() << "the scan finished before the interrupt arrived: " << out;
  }
  EXPECT_EQ(stopped, 1) << out << err;  // partial result
  EXPECT_NE(err.find("files found"), std::string::npos) << err;
  EXPECT_NE(err.find("left"), std::string::npos) << err;

  ASSERT_EQ(Run("scan '" + image_ + "' --deep --json", &out, &err), 0) << out << err;
  EXPECT_NE(err.find("Resuming the saved deep scan"), std::string::npos) << err;
  auto json = nlohmann::json::parse(out, nullptr, false);
  ASSERT_TRUE(json.is_object()) << out;
  EXPECT_TRUE(json["resumed"].get<bool>());
  EXPECT_TRUE(json["complete"].get<bool>());
  EXPECT_EQ(json["unreadable_sectors"], 0);
  if (has_png_) {
    EXPECT_EQ(json["categories"]["photo"], 1);
  }

  // list and recover use the saved result; nothing is scanned again.
  ASSERT_EQ(Run("list '" + image_ + "' --deep --json", &out, &err), 0) << err;
  EXPECT_EQ(err.find("deep scan"), std::string::npos) << err;
  json = nlohmann::json::parse(out, nullptr, false);
  ASSERT_TRUE(json.is_array()) << out;
  if (has_png_) {
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0]["name"], "2000000.png");
    ASSERT_EQ(Run("recover '" + image_ + "' --deep --to '" + dir_ + "/got'", &out, &err), 0)
        << out << err;
    const std::string png = testing::SharedTestData("file-type-fixtures/fixture.png");
    EXPECT_EQ(Slurp(dir_ + "/got/photo/2000000.png"), Slurp(png));
  }

  ASSERT_EQ(Run("scan '" + image_ + "' --deep --fresh --json", &out, &err), 0) << err;
  EXPECT_EQ(err.find("Resuming"), std::string::npos) << err;
  json = nlohmann::json::parse(out, nullptr, false);
  ASSERT_TRUE(json.is_object()) << out;
  EXPECT_FALSE(json["resumed"].get<bool>());
  EXPECT_TRUE(json["complete"].get<bool>());
}

}  // namespace
}  // namespace velmora
