#include "signature/formats/registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::PlantedFile;
using testing::PlantedImage;
using Bytes = std::vector<uint8_t>;

void Put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// A compound-file header with the given counts; compound sectors follow as the caller adds them.
Bytes CompoundHeader(uint16_t shift, uint32_t fat_sectors, uint32_t first_difat,
                     uint32_t difat_sectors) {
  Bytes file(size_t{1} << shift, 0);
  std::memcpy(file.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
  Put16(file.data() + 26, shift == 12 ? 4 : 3);
  Put16(file.data() + 28, 0xFFFE);
  Put16(file.data() + 30, shift);
  Put16(file.data() + 32, 6);
  Put32(file.data() + 44, fat_sectors);
  Put32(file.data() + 48, 1);  // first directory sector
  Put32(file.data() + 60, 0xFFFFFFFE);
  Put32(file.data() + 68, first_difat);
  Put32(file.data() + 72, difat_sectors);
  for (int i = 0; i < 109; ++i) Put32(file.data() + 76 + 4 * i, 0xFFFFFFFF);
  return file;
}

TEST(CompoundFileProbeTest, DifatChainThatLoopsEndsWithADefinedLength) {
  // 200 FAT sectors need DIFAT sectors; the first one names itself as the next.
  Bytes file = CompoundHeader(9, 200, 0, 3);
  for (int i = 0; i < 109; ++i) Put32(file.data() + 76 + 4 * i, 10 + i);
  Bytes difat(512, 0);
  for (int i = 0; i < 127; ++i) Put32(difat.data() + 4 * i, 200 + i);
  Put32(difat.data() + 4 * 127, 0);  // loops back to compound sector 0
  file.insert(file.end(), difat.begin(), difat.end());

  PlantedFile planted(file);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.type, 2);
  // No last FAT sector: (200 × 128 + 1) sectors, cut at the end of the image.
  EXPECT_EQ(result.uncut_length, (200u * 128 + 1) * 512);
  EXPECT_EQ(result.length, (planted.image.SectorCount() - PlantedFile::kStart) * 512);
}

TEST(CompoundFileProbeTest, FatCountBeyondTheHeaderSlotsWithoutDifatIsNotAHeaderLength) {
  // 150 FAT sectors cannot all be listed in the header's 109 slots.
  PlantedFile planted(CompoundHeader(9, 150, 0xFFFFFFFE, 0));
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.length, planted.BytesToBoundary());
}

TEST(CompoundFileProbeTest, FourKilobyteSectorsAreCountedInTheirOwnUnit) {
  // Header sector, one FAT sector (compound sector 0) and four data sectors of 4096 bytes.
  Bytes file = CompoundHeader(12, 1, 0xFFFFFFFE, 0);
  Put32(file.data() + 76, 0);
  Bytes fat(4096, 0xFF);
  Put32(fat.data(), 0xFFFFFFFD);
  for (uint32_t i = 1; i <= 4; ++i) Put32(fat.data() + 4 * i, i < 4 ? i + 1 : 0xFFFFFFFE);
  file.insert(file.end(), fat.begin(), fat.end());
  const Bytes data = testing::NoiseBytes(4 * 4096, 77);
  file.insert(file.end(), data.begin(), data.end());

  PlantedFile planted(file);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.length, file.size());
}

TEST(CompoundFileProbeTest, ClassifiesByMarkerOrDirectoryEntryName) {
  Bytes word = CompoundHeader(9, 1, 0xFFFFFFFE, 0);
  Bytes marker(512, 0);
  Put16(marker.data(), 0xA5EC);
  word.insert(word.end(), marker.begin(), marker.end());
  PlantedFile doc(word);
  CarveResult result;
  doc.Carve(&result);
  EXPECT_EQ(result.type, 0);

  // Unknown root class, but a "PowerPoint Document" stream in the first directory sector.
  Bytes slides = CompoundHeader(9, 1, 0xFFFFFFFE, 0);
  Bytes sector0(512, 0);
  Bytes directory(512, 0);
  const std::u16string name = u"PowerPoint Document";
  for (size_t i = 0; i < name.size(); ++i) Put16(directory.data() + 128 + 2 * i, name[i]);
  slides.insert(slides.end(), sector0.begin(), sector0.end());
  slides.insert(slides.end(), directory.begin(), directory.end());
  PlantedFile ppt(slides);
  ppt.Carve(&result);
  EXPECT_EQ(result.type, 5);
  EXPECT_EQ(result.name, "8.ppt");
}

TEST(CompoundFileProbeTest, UnreadableFollowingSectorsGiveTheOtherKind) {
  Bytes header = CompoundHeader(9, 1, 0xFFFFFFFE, 0);
  CarveContext context = testing::IdentifyingContext();
  EXPECT_EQ(formats::kOtherCompound.identify(context, header.data(), header.size()),
            2);  // no source at all
  PlantedImage image(4, 1);
  image.Plant(3, header);
  context.source = image.Open();
  context.cursor = 3;  // the last sector: nothing after it
  EXPECT_EQ(formats::kOtherCompound.identify(context, header.data(), header.size()), 2);
}

// Writes a stream of transport packets (sync byte, nonzero PID) with random payloads.
Bytes TransportStream(size_t packets, uint32_t seed) {
  Bytes stream = testing::NoiseBytes(packets * 188, seed);
  for (size_t p = 0; p < packets; ++p) {
    stream[p * 188] = 0x47;
    stream[p * 188 + 1] = 0x01;
    for (size_t i = 1; i < 188; ++i) {
      if (stream[p * 188 + i] == 0x47) stream[p * 188 + i] = 0x48;
    }
  }
  return stream;
}

TEST(TransportStreamProbeTest, RunOfPacketsGivesTheLength) {
  const Bytes stream = TransportStream(300, 4);
  PlantedFile planted(stream);
  CarveContext context = testing::CarvingContext();
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result, &context), kSuccess);
  EXPECT_EQ(result.type, 20);
  EXPECT_EQ(result.length, stream.size());
  ASSERT_EQ(context.ts_ranges.size(), 1u);
  EXPECT_EQ(context.ts_ranges[0].first_sector, PlantedFile::kStart);
  EXPECT_EQ(context.ts_ranges[0].last_sector,
            PlantedFile::kStart + (stream.size() + 511) / 512 - 1);

  // Sector 47 of the stream begins with a packet (47 × 512 = 128 × 188). In continuation
  // mode it is recognised as the middle of the stream already carved.
  const uint64_t inner = PlantedFile::kStart + 47;
  SectorReader* reader = planted.image.Open();
  EXPECT_EQ(IdentifyAndMeasure(context, 512, reader, planted.image.SectorData(inner), 512, inner,
                               CarveProgress{}, &result),
            kNothingCarved);
  // A fresh scan without that history takes it for a stream start.
  CarveContext fresh = testing::CarvingContext();
  EXPECT_EQ(IdentifyAndMeasure(fresh, 512, reader, planted.image.SectorData(inner), 512, inner,
                               CarveProgress{}, &result),
            kSuccess);
  EXPECT_EQ(result.type, 20);
}

TEST(TransportStreamProbeTest, TwentyOnePacketsAreNotEnough) {
  PlantedFile planted(TransportStream(21, 5));
  CarveResult result;
  EXPECT_EQ(planted.Carve(&result), kNothingCarved);
  PlantedFile enough(TransportStream(22, 5));
  EXPECT_EQ(enough.Carve(&result), kSuccess);
  EXPECT_EQ(result.length, 22u * 188);
}

Bytes Icon(size_t images, bool back_to_back) {
  const size_t directory_end = 6 + 16 * images;
  Bytes icon(directory_end, 0);
  Put16(icon.data() + 2, 1);
  Put16(icon.data() + 4, static_cast<uint16_t>(images));
  uint32_t offset = static_cast<uint32_t>(directory_end);
  for (size_t i = 0; i < images; ++i) {
    uint8_t* entry = icon.data() + 6 + 16 * i;
    entry[0] = entry[1] = 16;
    const uint32_t size = 200 + static_cast<uint32_t>(i);
    Put32(entry + 8, size);
    Put32(entry + 12, offset + (back_to_back || i < 5 ? 0 : 2));
    offset += size;
  }
  const Bytes pixels = testing::NoiseBytes(offset - directory_end, 6);
  icon.insert(icon.end(), pixels.begin(), pixels.end());
  return icon;
}

TEST(IconProbeTest, BackToBackImagesGiveTheLength) {
  const Bytes icon = Icon(12, true);
  PlantedFile planted(icon);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.type, 46);
  EXPECT_EQ(result.length, icon.size());

  PlantedFile gaps(Icon(12, false));
  EXPECT_EQ(gaps.Carve(&result), kNothingCarved);
}

TEST(IconProbeTest, DirectoryLargerThanTheBufferIsReadFromTheSource) {
  const Bytes icon = Icon(40, true);  // 646-byte directory, larger than one sector
  CarveContext context = testing::IdentifyingContext();
  EXPECT_EQ(formats::kIcon.identify(context, icon.data(), 512), kNoSignatureType);

  PlantedImage image(200, 2);
  image.Plant(10, icon);
  context.source = image.Open();
  context.sector_size = 512;
  context.start_sector = 10;
  EXPECT_EQ(formats::kIcon.length(context, image.SectorData(10), 512), icon.size());
  // Too close to the end for the 64 KiB read: one sector.
  PlantedImage small(40, 2);
  small.Plant(10, icon);
  context.source = small.Open();
  EXPECT_EQ(formats::kIcon.length(context, small.SectorData(10), 512), 512u);
}

TEST(TrueTypeProbeTest, DirectoryMustFitTheBuffer) {
  Bytes font(512, 0);
  std::memcpy(font.data(), "\x00\x01\x00\x00", 4);
  font[5] = 40;  // 40 tables: 652 bytes of directory
  font[6] = font[8] = font[10] = 1;
  CarveContext context = testing::IdentifyingContext();
  EXPECT_EQ(formats::kTrueTypeClassic.identify(context, font.data(), font.size()),
            kNoSignatureType);
  EXPECT_EQ(formats::kTrueTypeClassic.length(context, font.data(), font.size()), 0u);
}

class ZipPackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ToolAvailable("zip")) GTEST_SKIP() << "zip is not installed";
    dir_ = testing::MakeTempDir("zip-package");
  }
  void TearDown() override {
    if (!dir_.empty()) testing::RemoveTree(dir_);
  }
  // Zips the given part names (each holding some text) into one archive.
  Bytes MakeZip(const std::vector<std::string>& parts, const std::string& options = "") {
    std::string command = "cd " + dir_ + " && rm -rf tree out.zip && mkdir tree && cd tree";
    for (const std::string& part : parts) {
      command += " && mkdir -p \"$(dirname '" + part + "')\" && head -c 3000 /dev/urandom > '" +
                 part + "'";
    }
    command += " && zip -q -X " + options + " ../out.zip";
    for (const std::string& part : parts) command += " '" + part + "'";
    EXPECT_EQ(testing::RunCommand(command), 0);
    return testing::ReadWholeFile(dir_ + "/out.zip");
  }
  std::string dir_;
};

TEST_F(ZipPackageTest, PartNamesDecideThePackageKind) {
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{"[Content_Types].xml", "word/document.xml"}, 1},
      {{"[Content_Types].xml", "xl/workbook.xml"}, 4},
      {{"[Content_Types].xml", "ppt/presentation.xml"}, 6},
      {{"readme.txt", "docs/notes.txt"}, 35}};
  for (const auto& [parts, type] : cases) {
    const Bytes zip = MakeZip(parts);
    PlantedFile planted(zip);
    CarveResult result;
    ASSERT_EQ(planted.Carve(&result), kSuccess);
    EXPECT_EQ(result.type, type) << parts[1];
    EXPECT_EQ(result.length, zip.size()) << parts[1];
  }
}

TEST_F(ZipPackageTest, ArchiveCommentBelongsToTheFile) {
  const Bytes zip = MakeZip({"a.txt", "b.txt"}, "-z < /dev/null");
  std::string with_comment = "cd " + dir_ + " && echo 'archive comment text' | zip -q -z out.zip";
  ASSERT_EQ(testing::RunCommand(with_comment), 0);
  const Bytes commented = testing::ReadWholeFile(dir_ + "/out.zip");
  ASSERT_GT(commented.size(), zip.size());
  PlantedFile planted(commented);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.length, commented.size());
}

TEST_F(ZipPackageTest, EndRecordOfTheNextArchiveIsNotTaken) {
  const Bytes first = MakeZip({"one.txt", "two.txt"});
  const Bytes second = MakeZip({"three.txt"});
  PlantedFile planted(first);
  planted.image.Plant(PlantedFile::kStart + (first.size() + 511) / 512, second);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.length, first.size());
}

TEST_F(ZipPackageTest, ArchiveSmallerThanASectorEndsInItsFirstSector) {
  std::string command = "cd " + dir_ + " && printf 'hi' > t.txt && zip -q -X small.zip t.txt";
  ASSERT_EQ(testing::RunCommand(command), 0);
  const Bytes zip = testing::ReadWholeFile(dir_ + "/small.zip");
  ASSERT_LT(zip.size(), 512u);
  PlantedFile planted(zip);
  CarveResult result;
  ASSERT_EQ(planted.Carve(&result), kSuccess);
  EXPECT_EQ(result.type, 35);
  EXPECT_EQ(result.length, zip.size());
}

}  // namespace
}  // namespace velmora
