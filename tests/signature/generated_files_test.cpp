// Files written by real tools at test time, planted in an image with random data after them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "carve_test_support.h"
#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::PlantedFile;

class GeneratedFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("generated"); }
  void TearDown() override { testing::RemoveTree(dir_); }

  // Runs `command` in the temporary folder and returns the bytes of `output`.
  std::vector<uint8_t> Make(const std::string& command, const std::string& output) {
    std::string log;
    EXPECT_EQ(testing::RunCommand("cd " + dir_ + " && " + command, &log), 0) << log;
    return testing::ReadWholeFile(dir_ + "/" + output);
  }

  void ExpectCarved(const std::vector<uint8_t>& file, int type, bool exact) {
    ASSERT_FALSE(file.empty());
    PlantedFile planted(file);
    CarveResult result;
    ASSERT_EQ(planted.Carve(&result), kSuccess);
    EXPECT_EQ(result.type, type);
    EXPECT_EQ(result.length, exact ? file.size() : planted.BytesToBoundary());
  }

  std::string dir_;
};

TEST_F(GeneratedFilesTest, PicturesFromImageMagick) {
  if (!testing::ToolAvailable("convert")) GTEST_SKIP() << "ImageMagick convert is not installed";
  const std::string picture = "convert -size 160x120 gradient:blue-yellow -seed 4 +noise Gaussian";
  ExpectCarved(Make(picture + " -strip out.jpg", "out.jpg"), 10, true);
  ExpectCarved(Make(picture + " out.png", "out.png"), 30, true);
  ExpectCarved(Make(picture + " out.gif", "out.gif"), 31, true);
  ExpectCarved(Make(picture + " BMP3:out.bmp", "out.bmp"), 29, true);
  ExpectCarved(Make(picture + " -compress none out.tif", "out.tif"), 32, true);
}

TEST_F(GeneratedFilesTest, ArchivesFromSevenZipAndGzip) {
  if (!testing::ToolAvailable("7z") || !testing::ToolAvailable("gzip")) {
    GTEST_SKIP() << "7z and gzip are needed";
  }
  const std::string payload = "head -c 40000 /dev/urandom > data.bin && seq 1 3000 > numbers.txt";
  ExpectCarved(Make(payload + " && 7z a -bd -y out.7z data.bin numbers.txt >/dev/null", "out.7z"),
               34, true);
  // Many files make 7z pack its closing header as well.
  ExpectCarved(Make("mkdir -p many && for i in $(seq 1 60); do seq $i 900 > many/f$i.txt; done && "
                    "7z a -bd -y many.7z many >/dev/null",
                    "many.7z"),
               34, true);
  // The original gzip row wants the extra-flags byte of the best or fastest level; the
  // default level is taken by a row of its own. Both end where the deflate stream ends.
  ExpectCarved(Make(payload + " && gzip -9 -c numbers.txt > out.gz", "out.gz"), 36, true);
  ExpectCarved(Make(payload + " && gzip -c numbers.txt > out6.gz", "out6.gz"), 57, true);
}

}  // namespace
}  // namespace velmora
