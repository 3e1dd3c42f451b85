#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "support/content_gen.h"
#include "signature/boundary.h"
#include "signature/formats/format.h"
#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::PlantedFile;
using testing::PlantedImage;
using Bytes = std::vector<uint8_t>;

Bytes JfifHeader() {
  Bytes header(512, 0x11);
  std::memcpy(header.data(), "\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11);
  return header;
}

TEST(TailRuleTest, JpegEndFollowedByDataInItsSectorDoesNotEndTheFile) {
  Bytes jpeg = JfifHeader();
  jpeg[100] = 0xFF;  // an end marker with nonzero bytes behind it
  jpeg[101] = 0xD9;
  Bytes body(5 * 512, 0x11);
  body[4 * 512 + 200] = 0xFF;
  body[4 * 512 + 201] = 0xD9;
  std::memset(body.data() + 4 * 512 + 202, 0, 512 - 202);
  jpeg.insert(jpeg.end(), body.begin(), body.end());
  PlantedFile planted(jpeg);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.length, 5u * 512 + 202);
}

TEST(TailRuleTest, PngEndOnASectorBoundaryEndsTheFileWhateverFollows) {
  Bytes png(4 * 512, 0x22);
  std::memcpy(png.data(), "\x89PNG\r\n\x1A\n", 8);
  std::memcpy(png.data() + 4 * 512 - 8, "IEND\xAE\x42\x60\x82", 8);
  PlantedFile planted(png);
  ASSERT_NE(planted.image.SectorData(PlantedFile::kStart + 4)[0], 0);  // random data follows
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.length, 4u * 512);
}

TEST(TailRuleTest, GifTrailerIsSearchedInTheFirstSectorFirst) {
  Bytes gif(300, 0x33);
  std::memcpy(gif.data(), "GIF89a", 6);
  gif[50] = 0x00;  // trailer followed by data: not the end
  gif[51] = 0x3B;
  gif[298] = 0x00;
  gif[299] = 0x3B;
  PlantedFile planted(gif);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.length, 300u);
}

TEST(ForwardScanTest, MpegPackHeadersInsideTheStreamAreNotBoundaries) {
  Bytes mpeg(512, 0x44);
  std::memcpy(mpeg.data(), "\x00\x00\x01\xBA\x44\x00\x00\x01\xBB", 9);
  Bytes more(6 * 512, 0x44);
  std::memcpy(more.data() + 2 * 512, "\x00\x00\x01\xBA\x44\x00\x00\x01\xBB", 9);  // next pack
  std::memcpy(more.data() + 5 * 512 + 60, "\x00\x00\x01\xB9", 4);
  std::memset(more.data() + 5 * 512 + 64, 0, 512 - 64);
  mpeg.insert(mpeg.end(), more.begin(), more.end());
  PlantedFile planted(mpeg);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.name, "8.mpeg");
  EXPECT_EQ(result.length, 6u * 512 + 64);
}

TEST(ForwardScanTest, EndsAtTheEndOfTheSourceWithAPartialLastChunk) {
  PlantedImage image(50, 8);
  Bytes psd(512, 0);
  std::memcpy(psd.data(), "8BPS", 4);
  image.Plant(10, psd);
  CarveContext context = testing::CarvingContext();
  CarveResult result;
  ASSERT_EQ(IdentifyAndMeasure(context, 512, image.Open(), image.SectorData(10), 512, 10,
                               CarveProgress{}, &result),
            kSuccess);
  EXPECT_EQ(result.length, 40u * 512);
}

TEST(ForwardScanTest, HeaderLengthsPastTheSourceAreCut) {
  Bytes bmp(512, 0);
  std::memcpy(bmp.data(), "BM", 2);
  bmp[2] = 0x00;
  bmp[3] = 0x00;
  bmp[4] = 0x00;
  bmp[5] = 0x05;  // 80 MiB
  bmp[14] = 40;
  PlantedFile planted(bmp);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.uncut_length, 0x05000000u);
  EXPECT_EQ(result.length, (planted.image.SectorCount() - PlantedFile::kStart) * 512);
}

TEST(ForwardScanTest, CapBoundsTheScanOnAnEmptyDisk) {
  // A sparse image of zeros: no boundary anywhere, so only the 128 MiB cap ends a tiff.
  const std::string dir = testing::MakeTempDir("cap");
  const std::string path = dir + "/sparse.img";
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  Bytes tiff(512, 0);
  std::memcpy(tiff.data(), "II\x2A\x00", 4);
  ASSERT_EQ(::pwrite(fd, tiff.data(), tiff.size(), 0), 512);
  ASSERT_EQ(::ftruncate(fd, 130LL * 1024 * 1024), 0);
  ::close(fd);
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, path), kSuccess);
  CarveContext context = testing::CarvingContext();
  CarveResult result;
  ASSERT_EQ(
      IdentifyAndMeasure(context, 512, &reader, tiff.data(), 512, 0, CarveProgress{}, &result),
      kSuccess);
  EXPECT_EQ(result.length, 512u + 128u * 1024 * 1024);
  reader.Close();
  testing::RemoveTree(dir);
}

struct ProgressLog {
  int calls = 0;
  int answer = 0;
  int last_percent = 0;
  uint64_t last_processed = 0;
};

int RecordProgress(void* context, int percent, int, int, uint32_t a_low, uint32_t a_high, uint32_t,
                   uint32_t, uint32_t, uint32_t) {
  auto* log = static_cast<ProgressLog*>(context);
  ++log->calls;
  log->last_percent = percent;
  log->last_processed = (uint64_t{a_high} << 32) | a_low;
  return log->answer;
}

TEST(ForwardScanTest, ProgressIsReportedPerChunkAndCancelIsPassedBack) {
  Bytes psd(512, 0);
  std::memcpy(psd.data(), "8BPS", 4);
  PlantedImage image(400, 12);
  image.Plant(0, psd);
  image.PlantBoundary(300);
  SectorReader* reader = image.Open();

  ProgressLog log;
  CarveContext context = testing::CarvingContext();
  context.progress = RecordProgress;
  context.progress_context = &log;
  CarveResult result;
  const CarveProgress progress{1000, 2000, 5, 3};
  ASSERT_EQ(IdentifyAndMeasure(context, 512, reader, psd.data(), 512, 0, progress, &result),
            kSuccess);
  EXPECT_EQ(result.length, 300u * 512);
  EXPECT_EQ(log.calls, 3);  // three chunks of 128 sectors, the boundary in the third
  EXPECT_EQ(log.last_processed, 1000u + 3 * 128);
  EXPECT_EQ(log.last_percent, static_cast<int>(1384 * 100 / 2000) + 10);

  log = ProgressLog{0, kCancelledByUser};
  EXPECT_EQ(IdentifyAndMeasure(context, 512, reader, psd.data(), 512, 0, progress, &result),
            kCancelledByUser);
  log = ProgressLog{0, 5};
  EXPECT_EQ(IdentifyAndMeasure(context, 512, reader, psd.data(), 512, 0, progress, &result),
            kSuccess);
  EXPECT_EQ(result.length, 512u) << "another stop value ends only the length search";
  EXPECT_EQ(context.stop_code, 5);
}

TEST(BoundaryTest, FileSystemStructuresEndCarvedFiles) {
  CarveContext context = testing::IdentifyingContext();
  Bytes sector(512, 0);
  EXPECT_EQ(IsFileSystemStructure(context, sector.data(), 512), 0);
  std::memcpy(sector.data(), "INDX", 4);
  EXPECT_EQ(IsFileSystemStructure(context, sector.data(), 512), 1);
  std::memcpy(sector.data(), "RSTR", 4);
  EXPECT_EQ(IsFileSystemStructure(context, sector.data(), 512), 0);
  std::memcpy(sector.data() + 300, "N\0T\0F\0S\0", 8);
  EXPECT_EQ(IsFileSystemStructure(context, sector.data(), 512), 1);
  std::memcpy(sector.data(), "\xEB\x58\x90MSWIN4.1", 11);
  EXPECT_EQ(IsFileSystemStructure(context, sector.data(), 512), 1);
  EXPECT_EQ(IsFileSystemStructure(context, sector.data(), 31), 0);
  std::memcpy(sector.data(), "\xEB\x58\x90LINUX4.1", 11);
  EXPECT_EQ(IsFileSystemStructure(context, sector.data(), 512), 0);
}

TEST(BoundaryTest, CursorAdvancesOncePerSectorExamined) {
  CarveContext context = testing::IdentifyingContext();
  context.cursor = 100;
  Bytes chunk(4 * 512, 0x55);
  std::memcpy(chunk.data() + 2 * 512, "FILE0", 5);
  uint64_t length = 512;
  EXPECT_EQ(FindNextBoundary(context, chunk.size(), chunk.data(), &length), 1);
  EXPECT_EQ(length, 512u + 2 * 512);
  EXPECT_EQ(context.cursor, 103u);
  std::memset(chunk.data() + 2 * 512, 0x55, 5);
  EXPECT_EQ(FindNextBoundary(context, chunk.size(), chunk.data(), &length), 0);
  EXPECT_EQ(context.cursor, 107u);
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

TEST(CutAtStructureTest, LooksOnlyFromTheFirstSectorNotYetSeen) {
  // A 20-sector file from sector 10 with an index block in its sector 5 (absolute 15).
  PlantedImage image(64, 31);
  std::memcpy(image.SectorData(15), "INDX(", 5);
  CarveContext context = testing::CarvingContext();
  context.source = image.Open();
  context.start_sector = 10;
  context.cursor = 10;
  const uint64_t measured = 20 * 512 - 100;
  EXPECT_EQ(formats::CutAtFileSystemStructure(context, measured), 5u * 512);
  // Exactly at the structure it is still seen; one past it, it was vouched for already.
  EXPECT_EQ(formats::CutAtFileSystemStructure(context, measured, 15), 5u * 512);
  EXPECT_EQ(formats::CutAtFileSystemStructure(context, measured, 16), measured);
  EXPECT_EQ(context.start_sector, 10u);
  // From the file's end on there is nothing left to look at.
  EXPECT_EQ(formats::CutAtFileSystemStructure(context, measured, 30), measured);
}

// A file measured ahead on another thread is carved exactly as one measured in place, and the
// carving takes the answer given ahead instead of measuring again.
TEST(MeasuredAheadTest, CarvingTakesTheAnswerMeasuredAhead) {
  testing::PlantedFile planted(testing::SampleContent("jpg", 40000, 5));
  CarveResult in_place;
  ASSERT_EQ(planted.Carve(&in_place), kSuccess);

  CarveContext ahead_context = testing::CarvingContext();
  MeasuredAhead ahead;
  ASSERT_TRUE(MeasureAhead(ahead_context, testing::PlantedImage::kSectorSize, planted.image.Open(),
                           planted.image.SectorData(testing::PlantedFile::kStart),
                           testing::PlantedImage::kSectorSize, testing::PlantedFile::kStart,
                           &ahead));
  EXPECT_EQ(ahead.sector, testing::PlantedFile::kStart);
  EXPECT_EQ(ahead.type, in_place.type);
  EXPECT_EQ(ahead.measured, in_place.uncut_length);

  CarveContext context = testing::CarvingContext();
  context.ahead = &ahead;
  context.ahead_count = 1;
  CarveResult taken;
  ASSERT_EQ(planted.Carve(&taken, &context), kSuccess);
  EXPECT_EQ(taken.name, in_place.name);
  EXPECT_EQ(taken.length, in_place.length);
  // It is the answer given ahead that counts.
  ahead.measured = 3 * 512;
  ASSERT_EQ(planted.Carve(&taken, &context), kSuccess);
  EXPECT_EQ(taken.length, 3u * 512);
  // An answer for another type (the sector changed kind) is not taken.
  ahead.type = in_place.type + 1;
  ASSERT_EQ(planted.Carve(&taken, &context), kSuccess);
  EXPECT_EQ(taken.length, in_place.length);
  // Nor is one for the sector after.
  ahead.type = in_place.type;
  ahead.sector = testing::PlantedFile::kStart + 1;
  ASSERT_EQ(planted.Carve(&taken, &context), kSuccess);
  EXPECT_EQ(taken.length, in_place.length);

  // "Nothing starts here", found ahead, is not looked at again.
  const uint8_t nothing[2] = {0, 1};
  context.ahead_count = 0;
  context.nothing_ahead = nothing;
  context.ahead_first_sector = testing::PlantedFile::kStart - 1;
  context.ahead_sectors = 2;
  EXPECT_EQ(planted.Carve(&taken, &context), kNothingCarved);
  context.ahead_sectors = 1;  // the file's sector lies one past the flags
  EXPECT_EQ(planted.Carve(&taken, &context), kSuccess);
}

TEST(MeasuredAheadTest, RandomSectorsAreNothingAndStreamsAreLeftToThePass) {
  testing::PlantedImage image(64, 3);
  CarveContext context = testing::CarvingContext();
  MeasuredAhead ahead;
  EXPECT_FALSE(MeasureAhead(context, 512, image.Open(), image.SectorData(20), 512, 20, &ahead));
  EXPECT_EQ(ahead.type, kNoSignatureType);
  // A transport stream is measured against the streams carved before it: not ahead.
  std::vector<uint8_t> stream(188 * 40, 0x11);
  for (size_t p = 0; p < 40; ++p) stream[p * 188] = 0x47;
  testing::PlantedFile planted(stream);
  EXPECT_FALSE(MeasureAhead(context, 512, planted.image.Open(),
                            planted.image.SectorData(testing::PlantedFile::kStart), 512,
                            testing::PlantedFile::kStart, &ahead));
  EXPECT_EQ(ahead.type, 20);
}

}  // namespace
}  // namespace velmora
