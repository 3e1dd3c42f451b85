// The signature engine on planted images: what a carve records, how far the walker
// skips, and that recovery and preview give the carved bytes back.
#include "signature/file_type_recovery.h"
#include "signature/signature_catalogue.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "storage/error_codes.h"
#include "support/content_gen.h"
#include "support/planted_image.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::PlantedImage;

std::vector<uint8_t> FileBytes(const std::string& path) { return testing::ReadWholeFile(path); }

class FileTypeRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScanIndex::ResetInstance();
    out_dir_ = testing::MakeTempDir("carve-out");
  }
  void TearDown() override {
    ScanIndex::ResetInstance();
    testing::RemoveTree(out_dir_);
  }

  // Opens the engine on `image` with a new log in a new scan folder.
  void OpenOn(PlantedImage& image) {
    SectorReader* reader = image.Open();
    ASSERT_NE(reader, nullptr);
    ScanIndex::Instance().NewScanFolder();
    ASSERT_EQ(engine_.OpenImage(image.Path(), u'Z'), kSuccess);
  }

  int Carve(PlantedImage& image, uint64_t sector, uint64_t* skip, uint64_t* found) {
    SectorReader reader;
    EXPECT_EQ(OpenImageFile(&reader, image.Path()), kSuccess);
    return engine_.CarveSectorAt(512, image.SectorData(sector), 512, sector, 0, image.SectorCount(),
                                 -1, &reader, skip, found);
  }

  testing::ScopedDataDir data_dir_;
  std::string out_dir_;
  CFileTypeRecovery engine_;
};

TEST_F(FileTypeRecoveryTest, CarvedJpegIsRecordedAndSkippedWhole) {
  PlantedImage image(200, 3);
  const auto jpeg = testing::SampleContent("jpg", 10000, 5);
  image.Plant(40, jpeg);
  OpenOn(image);

  uint64_t skip = 7;
  uint64_t found = 3;
  ASSERT_EQ(Carve(image, 40, &skip, &found), kSuccess);
  EXPECT_EQ(skip, 20u);  // ceil(10000 / 512)
  EXPECT_EQ(found, 4u);
  ASSERT_EQ(engine_.GetRecordCount(), 1u);

  ScanRecordList records;
  ASSERT_EQ(engine_.GetChildren(nullptr, 0, &records), kSuccess);
  ASSERT_EQ(records.size(), 1u);
  const ScanRecord& r = records[0];
  EXPECT_EQ(r.drive_tag, u'Z');
  EXPECT_EQ(r.source_kind, kSourceSignature);
  EXPECT_EQ(r.is_directory, 0u);
  EXPECT_EQ(r.content_check, 1u);
  EXPECT_EQ(r.record_index, 1u);
  EXPECT_EQ(r.object_id, 0u);
  EXPECT_EQ(r.cluster_size, -1);
  EXPECT_EQ(r.size, jpeg.size());
  EXPECT_EQ(r.location, 40u);
  EXPECT_EQ(r.created, 0u);
  EXPECT_EQ(r.partition_start, 0u);
  EXPECT_EQ(RecordName(r), "40.jpg");

  int count = 0;
  EXPECT_EQ(engine_.CountFiles(nullptr, 0, &count), kSuccess);
  EXPECT_EQ(count, 1);
}

TEST_F(FileTypeRecoveryTest, HeaderLengthTypesSkipOneSectorAndUnknownSectorsNothing) {
  PlantedImage image(200, 4);
  image.Plant(10, testing::SampleContent("bmp", 6000, 1));
  std::vector<uint8_t> exe(512, 0);
  exe[0] = 'M';
  exe[1] = 'Z';
  exe[60] = 0x80;
  std::memcpy(exe.data() + 0x80, "PE\0\0", 4);
  exe[0x80 + 22] = 0x02;
  image.Plant(100, exe);
  OpenOn(image);

  uint64_t skip = 0;
  uint64_t found = 0;
  ASSERT_EQ(Carve(image, 10, &skip, &found), kSuccess);
  EXPECT_EQ(skip, 1u);  // the bmp's size field is not trusted to skip its sectors

  skip = 5;
  EXPECT_EQ(Carve(image, 100, &skip, &found), kNothingCarved);  // exe: a boundary only
  EXPECT_EQ(skip, 5u);
  EXPECT_EQ(Carve(image, 150, &skip, &found), kNothingCarved);  // random data
  EXPECT_EQ(found, 1u);
  EXPECT_EQ(engine_.GetRecordCount(), 1u);
}

TEST_F(FileTypeRecoveryTest, CarvedFileIsCutAtTheEndOfTheSource) {
  PlantedImage image(120, 5);
  // A JPEG whose end lies past the end of the region the engine may read.
  const auto jpeg = testing::SampleContent("jpg", 30000, 2);
  image.Plant(60, jpeg);
  OpenOn(image);
  engine_.SetSourceEnd(80);  // the partition ends 20 sectors after the file's start

  uint64_t skip = 0;
  uint64_t found = 0;
  ASSERT_EQ(Carve(image, 60, &skip, &found), kSuccess);
  ScanRecordList records;
  engine_.GetChildren(nullptr, 0, &records);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].size, 20u * 512);
  EXPECT_EQ(skip, 20u);

  const std::string target = out_dir_ + "/cut.jpg";
  ASSERT_EQ(engine_.RecoverFile(records[0], target, 0), kSuccess);
  const auto copied = FileBytes(target);
  ASSERT_EQ(copied.size(), 20u * 512);
  EXPECT_EQ(0, std::memcmp(copied.data(), jpeg.data(), copied.size()));
}

TEST_F(FileTypeRecoveryTest, RecoverFileWritesExactlyTheCarvedBytes) {
  PlantedImage image(100, 6);
  const auto png = testing::SampleContent("png", 1000, 9);
  image.Plant(30, png);
  OpenOn(image);
  uint64_t skip = 0;
  uint64_t found = 0;
  ASSERT_EQ(Carve(image, 30, &skip, &found), kSuccess);
  ScanRecordList records;
  engine_.GetFilesByType("*.png|", &records);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].size, 1000u);

  struct Progress {
    int calls = 0;
    int last_percent = -1;
    int last_error = 0;
  } progress;
  engine_.SetScanCallback(
      nullptr,
      [](void* context, int percent, int, int error, const char*) {
        auto* p = static_cast<Progress*>(context);
        ++p->calls;
        p->last_percent = percent;
        p->last_error = error;
        return 0;
      },
      &progress, 100);
  const std::string target = out_dir_ + "/sub/dir/30.png";
  ASSERT_EQ(engine_.RecoverFile(records[0], target, 0), kSuccess);
  EXPECT_EQ(FileBytes(target), png);
  EXPECT_EQ(progress.last_percent, 100);
  EXPECT_EQ(progress.last_error, 0);

  // An existing destination is never overwritten.
  const std::string again = out_dir_ + "/sub/dir/30.png";
  ASSERT_EQ(engine_.RecoverFile(records[0], again, 0), kSuccess);
  EXPECT_EQ(FileBytes(out_dir_ + "/sub/dir/30(1).png"), png);
}

// A file written in two pieces with `gap` foreign sectors between, the first piece `cut` bytes
// long: its own offsets (and a CRC or a stream that inflates to its end) place the second
// piece, the walker goes on into the foreign sectors, the second piece is never carved again,
// and the copy leaves the gap out.
void ExpectBackWhole(CFileTypeRecovery& engine, const std::string& out_dir,
                     const std::vector<uint8_t>& file, size_t cut, const std::string& filter,
                     uint64_t gap = 12) {
  ASSERT_GT(file.size(), cut);
  const uint64_t first_sectors = cut / 512;
  PlantedImage image(40 + file.size() / 512 + 60 + gap, 12);
  image.Plant(10, std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(cut)));
  image.Plant(10 + first_sectors + gap,
              std::vector<uint8_t>(file.begin() + static_cast<long>(cut), file.end()));
  SectorReader* reader = image.Open();
  ASSERT_NE(reader, nullptr);
  ScanIndex::Instance().NewScanFolder();
  ASSERT_EQ(engine.OpenImage(image.Path(), u'Z'), kSuccess);
  SectorReader source;
  ASSERT_EQ(OpenImageFile(&source, image.Path()), kSuccess);
  const auto carve = [&](uint64_t sector, uint64_t* skip) {
    uint64_t found = 0;
    return engine.CarveSectorAt(512, image.SectorData(sector), 512, sector, 0, image.SectorCount(),
                                -1, &source, skip, &found);
  };
  uint64_t skip = 0;
  ASSERT_EQ(carve(10, &skip), kSuccess) << filter;
  EXPECT_EQ(skip, first_sectors);
  uint64_t again = 0;
  EXPECT_EQ(carve(10 + first_sectors + gap, &again), kErrInvalidParameter);
  ScanRecordList records;
  engine.GetFilesByType(filter, &records);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].size, file.size());
  const std::string target = out_dir + "/" + std::to_string(cut) + "-" + std::to_string(gap) + "-" +
                             std::to_string(file.size()) + filter.substr(1, 4);
  ASSERT_EQ(engine.RecoverFile(records[0], target, 0), kSuccess);
  EXPECT_EQ(FileBytes(target), file) << filter;
}

TEST_F(FileTypeRecoveryTest, ZipInTwoPiecesComesBackWhole) {
  if (!testing::ToolAvailable("zip")) GTEST_SKIP() << "zip is not installed";
  for (const char* stored : {"", "-0"}) {
    const std::string dir = testing::MakeTempDir("pieces");
    ASSERT_EQ(testing::RunCommand("cd " + dir +
                                  " && seq 1 9000 > a.txt && "
                                  "head -c 20000 /dev/urandom > b.bin && seq 7 5000 > c.txt && "
                                  "zip -q -X " +
                                  std::string(stored) + " t.zip a.txt b.bin c.txt"),
              0);
    const std::vector<uint8_t> zip = FileBytes(dir + "/t.zip");
    testing::RemoveTree(dir);
    ExpectBackWhole(engine_, out_dir_, zip, 40 * 512, "*.zip|");  // inside b.bin
  }
}

TEST_F(FileTypeRecoveryTest, PdfInTwoPiecesComesBackWhole) {
  if (!testing::ToolAvailable("soffice")) GTEST_SKIP() << "LibreOffice is not installed";
  const std::string dir = testing::MakeTempDir("pieces");
  ASSERT_EQ(testing::RunCommand("cd " + dir +
                                " && seq 1 2500 > n.txt && "
                                "soffice --headless --convert-to pdf n.txt >/dev/null 2>&1"),
            0);
  const std::vector<uint8_t> pdf = FileBytes(dir + "/n.pdf");
  testing::RemoveTree(dir);
  ASSERT_GT(pdf.size(), 20000u);
  // Between objects, inside a deflated page, late in the file.
  for (size_t cut :
       {pdf.size() / 5 / 512 * 512, pdf.size() / 2 / 512 * 512, pdf.size() * 4 / 5 / 512 * 512}) {
    ExpectBackWhole(engine_, out_dir_, pdf, cut, "*.pdf|");
  }
}

// A clip made by ffmpeg with its movie box after the media data, or first (faststart).
std::vector<uint8_t> MakeClip(const std::string& extension, bool faststart) {
  const std::string dir = testing::MakeTempDir("clip");
  const int made = testing::RunCommand(
      "cd " + dir +
      " && ffmpeg -loglevel error -f lavfi -i testsrc=duration=3:size=192x128:rate=12"
      " -f lavfi -i sine=frequency=330:duration=3 -c:v libx264 -c:a aac " +
      (faststart ? "-movflags +faststart " : "") + "out." + extension);
  std::vector<uint8_t> clip =
      made == 0 ? FileBytes(dir + "/out." + extension) : std::vector<uint8_t>{};
  testing::RemoveTree(dir);
  return clip;
}

TEST_F(FileTypeRecoveryTest, MovieInTwoPiecesComesBackWhole) {
  if (!testing::ToolAvailable("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed";
  for (bool faststart : {false, true}) {
    for (const char* extension : {"mp4", "mov"}) {
      const std::vector<uint8_t> clip = MakeClip(extension, faststart);
      ASSERT_GT(clip.size(), 20000u);
      const std::string filter = std::string("*.") + extension + "|";
      // Inside the media data, early and late; one foreign sector, and many.
      for (size_t cut : {clip.size() / 3 / 512 * 512, clip.size() * 3 / 4 / 512 * 512}) {
        for (uint64_t gap : {1, 300}) {
          SCOPED_TRACE(filter + " faststart " + std::to_string(faststart) + " cut " +
                       std::to_string(cut) + " gap " + std::to_string(gap));
          ScanIndex::ResetInstance();
          CFileTypeRecovery engine;
          ExpectBackWhole(engine, out_dir_ + (faststart ? "/fast" : "/slow"), clip, cut, filter,
                          gap);
        }
      }
    }
  }
}

TEST_F(FileTypeRecoveryTest, JpegInTwoPiecesComesBackWhole) {
  if (!testing::ToolAvailable("convert")) GTEST_SKIP() << "ImageMagick is not installed";
  int made = 0;
  for (const char* options : {"", "-sampling-factor 1x1 -quality 97", "-colorspace Gray"}) {
    const std::string dir = testing::MakeTempDir("picture");
    ASSERT_EQ(
        testing::RunCommand("cd " + dir + " && convert -size 480x320 plasma:fractal -seed 5 " +
                            options + " p.jpg"),
        0);
    const std::vector<uint8_t> picture = FileBytes(dir + "/p.jpg");
    testing::RemoveTree(dir);
    ASSERT_GT(picture.size(), 20000u);
    for (size_t cut : {picture.size() / 4 / 512 * 512, picture.size() * 2 / 3 / 512 * 512}) {
      for (uint64_t gap : {1, 200}) {
        SCOPED_TRACE(std::string(options) + " cut " + std::to_string(cut) + " gap " +
                     std::to_string(gap));
        ScanIndex::ResetInstance();
        CFileTypeRecovery engine;
        ExpectBackWhole(engine, out_dir_ + "/" + std::to_string(made), picture, cut, "*.jpg|", gap);
      }
    }
    ++made;
  }
}

// Planted in two pieces with 7 foreign sectors between, the first `cut` bytes long: carved as
// one piece, whatever length the old rules give.
void ExpectNotJoined(const std::vector<uint8_t>& file, size_t cut) {
  PlantedImage image(40 + file.size() / 512 + 80, 5);
  image.Plant(10, std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(cut)));
  image.Plant(10 + cut / 512 + 7,
              std::vector<uint8_t>(file.begin() + static_cast<long>(cut), file.end()));
  ASSERT_NE(image.Open(), nullptr);
  SectorReader source;
  ASSERT_EQ(OpenImageFile(&source, image.Path()), kSuccess);
  CarveContext context = CarveContext::ForMeasuring();
  CarveResult result;
  ASSERT_EQ(IdentifyAndMeasure(context, 512, &source, image.SectorData(10), 512, 10, {}, &result),
            kSuccess);
  EXPECT_EQ(result.gap_bytes, 0u);
  EXPECT_EQ(result.first_piece_bytes, 0u);
  EXPECT_TRUE(context.second_pieces.empty());
}

// Damaged files in two pieces are never joined: the second piece cut short, chunk tables that
// lie or point past the end, a picture whose frame promises more MCUs than its data holds.
TEST(PiecesTest, DamagedFilesAreNotJoined) {
  if (!testing::ToolAvailable("ffmpeg") || !testing::ToolAvailable("convert")) {
    GTEST_SKIP() << "ffmpeg or ImageMagick is not installed";
  }
  for (bool faststart : {false, true}) {
    std::vector<uint8_t> clip = MakeClip("mp4", faststart);
    ASSERT_GT(clip.size(), 20000u);
    const size_t cut = clip.size() / 2 / 512 * 512;
    const std::string_view text(reinterpret_cast<const char*>(clip.data()), clip.size());
    const size_t table = text.find("stco");
    ASSERT_NE(table, std::string_view::npos);
    ExpectNotJoined(std::vector<uint8_t>(clip.begin(), clip.end() - 9000), cut);
    for (uint32_t lie : {0xFFFFFF00u, 0u, 16u}) {  // past the end, before the data, overlapping
      std::vector<uint8_t> changed = clip;
      for (size_t entry = table + 12; entry < table + 12 + 4 * 3; entry += 4) {
        for (int i = 0; i < 4; ++i) changed[entry + i] = static_cast<uint8_t>(lie >> (24 - 8 * i));
      }
      ExpectNotJoined(changed, cut);
    }
    // A chunk table whose entry count runs far past the box.
    clip[table + 8] = 0x7F;
    ExpectNotJoined(clip, cut);
  }
  const std::string dir = testing::MakeTempDir("picture");
  ASSERT_EQ(
      testing::RunCommand("cd " + dir + " && convert -size 480x320 plasma:fractal -seed 9 p.jpg"),
      0);
  std::vector<uint8_t> picture = FileBytes(dir + "/p.jpg");
  testing::RemoveTree(dir);
  const size_t cut = picture.size() / 2 / 512 * 512;
  ExpectNotJoined(std::vector<uint8_t>(picture.begin(), picture.end() - 3000), cut);
  const std::string_view text(reinterpret_cast<const char*>(picture.data()), picture.size());
  const size_t frame = text.find("\xFF\xC0");
  const size_t table = text.find("\xFF\xC4");
  ASSERT_NE(frame, std::string_view::npos);
  ASSERT_NE(table, std::string_view::npos);
  std::vector<uint8_t> overfull = picture;
  overfull[table + 5] = 3;  // three one-bit codes: more than a prefix code can hold
  ExpectNotJoined(overfull, cut);
  picture[frame + 5] += 1;  // 256 rows more than the data holds
  ExpectNotJoined(picture, cut);
}

TEST_F(FileTypeRecoveryTest, RecoverFileReportsReadFaultForALocationPastTheSource) {
  PlantedImage image(50, 7);
  OpenOn(image);
  ScanRecord record{};
  record.source_kind = kSourceSignature;
  record.location = 1000;
  record.size = 4096;
  SetRecordName(&record, "1000.jpg");
  EXPECT_EQ(engine_.RecoverFile(record, out_dir_ + "/x.jpg", 0), kErrReadFault);
}

TEST_F(FileTypeRecoveryTest, ListingOnlyAnswersForTheRoot) {
  PlantedImage image(100, 8);
  image.Plant(20, testing::SampleContent("gif", 3000, 1));
  OpenOn(image);
  uint64_t skip = 0;
  uint64_t found = 0;
  ASSERT_EQ(Carve(image, 20, &skip, &found), kSuccess);
  ScanRecordList records;
  engine_.GetChildren(nullptr, 0, &records);
  ASSERT_EQ(records.size(), 1u);
  ScanRecordList children = {records[0]};
  EXPECT_EQ(engine_.GetChildren(&records[0], 1, &children), 0);
  EXPECT_EQ(children.size(), 1u);  // untouched
  int count = 42;
  EXPECT_EQ(engine_.CountFiles(&records[0], 1, &count), 0);
  EXPECT_EQ(count, 42);
  std::string path = "unchanged";
  EXPECT_EQ(engine_.GetFullPath(records[0], &path), 0);
}

TEST_F(FileTypeRecoveryTest, PreviewGoesToNamedFileTemporaryMediaFileOrMemory) {
  PlantedImage image(400, 9);
  const auto pdf = testing::SampleContent("pdf", 3000, 1);
  const auto jpeg = testing::SampleContent("jpg", 5000, 2);
  image.Plant(20, pdf);
  image.Plant(100, jpeg);
  std::vector<uint8_t> sqlite(2048, 0x11);
  std::memcpy(sqlite.data(), "SQLite format 3\0", 16);
  image.Plant(200, sqlite);
  image.PlantBoundary(204);
  OpenOn(image);
  uint64_t skip = 0;
  uint64_t found = 0;
  ASSERT_EQ(Carve(image, 20, &skip, &found), kSuccess);
  ASSERT_EQ(Carve(image, 100, &skip, &found), kSuccess);
  ASSERT_EQ(Carve(image, 200, &skip, &found), kSuccess);
  ScanRecordList records;
  engine_.GetChildren(nullptr, 0, &records);
  ASSERT_EQ(records.size(), 3u);
  std::sort(records.begin(), records.end(),
            [](const ScanRecord& a, const ScanRecord& b) { return a.location < b.location; });

  std::string path;
  ASSERT_EQ(engine_.PreviewFile(records[0], &path, nullptr, nullptr, nullptr, nullptr), kSuccess);
  EXPECT_EQ(path, ScanLogDirectory() + "/20.pdf");
  EXPECT_EQ(FileBytes(path), pdf);

  ASSERT_EQ(engine_.PreviewFile(records[1], &path, nullptr, nullptr, nullptr, nullptr), kSuccess);
  EXPECT_EQ(path, ScanLogDirectory() + "/tmp.jpg");
  EXPECT_EQ(FileBytes(path), jpeg);

  std::vector<uint8_t> memory(1000, 0);
  int bytes = static_cast<int>(memory.size());
  path.clear();
  ASSERT_EQ(engine_.PreviewFile(records[2], &path, memory.data(), &bytes, nullptr, nullptr),
            kSuccess);
  EXPECT_EQ(bytes, 1000);  // only as much as fits
  EXPECT_EQ(0, std::memcmp(memory.data(), sqlite.data(), 1000));
  EXPECT_TRUE(path.empty());
}

TEST_F(FileTypeRecoveryTest, DropRecordsFromRemovesTheTailAndKeepsIndicesConsistent) {
  PlantedImage image(400, 10);
  for (uint64_t sector : {10u, 100u, 200u, 300u}) {
    image.Plant(sector, testing::SampleContent("png", 2000, sector));
  }
  OpenOn(image);
  uint64_t skip = 0;
  uint64_t found = 0;
  for (uint64_t sector : {10u, 100u, 200u, 300u}) {
    ASSERT_EQ(Carve(image, sector, &skip, &found), kSuccess);
  }
  ASSERT_EQ(engine_.DropRecordsFrom(200), kSuccess);
  EXPECT_EQ(engine_.GetRecordCount(), 2u);
  ScanRecordList records;
  engine_.GetChildren(nullptr, 0, &records);
  ASSERT_EQ(records.size(), 2u);
  // New records continue the numbering after the kept ones.
  ASSERT_EQ(Carve(image, 300, &skip, &found), kSuccess);
  records.clear();
  engine_.GetChildren(nullptr, 0, &records);
  ASSERT_EQ(records.size(), 3u);
  std::vector<uint32_t> indices;
  for (const auto& r : records) indices.push_back(r.record_index);
  std::sort(indices.begin(), indices.end());
  EXPECT_EQ(indices, (std::vector<uint32_t>{1, 2, 3}));
}

}  // namespace
}  // namespace velmora
