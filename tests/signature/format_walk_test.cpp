// Formats measured by walking their own structure: real files made by real tools at test
// time, planted with non-zero data right behind them, and hostile variants of a few.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using Bytes = std::vector<uint8_t>;
using testing::PlantedFile;

// The file planted with random bytes, not zeros, after its end in its last sector: only
// the file's own structure can tell where it ends.
struct NoisyTail {
  explicit NoisyTail(const Bytes& file) : planted(file) {
    const Bytes noise = testing::NoiseBytes(512, 77);
    const size_t tail = file.size() % 512;
    if (tail != 0) {
      uint8_t* last = planted.image.SectorData(PlantedFile::kStart + file.size() / 512);
      std::memcpy(last + tail, noise.data(), 512 - tail);
    }
  }
  CarveResult Carve() {
    CarveResult result;
    EXPECT_EQ(planted.Carve(&result), kSuccess);
    return result;
  }
  PlantedFile planted;
};

class FormatWalkTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("formats"); }
  void TearDown() override { testing::RemoveTree(dir_); }

  Bytes Make(const std::string& command, const std::string& output) {
    std::string log;
    EXPECT_EQ(testing::RunCommand("cd " + dir_ + " && " + command, &log), 0) << log;
    return testing::ReadWholeFile(dir_ + "/" + output);
  }

  void ExpectExact(const Bytes& file, int type, const std::string& extension) {
    ASSERT_FALSE(file.empty()) << extension;
    const CarveResult result = NoisyTail(file).Carve();
    EXPECT_EQ(result.type, type) << extension;
    EXPECT_EQ(result.length, file.size()) << extension;
    EXPECT_NE(result.name.find("." + extension), std::string::npos) << result.name;
  }

  std::string dir_;
};

TEST_F(FormatWalkTest, PicturesEndWhereTheirStructureEnds) {
  if (!testing::ToolAvailable("convert")) GTEST_SKIP() << "ImageMagick convert is not installed";
  const std::string picture = "convert -size 96x64 plasma:fractal -seed 5 ";
  ExpectExact(Make(picture + "out.jpg", "out.jpg"), 10, "jpg");
  ExpectExact(Make(picture + "-colorspace CMYK cmyk.jpg", "cmyk.jpg"), 55, "jpg");
  ExpectExact(Make(picture + "out.png", "out.png"), 30, "png");
  ExpectExact(Make(picture + "out.gif", "out.gif"), 31, "gif");
  ExpectExact(Make(picture + "-compress lzw out.tif", "out.tif"), 32, "tif");
  ExpectExact(Make(picture + "out.psd", "out.psd"), 28, "psd");
  // ImageMagick writes the version 5 header unless told otherwise.
  ExpectExact(Make(picture + "out.bmp", "out.bmp"), 80, "bmp");
  ExpectExact(Make(picture + "out.jp2", "out.jp2"), 78, "jp2");
  ExpectExact(Make(picture + "out.heic", "out.heic"), 75, "heic");
  ExpectExact(Make(picture + "out.avif", "out.avif"), 76, "avif");
}

TEST_F(FormatWalkTest, SoundAndVideoEndWhereTheirStructureEnds) {
  if (!testing::ToolAvailable("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  const std::string tone = "ffmpeg -loglevel error -f lavfi -i sine=frequency=440:duration=1 ";
  ExpectExact(Make(tone + "out.flac", "out.flac"), 81, "flac");
  ExpectExact(Make(tone + "-c:a libvorbis out.ogg", "out.ogg"), 60, "ogg");
  ExpectExact(Make(tone + "-c:a libopus out.opus", "out.opus"), 61, "opus");
  ExpectExact(Make(tone + "out.aiff", "out.aiff"), 59, "aiff");
  ExpectExact(Make(tone + "-c:a aac out.m4a", "out.m4a"), 77, "m4a");
  ExpectExact(Make(tone + "-metadata title=tone out.mp3", "out.mp3"), 12, "mp3");
  ExpectExact(Make(tone + "-id3v2_version 0 -write_xing 0 bare.mp3", "bare.mp3"), 56, "mp3");
  ExpectExact(Make(tone + "-c:a libvorbis -f webm out.webm", "out.webm"), 19, "mkv");
  const std::string video =
      "ffmpeg -loglevel error -f lavfi -i testsrc=duration=1:size=96x64:rate=10 ";
  ExpectExact(Make(video + "-c:v mpeg2video out.mpg", "out.mpg"), 15, "mpeg");
  ExpectExact(Make(video + "-c:v flv out.flv", "out.flv"), 27, "flv");
}

TEST_F(FormatWalkTest, ArchivesAndProgramsEndWhereTheirStructureEnds) {
  for (const char* tool : {"tar", "bzip2", "xz", "zstd", "lzip", "sqlite3", "dpkg-deb"}) {
    if (!testing::ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  const std::string text = "seq 1 9000 > n.txt && ";
  ExpectExact(Make(text + "tar cf out.tar n.txt", "out.tar"), 62, "tar");
  ExpectExact(Make(text + "bzip2 -c n.txt > out.bz2", "out.bz2"), 63, "bz2");
  ExpectExact(Make(text + "xz -c n.txt > out.xz", "out.xz"), 64, "xz");
  ExpectExact(Make(text + "zstd -q -c n.txt > out.zst", "out.zst"), 66, "zst");
  ExpectExact(Make(text + "lzip -c n.txt > out.lz", "out.lz"), 65, "lz");
  ExpectExact(Make("sqlite3 out.db 'create table t(a); insert into t values(1),(2);'", "out.db"),
              39, "db");
  ExpectExact(Make("mkdir -p p/DEBIAN && printf 'Package: x\\nVersion: 1\\nArchitecture: all\\n"
                   "Maintainer: m\\nDescription: d\\n' > p/DEBIAN/control && "
                   "dpkg-deb -b p out.deb >/dev/null",
                   "out.deb"),
              67, "deb");
  ExpectExact(Make("cp /bin/true out.elf", "out.elf"), 68, "elf");
  const std::string rtf = testing::SharedTestData("file-type-fixtures/fixture.rtf");
  if (!rtf.empty()) ExpectExact(testing::ReadWholeFile(rtf), 73, "rtf");
  const std::string otf = testing::SharedTestData("file-type-fixtures/fixture.otf");
  if (!otf.empty()) ExpectExact(testing::ReadWholeFile(otf), 72, "otf");
}

// A zip package whose member's local header falls on a sector boundary is still one file,
// ending at its own end-of-central-directory record.
TEST_F(FormatWalkTest, ZipPackageWithMemberHeaderOnASectorBoundary) {
  if (!testing::ToolAvailable("zip")) GTEST_SKIP() << "zip is not installed";
  // Stored members sized so that the third local header starts at 53 + 30 + 9 + 4516 = 4608.
  const Bytes package = Make(
      "mkdir -p ppt && printf '<x/>' > '[Content_Types].xml' && "
      "head -c 4516 /dev/urandom > ppt/a.bin && head -c 9000 /dev/urandom > ppt/b.bin && "
      "zip -q -0 -X out.pptx '[Content_Types].xml' ppt/a.bin ppt/b.bin",
      "out.pptx");
  ASSERT_FALSE(package.empty());
  bool on_boundary = false;
  for (size_t at = 512; at + 4 <= package.size(); at += 512) {
    on_boundary |= std::memcmp(package.data() + at, "PK\x03\x04", 4) == 0;
  }
  ASSERT_TRUE(on_boundary) << "the member sizes no longer put a header on a sector boundary";
  const CarveResult result = NoisyTail(package).Carve();
  EXPECT_EQ(result.type, 6);
  EXPECT_EQ(result.length, package.size());
}

Bytes RealPng() {
  const std::string path = testing::SharedTestData("file-type-fixtures/fixture.png");
  return path.empty() ? Bytes{} : testing::ReadWholeFile(path);
}

// Damaged structures fall back to the older rule, never to a crash or a length past the cap.
TEST(FormatWalkHostileTest, BrokenStructuresFallBack) {
  const Bytes png = RealPng();
  if (png.empty()) GTEST_SKIP() << "shared test data is absent";
  {
    // Truncated before IEND: ends at the next boundary, as the footer rule does.
    const Bytes truncated(png.begin(), png.begin() + static_cast<long>(png.size() / 2));
    PlantedFile planted(truncated);
    CarveResult result;
    ASSERT_EQ(planted.Carve(&result), kSuccess);
    EXPECT_EQ(result.length, planted.BytesToBoundary());
  }
  {
    // A chunk length that points far past the data: the walk does not trust it.
    Bytes lying = png;
    lying[33] = 0x7F;  // the chunk after IHDR
    PlantedFile planted(lying);
    CarveResult result;
    ASSERT_EQ(planted.Carve(&result), kSuccess);
    EXPECT_LE(result.length, planted.BytesToBoundary());
  }
}

// Offsets that loop back, or point past everything, end the walk with a finite answer.
TEST(FormatWalkHostileTest, TiffLoopsAndWildOffsets) {
  Bytes tiff(1024, 0);
  std::memcpy(tiff.data(), "II\x2A\x00\x08\x00\x00\x00", 8);
  // IFD at 8: one entry (strip offset 600, byte count 100), next IFD = 8 again.
  const uint8_t ifd[] = {2,    0,    0x11, 0x01, 4, 0, 1, 0, 0,   0, 0x58, 0x02,
                         0,    0,                                              // StripOffsets 600
                         0x17, 0x01, 4,    0,    1, 0, 0, 0, 100, 0, 0,    0,  // StripByteCounts
                         8,    0,    0,    0};
  std::memcpy(tiff.data() + 8, ifd, sizeof ifd);
  {
    PlantedFile planted(tiff);
    CarveResult result;
    ASSERT_EQ(planted.Carve(&result), kSuccess);
    EXPECT_EQ(result.type, 32);
    EXPECT_EQ(result.length, 700u);
  }
  {
    // Strip count array pointing 3 GiB away: the file is cut at the source's end.
    Bytes wild = tiff;
    wild[10 + 8 + 3] = 0xC0;  // StripOffsets value 0xC0000258
    PlantedFile planted(wild);
    CarveResult result;
    ASSERT_EQ(planted.Carve(&result), kSuccess);
    EXPECT_LE(result.length, planted.image.SectorCount() * 512);
  }
}

// The first sector of a stream compressed with another tool's magic but garbage behind it.
TEST(FormatWalkHostileTest, CompressedStreamsThatDoNotDecode) {
  Bytes xz(2048, 0x55);
  std::memcpy(xz.data(),
              "\xFD"
              "7zXZ\0\0\x04",
              8);
  PlantedFile planted(xz);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.type, 64);
  EXPECT_EQ(result.length, planted.BytesToBoundary());
}

}  // namespace
}  // namespace velmora
