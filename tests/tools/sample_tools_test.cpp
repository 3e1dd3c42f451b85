#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"
#include "tools/recovery_check.h"
#include "tools/sample_media.h"
#include "tools/sample_sets.h"

namespace velmora::tools {
namespace {

using testing::MakeTempDir;
using testing::RemoveTree;

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t at) {
  return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24;
}

uint32_t Be32(const std::vector<uint8_t>& bytes, size_t at) {
  return uint32_t(bytes[at]) << 24 | bytes[at + 1] << 16 | bytes[at + 2] << 8 | bytes[at + 3];
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

const SampleFile* FindFile(const SampleImage& image, const std::string& path) {
  for (const auto& file : image.files) {
    if (file.path == path) return &file;
  }
  return nullptr;
}

TEST(SampleMedia, ContainersSpanExactlyTheRequestedSize) {
  const auto mp4 = Mp4Sample(10000, 1);
  ASSERT_EQ(mp4.size(), 10000u);
  size_t at = 0;
  std::vector<std::string> boxes;
  while (at + 8 <= mp4.size()) {
    boxes.emplace_back(reinterpret_cast<const char*>(&mp4[at + 4]), 4);
    ASSERT_GE(Be32(mp4, at), 8u);
    at += Be32(mp4, at);
  }
  EXPECT_EQ(at, mp4.size());
  EXPECT_EQ(boxes, (std::vector<std::string>{"ftyp", "moov", "mdat"}));

  for (const auto& riff : {AviSample(20000, 2), WavSample(5000, 3)}) {
    EXPECT_EQ(std::string(riff.begin(), riff.begin() + 4), "RIFF");
    EXPECT_EQ(Le32(riff, 4) + 8, riff.size());
  }
  const auto avi = AviSample(20000, 2);
  // Walk the movi list: its chunks end exactly at the end of the file.
  size_t movi = 12 + 8 + Le32(avi, 16);
  ASSERT_EQ(std::string(avi.begin() + movi, avi.begin() + movi + 4), "LIST");
  EXPECT_EQ(movi + 8 + Le32(avi, movi + 4), avi.size());
  for (at = movi + 12; at + 8 <= avi.size(); at += 8 + Le32(avi, at + 4)) {
    EXPECT_EQ(std::string(avi.begin() + at, avi.begin() + at + 4), "00dc");
  }
  EXPECT_EQ(at, avi.size());
  EXPECT_THROW(AviSample(1001, 1), std::invalid_argument);
}

TEST(RecoveryCheck, CountsByDigestNameAndLeftovers) {
  const std::string dir = MakeTempDir("recovery-check");
  const auto photo = testing::SampleContent("jpg", 5000, 1);
  const auto paper = testing::SampleContent("pdf", 4000, 2);
  const auto live = testing::RandomText(3000, 3);
  SampleImage image;
  image.files = {
      {"/a/photo.jpg", "photo.jpg", photo.size(), testing::Md5Hex(photo), true, true, "photo"},
      {"/a/paper.pdf", "paper.pdf", paper.size(), testing::Md5Hex(paper), true, true, "document"},
      {"/live.txt", "live.txt", live.size(), testing::Md5Hex(live), false, true, "document"},
      {"/gone.bin", "gone.bin", 10, "00", true, false, "others"}};
  WriteFile(dir + "/out/photo/photo(1).jpg", photo);
  WriteFile(dir + "/out/f0001.jpg", photo);
  WriteFile(dir + "/out/document/paper.pdf", testing::RandomBytes(4000, 9));
  WriteFile(dir + "/out/live.txt", live);
  WriteFile(dir + "/out/junk.dat", testing::RandomBytes(100, 10));
  WriteFile(dir + "/out/report.xml", testing::RandomBytes(100, 11));

  const RecoveryCheck check = CheckRecovery(image, dir + "/out");
  EXPECT_EQ(check.expected, 2u);
  EXPECT_EQ(check.exact, 1u);
  EXPECT_EQ(check.names_kept, 1u);
  EXPECT_EQ(check.wrong_content, 1u);
  EXPECT_EQ(check.extra, 1u);  // junk.dat; the live file and the report do not count
  EXPECT_EQ(check.output_files, 5u);
  ASSERT_EQ(check.missing.size(), 1u);
  EXPECT_EQ(check.missing[0]->name, "paper.pdf");
  EXPECT_EQ(check.categories.at("photo").exact, 1u);
  EXPECT_EQ(check.categories.at("document").expected, 1u);
  EXPECT_EQ(NamesKeptText(check), "yes");

  const RecoveryCheck nothing = CheckRecovery(image, dir + "/absent");
  EXPECT_EQ(nothing.exact, 0u);
  EXPECT_EQ(NamesKeptText(nothing), "-");
  RemoveTree(dir);
}

TEST(RecoveryCheck, CounterSuffixesAreIgnoredOnlyWhenWellFormed) {
  EXPECT_EQ(WithoutCounter("a(2).jpg"), "a.jpg");
  EXPECT_EQ(WithoutCounter("a (12).jpg"), "a.jpg");
  EXPECT_EQ(WithoutCounter("notes(3)"), "notes");
  EXPECT_EQ(WithoutCounter("(2).jpg"), "(2).jpg");
  EXPECT_EQ(WithoutCounter("a().jpg"), "a().jpg");
  EXPECT_EQ(WithoutCounter("a(x).jpg"), "a(x).jpg");
  EXPECT_EQ(WithoutCounter(".hidden"), ".hidden");
}

TEST(SampleTruth, DamagedOrMissingTruthFilesAreReportedNotTrusted) {
  const std::string dir = MakeTempDir("truth-json");
  EXPECT_THROW(ReadSampleSet(dir + "/absent.json"), std::runtime_error);
  std::ofstream(dir + "/cut.json")
      << R"({"set": "demo", "images": [{"image": "a.img", "files": [{"path": )";
  EXPECT_THROW(ReadSampleSet(dir + "/cut.json"), std::runtime_error);
  std::ofstream(dir + "/typed.json")
      << R"({"set": "demo", "images": [{"image": "a.img", "files": [)"
      << R"({"path": "/a", "name": "a", "size": "big", "md5": "",)"
      << R"( "deleted": true, "data_intact": true}]}]})";
  EXPECT_THROW(ReadSampleSet(dir + "/typed.json"), std::runtime_error);
  RemoveTree(dir);
}

TEST(SampleTruth, AfterAFormatEveryFileIsLostAndOnlyUntouchedBytesCountAsIntact) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat/mtools missing";
  const std::string dir = MakeTempDir("format-truth");
  testing::FatVolumeBuilder fat(dir + "/fat.img", 16, 16ull << 20);
  fat.AddFile("/kept.pdf", testing::SampleContent("pdf", 9000, 1));
  fat.AddFile("/hit.jpg", testing::SampleContent("jpg", 9000, 2));
  fat.AddFile("/empty.txt", {});
  testing::VolumeTruth truth = fat.Finish();
  ASSERT_EQ(testing::RunCommand("mkfs.fat -F 16 -S 512 " + testing::ShellQuote(dir + "/fat.img")),
            0);
  // One byte of hit.jpg changes after the format, as if a new file had been written there.
  const testing::TruthEntry* hit = truth.Find("/hit.jpg");
  ASSERT_FALSE(hit->extents.empty());
  {
    std::fstream image(dir + "/fat.img", std::ios::in | std::ios::out | std::ios::binary);
    image.seekp(
        static_cast<std::streamoff>(hit->extents.back().offset + hit->extents.back().length - 1));
    image.put('\x55');
  }
  MarkAllLostAfterFormat(&truth, {});
  SampleImage image;
  image.files = FilesOf(truth);
  ASSERT_EQ(image.files.size(), 3u);
  for (const auto& file : image.files) EXPECT_TRUE(file.deleted) << file.path;
  EXPECT_TRUE(FindFile(image, "/kept.pdf")->Expected());
  EXPECT_FALSE(FindFile(image, "/hit.jpg")->data_intact);
  EXPECT_FALSE(FindFile(image, "/empty.txt")->Expected());
  RemoveTree(dir);
}

TEST(SampleSets, SmokeSetWritesImagesAndMatchingTruth) {
  if (!testing::FatBuilderAvailable() || !testing::NtfsBuilderAvailable()) {
    GTEST_SKIP() << "mkfs.fat/mtools or mkntfs/libntfs-3g missing";
  }
  const std::string dir = MakeTempDir("smoke-set");
  const SampleSet built = BuildSmokeSet(dir);
  const SampleSet read = ReadSampleSet(dir + "/truth.json");
  ASSERT_EQ(read.images.size(), built.images.size());
  for (size_t i = 0; i < built.images.size(); ++i) {
    EXPECT_TRUE(std::filesystem::is_regular_file(dir + "/" + read.images[i].image));
    ASSERT_EQ(read.images[i].files.size(), built.images[i].files.size());
    for (size_t k = 0; k < built.images[i].files.size(); ++k) {
      EXPECT_EQ(read.images[i].files[k].md5, built.images[i].files[k].md5);
      EXPECT_EQ(read.images[i].files[k].Expected(), built.images[i].files[k].Expected());
    }
  }
  const SampleImage* fat = read.Find("fat16.img");
  ASSERT_NE(fat, nullptr);
  ASSERT_NE(FindFile(*fat, "/Фото/one.jpg"), nullptr);
  EXPECT_TRUE(FindFile(*fat, "/Фото/one.jpg")->Expected());
  EXPECT_FALSE(FindFile(*fat, "/two.pdf")->Expected());
  EXPECT_EQ(FindFile(*fat, "/two.pdf")->category, "document");

  // After the quick format every file is lost; the non-resident clip kept its clusters.
  const SampleImage* ntfs = read.Find("ntfs.img");
  ASSERT_NE(ntfs, nullptr);
  for (const auto& file : ntfs->files) EXPECT_TRUE(file.deleted) << file.path;
  ASSERT_NE(FindFile(*ntfs, "/clip.mp4"), nullptr);
  EXPECT_TRUE(FindFile(*ntfs, "/clip.mp4")->Expected());

  // Every planted file of the carving image is found at a sector start with its digest.
  const SampleImage* carving = read.Find("carving.img");
  ASSERT_NE(carving, nullptr);
  std::ifstream in(dir + "/carving.img", std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes.size() % 512, 0u);
  for (const auto& file : carving->files) {
    bool found = false;
    for (size_t at = 0; !found && at + file.size <= bytes.size(); at += 512) {
      found = testing::Md5Hex({bytes.begin() + at, bytes.begin() + at + file.size}) == file.md5;
    }
    EXPECT_TRUE(found) << file.name;
  }
  RemoveTree(dir);
}

}  // namespace
}  // namespace velmora::tools
