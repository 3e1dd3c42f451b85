// A scan whose result log cannot be written fails and says why, rather than
// reporting a result that lost records.
#include <gtest/gtest.h>

#include "support/test_env.h"

namespace velmora {
namespace {

class ScanLogFullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("logfull");
    image_ = dir_ + "/f.img";
    std::string files;
    for (int i = 1; i <= 6; ++i) files += " " + dir_ + "/h" + std::to_string(i) + ".txt";
    ASSERT_EQ(testing::RunCommand("cd " + dir_ +
                                  " && for i in 1 2 3 4 5 6; do echo hello$i > h$i.txt; done"
                                  " && truncate -s 4M f.img && mkfs.fat -F 12 f.img >/dev/null"
                                  " && mcopy -i f.img" +
                                  files +
                                  " ::/"
                                  " && mdel -i f.img ::/h1.txt ::/h2.txt ::/h3.txt ::/h4.txt"),
              0);
  }
  void TearDown() override { testing::RemoveTree(dir_); }

  // Runs a scan allowed to write files of at most one 512-byte block: the index fits,
  // a log of four records does not. The signal is ignored so writes fail instead.
  int ScanWithTinyFiles(const std::string& mode, std::string* output) {
    return testing::RunCommand("trap '' XFSZ; ulimit -f 1; " + testing::VelmoraBinary() + " scan " +
                                   image_ + " " + mode + " 2>&1",
                               output);
  }

  testing::ScopedDataDir data_;
  std::string dir_;
  std::string image_;
};

TEST_F(ScanLogFullTest, QuickAndDeepScansFailWithTheReason) {
  for (const char* mode : {"--quick", "--deep"}) {
    std::string output;
    EXPECT_EQ(ScanWithTinyFiles(mode, &output), 2) << mode << ": " << output;
    EXPECT_NE(output.find("failed: the destination disk is full"), std::string::npos)
        << mode << ": " << output;
  }
  std::string output;
  EXPECT_EQ(testing::RunCommand(testing::VelmoraBinary() + " scan " + image_ + " --quick", &output),
            0)
      << "the same scan with room succeeds: " << output;
}

}  // namespace
}  // namespace velmora
