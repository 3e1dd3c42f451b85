#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>

#include "support/document_files.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora {
namespace {

class PreviewCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat and mtools are needed";
    dir_ = testing::MakeTempDir("preview-command");
    testing::DocumentFiles files(dir_ + "/made");
    const std::string picture = files.Picture("p.png", 40, 30);
    if (picture.empty()) GTEST_SKIP() << "ImageMagick is needed";
    image_ = dir_ + "/fat.img";
    testing::FatVolumeBuilder fat(image_, 16, 32 << 20);
    fat.AddFile("/Status report.docx",
                testing::ReadWholeFile(files.Docx("r.docx", {"All systems nominal"})));
    fat.AddFile("/Camera shot.png", testing::ReadWholeFile(picture));
    fat.AddFile("/Escape codes.txt", testing::ReadWholeFile(files.Text("e.txt",
                                                                       "A\x1b]0;t\x07"
                                                                       "B\x9b")));
    fat.Delete("/Escape codes.txt");
    fat.Delete("/Status report.docx");
    fat.Delete("/Camera shot.png");
    fat.Finish();
    std::string listing;
    ASSERT_EQ(Run("list " + image_ + " --quick --json", &listing), 0) << listing;
    for (const auto& entry : nlohmann::json::parse(listing)) {
      ids_[entry["name"].get<std::string>()] = std::to_string(entry["id"].get<uint64_t>());
    }
  }
  void TearDown() override {
    if (!dir_.empty()) testing::RemoveTree(dir_);
  }

  int Run(const std::string& arguments, std::string* output) {
    return testing::RunCommand(testing::VelmoraBinary() + " " + arguments + " 2>/dev/null", output);
  }

  testing::ScopedDataDir data_;
  std::string dir_;
  std::string image_;
  std::map<std::string, std::string> ids_;
};

TEST_F(PreviewCommandTest, PrintsTextAndWritesPictures) {
  std::string output;
  ASSERT_EQ(Run("preview " + image_ + " --quick --id " + ids_.at("Status report.docx"), &output),
            0);
  EXPECT_EQ(output, "All systems nominal\n");

  // Raw text reaches the terminal without its control characters.
  ASSERT_EQ(Run("preview " + image_ + " --id " + ids_.at("Escape codes.txt"), &output), 0);
  EXPECT_EQ(output, "A.]0;t.B.\r\n");

  const std::string png = dir_ + "/shot.png";
  ASSERT_EQ(
      Run("preview " + image_ + " --id " + ids_.at("Camera shot.png") + " --to " + png, &output), 0)
      << output;
  EXPECT_EQ(output, "Picture 40 x 30 written to " + png + "\n");
  ASSERT_EQ(testing::RunCommand("/usr/bin/identify -format '%m %wx%h' " + png, &output), 0);
  EXPECT_EQ(output, "PNG 40x30");
}

TEST_F(PreviewCommandTest, UsageErrorsAndTheSourceIsNeverWritten) {
  std::string output;
  EXPECT_EQ(Run("preview " + image_, &output), 2);
  EXPECT_EQ(Run("preview " + image_ + " --id x1", &output), 2);
  EXPECT_EQ(Run("preview " + image_ + " --id 999999", &output), 2);
  EXPECT_EQ(Run("preview " + image_ + " --id 1 --quick --deep", &output), 2);
  const std::vector<uint8_t> before = testing::ReadWholeFile(image_);
  EXPECT_EQ(
      Run("preview " + image_ + " --id " + ids_.at("Camera shot.png") + " --to " + image_, &output),
      2);
  EXPECT_EQ(testing::ReadWholeFile(image_), before);
}

// The preview lives in a module beside the program; a program copied without it says so.
TEST(PreviewModuleTest, AProgramWithoutItsModuleExplainsAndFails) {
  const std::string dir = testing::MakeTempDir("preview-module");
  ASSERT_EQ(testing::RunCommand("cp " + testing::ShellQuote(testing::VelmoraBinary()) + " " +
                                testing::ShellQuote(dir + "/velmora")),
            0);
  std::string output;
  EXPECT_EQ(testing::RunCommand(
                testing::ShellQuote(dir + "/velmora") + " preview x.img --id 1 2>&1", &output),
            2);
  EXPECT_NE(output.find("the preview module cannot be loaded"), std::string::npos) << output;
  // Every other command runs without it.
  EXPECT_EQ(testing::RunCommand(testing::ShellQuote(dir + "/velmora") + " --version", &output), 0);
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

// A found file named like the saved-scan index must not replace or remove it.
TEST(PreviewCommandFilesTest, FoundFileNamedLikeTheScanIndexLeavesItAlone) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat and mtools are needed";
  testing::ScopedDataDir data;
  const std::string dir = testing::MakeTempDir("preview-config");
  const std::string image = dir + "/fat.img";
  ASSERT_EQ(testing::RunCommand("cd " + testing::ShellQuote(dir) +
                                " && printf 'found text\\n' > config && truncate -s 16M fat.img && "
                                "mkfs.fat -F 16 fat.img && mmd -i fat.img ::sub && "
                                "mcopy -i fat.img config ::sub/config && mkfs.fat -F 16 fat.img"),
            0);
  std::string output;
  ASSERT_EQ(
      testing::RunCommand(
          testing::VelmoraBinary() + " list " + image + " --deep --json 2>/dev/null", &output),
      0);
  std::string id;
  for (const auto& entry : nlohmann::json::parse(output)) {
    if (entry["name"] == "config") id = std::to_string(entry["id"].get<uint64_t>());
  }
  ASSERT_FALSE(id.empty()) << output;
  const std::string index = data.Path() + "/ScanLog/config";
  const std::vector<uint8_t> before = testing::ReadWholeFile(index);
  ASSERT_FALSE(before.empty());
  ASSERT_EQ(testing::RunCommand(testing::VelmoraBinary() + " preview " + image + " --deep --id " +
                                    id + " 2>/dev/null",
                                &output),
            0);
  EXPECT_EQ(output, "found text\n\r\n");
  EXPECT_EQ(testing::ReadWholeFile(index), before);
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora
