// Real files of every carved format, planted in an image with unrelated data after them.
#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::PlantedFile;

enum class Expect { kExactSize, kToBoundary, kValue };

struct FixtureCase {
  const char* path;  // under the shared test data
  int type;
  const char* extension;
  Expect expect;
  uint64_t value = 0;  // for kValue
};

void PrintTo(const FixtureCase& c, std::ostream* out) { *out << c.path; }

std::string CaseName(const ::testing::TestParamInfo<FixtureCase>& info) {
  std::string name = info.param.path;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

class FixtureCarving : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(FixtureCarving, IdentifiesAndMeasures) {
  const FixtureCase& c = GetParam();
  const std::string path = testing::SharedTestData(c.path);
  if (path.empty()) GTEST_SKIP() << "shared test data " << c.path << " is not present";
  PlantedFile planted(testing::ReadWholeFile(path));
  ASSERT_FALSE(planted.data.empty());

  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.type, c.type);
  EXPECT_EQ(result.name, std::to_string(PlantedFile::kStart) + "." + c.extension);
  switch (c.expect) {
    case Expect::kExactSize: EXPECT_EQ(result.length, planted.data.size()); break;
    case Expect::kToBoundary: EXPECT_EQ(result.length, planted.BytesToBoundary()); break;
    case Expect::kValue: EXPECT_EQ(result.length, c.value); break;
  }
}

// Header sizes, footers under the tail rule, zip end records and compound FATs know the
// exact size.
INSTANTIATE_TEST_SUITE_P(
    ExactLength, FixtureCarving,
    ::testing::Values(
        FixtureCase{"file-type-fixtures/fixture.avi", 22, "avi", Expect::kExactSize},
        // A camera picture: the EXIF thumbnail's end-of-image marker comes first and is
        // followed by data; the picture's own marker, with a clear sector tail, ends it.
        FixtureCase{"file-type-fixtures/fixture.jpg", 10, "jpg", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.wav", 21, "wav", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.bmp", 29, "bmp", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.asf", 24, "wmv", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.wma.asf", 24, "wmv", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.wmv.asf", 24, "wmv", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.doc.cfb", 0, "doc", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture-2.doc.cfb", 0, "doc", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.xls.cfb", 3, "xls", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.ppt.cfb", 5, "ppt", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.msi.cfb", 2, "ole", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.docx", 1, "docx", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.xlsx", 4, "xlsx", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.pptx", 6, "pptx", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture-office365.docx", 1, "docx", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.zip", 35, "zip", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture2.zip", 35, "zip", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.png", 30, "png", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.gif", 31, "gif", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.ico", 46, "ico", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.mid", 13, "mid", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.mp3", 12, "mp3", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.rar", 37, "rar", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.7z", 34, "7z", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.pdf", 8, "pdf", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture-fast-web.pdf", 8, "pdf", Expect::kExactSize},
        FixtureCase{"small-files/AudioVideoInterleave.avi", 22, "avi", Expect::kExactSize},
        FixtureCase{"small-files/gif.gif", 31, "gif", Expect::kExactSize},
        FixtureCase{"small-files/png-transparent.png", 30, "png", Expect::kExactSize},
        // Box chains from the file-type box to the last top-level box.
        FixtureCase{"file-type-fixtures/fixture.mov", 17, "mov", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.3gp", 16, "3gp", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture2.3gp", 16, "3gp", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture-imovie.mp4", 18, "mp4", Expect::kExactSize},
        FixtureCase{"small-files/Mpeg4.mp4", 18, "mp4", Expect::kExactSize},
        FixtureCase{"small-files/mp4-with-audio.mp4", 18, "mp4", Expect::kExactSize},
        // EBML header plus a Segment of known size.
        FixtureCase{"file-type-fixtures/fixture.mkv", 19, "mkv", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.webm", 19, "mkv", Expect::kExactSize},
        FixtureCase{"small-files/webm.webm", 19, "mkv", Expect::kExactSize},
        // Measured by walking their own structures.
        FixtureCase{"file-type-fixtures/fixture.flv", 27, "flv", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.psd", 28, "psd", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture.sqlite", 39, "db", Expect::kExactSize},
        FixtureCase{"file-type-fixtures/fixture-bali.tif", 32, "tif", Expect::kExactSize}),
    CaseName);

// Formats whose rule ends at the next new file or file-system structure.
INSTANTIATE_TEST_SUITE_P(ToNextBoundary, FixtureCarving,
                         ::testing::Values(FixtureCase{"file-type-fixtures/fixture-sample.pst", 38,
                                                       "pst", Expect::kToBoundary}),
                         CaseName);

// Documented header values that differ from the file's size.
INSTANTIATE_TEST_SUITE_P(
    HeaderValue, FixtureCarving,
    ::testing::Values(
        // The cabinet header's size field is smaller than the fixture (trailing data).
        FixtureCase{"file-type-fixtures/fixture.cab", 33, "cab", Expect::kValue, 132866},
        // Photoshop writes two zero bytes after the last IFD that nothing in the file points at.
        FixtureCase{"file-type-fixtures/fixture-little-endian.tif", 32, "tif", Expect::kValue,
                    103674},
        FixtureCase{"file-type-fixtures/fixture-big-endian.tif", 32, "tif", Expect::kValue, 107262},
        // No "%%EOF": the file ends after its last "trailer" keyword.
        FixtureCase{"small-files/pdf.pdf", 8, "pdf", Expect::kValue, 114}),
    CaseName);

TEST(FixtureCarvingTest, ProgramsEndFilesButAreNeverCarved) {
  const std::string path = testing::SharedTestData("file-type-fixtures/fixture.exe");
  if (path.empty()) GTEST_SKIP() << "shared test data is not present";
  PlantedFile planted(testing::ReadWholeFile(path));
  CarveResult result;
  EXPECT_EQ(planted.Carve(&result), kNothingCarved);
  EXPECT_EQ(result.type, 41);
  EXPECT_TRUE(result.name.empty());
}

TEST(FixtureCarvingTest, TrueTypeFontWhoseFirstTableFollowsTheDirectoryDirectly) {
  // The recognition wants the first table's version word (00 01 00 00) right after the
  // table directory; the fixture keeps its 'head' table elsewhere, so the font is
  // rebuilt with 'head' first, its other tables and directory unchanged.
  const std::string path = testing::SharedTestData("file-type-fixtures/fixture.ttf");
  if (path.empty()) GTEST_SKIP() << "shared test data is not present";
  const std::vector<uint8_t> font = testing::ReadWholeFile(path);
  const auto be32 = [&](size_t at) {
    return (uint32_t{font[at]} << 24) | (uint32_t{font[at + 1]} << 16) |
           (uint32_t{font[at + 2]} << 8) | font[at + 3];
  };
  const size_t tables = (font[4] << 8) | font[5];
  const size_t directory_end = 12 + 16 * tables;
  std::vector<size_t> order;
  for (size_t i = 0; i < tables; ++i) {
    if (std::memcmp(&font[12 + 16 * i], "head", 4) == 0)
      order.insert(order.begin(), i);
    else
      order.push_back(i);
  }
  std::vector<uint8_t> rebuilt(font.begin(), font.begin() + directory_end);
  for (size_t i : order) {
    const uint32_t offset = be32(12 + 16 * i + 8);
    const uint32_t length = be32(12 + 16 * i + 12);
    const uint32_t new_offset = static_cast<uint32_t>(rebuilt.size());
    for (int k = 0; k < 4; ++k)
      rebuilt[12 + 16 * i + 8 + k] = static_cast<uint8_t>(new_offset >> (24 - 8 * k));
    rebuilt.insert(rebuilt.end(), font.begin() + offset, font.begin() + offset + length);
    while (rebuilt.size() % 4 != 0) rebuilt.push_back(0);
  }
  const uint32_t last_length = be32(12 + 16 * order.back() + 12);
  const uint64_t tables_end = rebuilt.size() - ((4 - last_length % 4) % 4);

  PlantedFile planted(rebuilt);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.type, 45);
  EXPECT_EQ(result.length, tables_end) << "largest table offset + length";

  // As fonts really are, the original row declines it and the font row takes it whole.
  PlantedFile original(font);
  ASSERT_EQ(original.Carve(&result), kSuccess);
  EXPECT_EQ(result.type, 71);
  EXPECT_EQ(result.length, font.size());
}

}  // namespace
}  // namespace velmora
