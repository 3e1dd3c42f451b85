// Checks that the test-volume builders make volumes that independent tools (fsck.fat,
// ntfsfix, The Sleuth Kit, unzip, sfdisk) accept, and that their ground truth is right.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/ntfs_volume_builder.h"
#include "support/partition_image.h"
#include "support/test_env.h"
#include "support/volume_truth.h"

namespace velmora::testing {
namespace {

std::string Output(const std::string& command) {
  std::string out;
  const int rc = RunCommand(command, &out);
  EXPECT_EQ(rc, 0) << command << "\n" << out;
  return out;
}

// MD5 of what icat extracts for an inode (NTFS: "rec" or "rec-128-id"; FAT: inode number).
std::string IcatMd5(const std::string& image, const std::string& inode) {
  return Output("icat " + ShellQuote(image) + " " + inode + " | md5sum").substr(0, 32);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

const TruthEntry& Get(const VolumeTruth& truth, const std::string& path) {
  const TruthEntry* e = truth.Find(path);
  if (!e) throw std::runtime_error("no truth entry for " + path);
  return *e;
}

void RequireTools(const std::vector<std::string>& tools) {
  for (const auto& t : tools) {
    if (!ToolAvailable(t)) GTEST_SKIP() << t << " is not installed (scripts/setup installs it)";
  }
}

TEST(SampleContentTest, FormatsCarryTheirSignaturesAtExactSizes) {
  for (size_t size : {size_t{1024}, size_t{4097}, size_t{200000}}) {
    const auto jpg = SampleContent("JPG", size, 1);
    ASSERT_EQ(jpg.size(), size);
    EXPECT_EQ((std::vector<uint8_t>(jpg.begin(), jpg.begin() + 4)),
              (std::vector<uint8_t>{0xFF, 0xD8, 0xFF, 0xE0}));
    EXPECT_EQ(jpg[size - 2], 0xFF);
    EXPECT_EQ(jpg[size - 1], 0xD9);
    for (size_t i = 2; i + 2 < size; ++i) {  // no marker may end the image early
      ASSERT_FALSE(jpg[i] == 0xFF && jpg[i + 1] == 0xD9) << "EOI inside the scan at " << i;
    }

    const auto png = SampleContent("png", size, 2);
    ASSERT_EQ(png.size(), size);
    EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
    EXPECT_EQ(std::string(png.end() - 8, png.end() - 4), "IEND");

    const auto pdf = SampleContent("pdf", size, 3);
    const std::string pdf_text(pdf.begin(), pdf.end());
    ASSERT_EQ(pdf.size(), size);
    EXPECT_EQ(pdf_text.rfind("%PDF-1.4", 0), 0u);
    EXPECT_EQ(pdf_text.find("%%EOF"), size - 5) << "exactly one footer, at the end";

    const auto gif = SampleContent("gif", size, 4);
    ASSERT_EQ(gif.size(), size);
    EXPECT_EQ(std::string(gif.begin(), gif.begin() + 6), "GIF89a");
    EXPECT_EQ(gif.back(), 0x3B);

    const auto bmp = SampleContent("bmp", size, 5);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(uint32_t(bmp[2] | bmp[3] << 8 | bmp[4] << 16 | bmp[5] << 24), size);

    const auto txt = SampleContent("txt", size, 6);
    ASSERT_EQ(txt.size(), size);
    EXPECT_TRUE(std::all_of(txt.begin(), txt.end(),
                            [](uint8_t c) { return c == '\n' || (c >= 0x20 && c < 0x7F); }));

    const auto doc = SampleContent("doc", size, 7);
    EXPECT_EQ((std::vector<uint8_t>(doc.begin(), doc.begin() + 4)),
              (std::vector<uint8_t>{0xD0, 0xCF, 0x11, 0xE0}));
  }
  EXPECT_EQ(SampleContent("jpg", 5000, 9), SampleContent("jpg", 5000, 9));
  EXPECT_NE(SampleContent("jpg", 5000, 9), SampleContent("jpg", 5000, 10));
  EXPECT_EQ(RandomBytes(100, 1), RandomBytes(100, 1));
  EXPECT_NE(RandomBytes(100, 1), RandomBytes(100, 2));
  EXPECT_THROW(SampleContent("png", 20, 1), std::invalid_argument);
}

TEST(SampleContentTest, ZipAndOfficeArchivesPassUnzip) {
  RequireTools({"unzip"});
  const std::string dir = MakeTempDir("zip");
  for (const std::string ext : {"zip", "docx", "xlsx"}) {
    const auto bytes = SampleContent(ext, 30000, 11);
    ASSERT_EQ(bytes.size(), 30000u);
    const std::string path = dir + "/sample." + ext;
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    const std::string listing = Output("unzip -t " + ShellQuote(path));
    EXPECT_TRUE(Contains(listing, "No errors detected")) << listing;
    if (ext != "zip") {
      EXPECT_TRUE(Contains(listing, "[Content_Types].xml")) << listing;
    }
  }
  RemoveTree(dir);
}

TEST(DigestTest, KnownVectors) {
  const std::vector<uint8_t> abc = {'a', 'b', 'c'};
  EXPECT_EQ(Md5Hex(abc), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(Sha256Hex(abc), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(Md5Hex({}), "d41d8cd98f00b204e9800998ecf8427e");
}

class NtfsBuilderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!NtfsBuilderAvailable())
      GTEST_SKIP() << "mkntfs or libntfs-3g missing (scripts/setup installs them)";
    RequireTools({"fls", "icat", "ntfsfix"});
    dir_ = MakeTempDir("ntfs-builder");
  }
  void TearDown() override { RemoveTree(dir_); }
  std::string dir_;
};

TEST_F(NtfsBuilderTest, TruthAgreesWithSleuthKit) {
  NtfsVolumeBuilder ntfs(dir_ + "/ntfs.img", 32 << 20);
  ntfs.MakeDirectory("/Документы/2024");
  ntfs.SetClock(1700000000);
  const auto photo = SampleContent("jpg", 60000, 1);
  const auto note = RandomText(300, 2);
  const auto stream = RandomBytes(5000, 3);
  const auto gone = SampleContent("pdf", 40000, 4);
  const auto small_gone = RandomText(200, 5);
  ntfs.AddFile("/Документы/2024/Grüße.jpg", photo);
  ntfs.SetClock(0);
  ntfs.AddFile("/Документы/note.txt", note);
  ntfs.AddFile("/Документы/note.txt:meta", stream);
  ntfs.AddFile("/Документы/gone.pdf", gone);
  ntfs.AddFile("/small.txt", small_gone);
  ntfs.Delete("/Документы/gone.pdf");
  ntfs.Delete("/small.txt");
  const VolumeTruth truth = ntfs.Finish();

  EXPECT_EQ(
      Output("ntfsfix -n " + ShellQuote(truth.image_path) + " 2>&1; echo rc=$?").find("rc=0") !=
          std::string::npos,
      true);

  const TruthEntry& live = Get(truth, "/Документы/2024/Grüße.jpg");
  EXPECT_FALSE(live.deleted);
  EXPECT_FALSE(live.resident);
  EXPECT_EQ(live.parent, "/Документы/2024");
  EXPECT_EQ(live.name, "Grüße.jpg");
  EXPECT_EQ(live.md5, Md5Hex(photo));
  EXPECT_EQ(IcatMd5(truth.image_path, std::to_string(live.mft_record)), live.md5);
  EXPECT_EQ(live.modified_time, 1700000000);
  const std::string details = Output("TZ=UTC istat " + ShellQuote(truth.image_path) + " " +
                                     std::to_string(live.mft_record));
  size_t stamped = 0;
  for (size_t at = details.find("2023-11-14 22:13:20"); at != std::string::npos;
       at = details.find("2023-11-14 22:13:20", at + 1)) {
    ++stamped;
  }
  EXPECT_EQ(stamped, 8u) << "four times in $STANDARD_INFORMATION and four in $FILE_NAME\n"
                         << details;

  const TruthEntry& resident = Get(truth, "/Документы/note.txt");
  EXPECT_TRUE(resident.resident);
  EXPECT_TRUE(resident.data_intact);
  EXPECT_EQ(IcatMd5(truth.image_path, std::to_string(resident.mft_record)), Md5Hex(note));
  const TruthEntry& ads = Get(truth, "/Документы/note.txt:meta");
  EXPECT_EQ(ads.stream, "meta");
  EXPECT_EQ(ads.mft_record, resident.mft_record);
  EXPECT_FALSE(ads.resident);
  EXPECT_TRUE(ads.data_intact);

  const TruthEntry& deleted = Get(truth, "/Документы/gone.pdf");
  const TruthEntry& deleted_small = Get(truth, "/small.txt");
  EXPECT_TRUE(deleted.deleted);
  EXPECT_TRUE(deleted.data_intact);
  EXPECT_FALSE(deleted.record_reused);
  EXPECT_TRUE(deleted_small.deleted && deleted_small.resident && deleted_small.data_intact);
  EXPECT_EQ(IcatMd5(truth.image_path, std::to_string(deleted.mft_record)), Md5Hex(gone));
  EXPECT_EQ(IcatMd5(truth.image_path, std::to_string(deleted_small.mft_record)),
            Md5Hex(small_gone));

  const std::string deleted_listing = Output("fls -r -p -d " + ShellQuote(truth.image_path));
  EXPECT_TRUE(Contains(deleted_listing, "Документы/gone.pdf")) << deleted_listing;
  EXPECT_TRUE(Contains(deleted_listing, "small.txt")) << deleted_listing;
  EXPECT_FALSE(Contains(deleted_listing, "Grüße.jpg")) << deleted_listing;
}

TEST_F(NtfsBuilderTest, FragmentedAndCompressedFilesReadBackThroughSleuthKit) {
  NtfsVolumeBuilder ntfs(dir_ + "/ntfs.img", 32 << 20);
  const auto big = RandomBytes(300000, 7);
  ntfs.AddFragmentedFile("/frag.bin", big, 4);
  // LZNT1 only finds repeats, so the text repeats one block.
  const auto block = RandomText(3000, 8);
  std::vector<uint8_t> text;
  while (text.size() < 150000) text.insert(text.end(), block.begin(), block.end());
  ntfs.AddCompressedFile("/packed.txt", text);
  const VolumeTruth truth = ntfs.Finish();

  const TruthEntry& frag = Get(truth, "/frag.bin");
  ASSERT_GE(frag.extents.size(), 4u);
  for (size_t i = 1; i < frag.extents.size(); ++i) {
    EXPECT_NE(frag.extents[i - 1].offset + frag.extents[i - 1].length, frag.extents[i].offset)
        << "runs " << i;
  }
  EXPECT_TRUE(frag.data_intact);
  EXPECT_EQ(IcatMd5(truth.image_path, std::to_string(frag.mft_record)), Md5Hex(big));
  EXPECT_TRUE(Get(truth, "/frag.bin.keep0").data_intact);
  EXPECT_TRUE(Get(truth, "/frag.bin.gap0").deleted);
  EXPECT_FALSE(Get(truth, "/frag.bin.gap0").data_intact);

  const TruthEntry& packed = Get(truth, "/packed.txt");
  EXPECT_TRUE(packed.compressed);
  EXPECT_TRUE(packed.data_intact);
  uint64_t stored = 0;
  for (const auto& e : packed.extents) stored += e.hole ? 0 : e.length;
  EXPECT_LT(stored, text.size()) << "text should have compressed";
  EXPECT_EQ(IcatMd5(truth.image_path, std::to_string(packed.mft_record)), Md5Hex(text));
}

TEST_F(NtfsBuilderTest, ReusedRecordsAndOverwrittenClustersAreReported) {
  NtfsVolumeBuilder ntfs(dir_ + "/ntfs.img", 32 << 20);
  ntfs.MakeDirectory("/old/inner");
  ntfs.AddFile("/old/inner/a.txt", RandomText(100, 1));
  ntfs.AddFile("/victim.bin", RandomBytes(40000, 2));
  ntfs.AddFile("/keeper.bin", RandomBytes(40000, 3));
  ntfs.DeleteTree("/old");
  ntfs.Delete("/victim.bin");
  ntfs.Delete("/keeper.bin");
  const int64_t old_record = ntfs.MftRecordOf("/old");
  ntfs.AddFileReusingRecord("/old", "/new.txt", RandomText(150, 4));
  const auto over = RandomBytes(9000, 5);
  ntfs.AddFileOverDeleted("/victim.bin", "/over.bin", over);
  EXPECT_THROW(ntfs.Delete("/old"), std::runtime_error);
  const VolumeTruth truth = ntfs.Finish();

  const TruthEntry& old_dir = Get(truth, "/old");
  EXPECT_TRUE(old_dir.deleted);
  EXPECT_TRUE(old_dir.record_reused);
  EXPECT_FALSE(old_dir.data_intact);
  EXPECT_EQ(Get(truth, "/new.txt").mft_record, old_record);
  EXPECT_TRUE(Get(truth, "/old/inner/a.txt").deleted);

  const TruthEntry& victim = Get(truth, "/victim.bin");
  const TruthEntry& over_entry = Get(truth, "/over.bin");
  EXPECT_FALSE(victim.data_intact);
  EXPECT_EQ(over_entry.extents.front().offset, victim.extents.front().offset);
  EXPECT_TRUE(over_entry.data_intact);
  EXPECT_TRUE(Get(truth, "/keeper.bin").data_intact);
  EXPECT_EQ(IcatMd5(truth.image_path, std::to_string(over_entry.mft_record)), Md5Hex(over));
}

class FatBuilderTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!FatBuilderAvailable())
      GTEST_SKIP() << "mkfs.fat or mtools missing (scripts/setup installs them)";
    RequireTools({"fls", "icat", "fsck.fat"});
    dir_ = MakeTempDir("fat-builder");
  }
  void TearDown() override { RemoveTree(dir_); }
  uint64_t VolumeSize() const {
    return GetParam() == 12 ? (4u << 20) : GetParam() == 16 ? (24u << 20) : (40u << 20);
  }
  std::string dir_;
};

// TSK numbers FAT entries by directory-entry slot; find the one listed under `name`.
std::string FatInode(const std::string& listing, const std::string& name) {
  const size_t at = listing.find(":\t" + name + "\n");
  if (at == std::string::npos) return "";
  const size_t line = listing.rfind('\n', at);
  const std::string head = listing.substr(line == std::string::npos ? 0 : line + 1,
                                          at - (line == std::string::npos ? 0 : line + 1));
  const size_t digits = head.find_last_of(' ');
  return head.substr(digits + 1);
}

TEST_P(FatBuilderTest, VolumesPassFsckAndKeepLongNames) {
  FatVolumeBuilder fat(dir_ + "/fat.img", GetParam(), VolumeSize());
  fat.MakeDirectory("/Фото/Urlaub am Meer");
  const auto photo = SampleContent("jpg", 30000, 1);
  const auto gone = RandomText(7000, 2);
  fat.SetClock(1700000000);
  fat.AddFile("/Фото/Urlaub am Meer/Grüße vom Strand.jpg", photo);
  fat.SetClock(0);
  fat.AddFile("/Фото/a rather long deleted name.txt", gone);
  fat.AddFile("/empty.dat", {});
  fat.MakeDirectory("/old folder/sub");
  fat.AddFile("/old folder/sub/inner.txt", RandomText(100, 3));
  fat.DeleteTree("/old folder");
  // Last, so no later allocation can take its clusters.
  fat.Delete("/Фото/a rather long deleted name.txt");
  const VolumeTruth truth = fat.Finish();

  Output("fsck.fat -n " + ShellQuote(truth.image_path));
  const std::string listing = Output("fls -r -p " + ShellQuote(truth.image_path));
  EXPECT_TRUE(Contains(listing, "Фото/Urlaub am Meer/Grüße vom Strand.jpg")) << listing;
  const std::string inode = FatInode(listing, "Фото/Urlaub am Meer/Grüße vom Strand.jpg");
  ASSERT_FALSE(inode.empty()) << listing;
  EXPECT_EQ(IcatMd5(truth.image_path, inode), Md5Hex(photo));
  EXPECT_EQ(Get(truth, "/Фото/Urlaub am Meer/Grüße vom Strand.jpg").modified_time, 1700000000);
  EXPECT_TRUE(Contains(Output("TZ=UTC istat " + ShellQuote(truth.image_path) + " " + inode),
                       "2023-11-14 22:13:20"));

  const std::string deleted_listing = Output("fls -r -p -d " + ShellQuote(truth.image_path));
  EXPECT_TRUE(Contains(deleted_listing, "Фото/a rather long deleted name.txt")) << deleted_listing;
  const TruthEntry& deleted = Get(truth, "/Фото/a rather long deleted name.txt");
  EXPECT_TRUE(deleted.deleted);
  EXPECT_TRUE(deleted.data_intact);
  EXPECT_EQ(deleted.parent, "/Фото");
  EXPECT_EQ(deleted.extents.size(), 1u);
  for (const std::string folder : {"/old folder", "/old folder/sub"}) {
    EXPECT_TRUE(Get(truth, folder).deleted) << folder;
    EXPECT_TRUE(Get(truth, folder).data_intact) << folder;
    EXPECT_FALSE(Get(truth, folder).extents.empty()) << folder;
  }
  EXPECT_TRUE(Contains(deleted_listing, "old folder/")) << deleted_listing;
  EXPECT_EQ(Get(truth, "/empty.dat").size, 0u);
  EXPECT_TRUE(Get(truth, "/empty.dat").extents.empty());
}

TEST_P(FatBuilderTest, FragmentedAndPartlyOverwrittenDeletedFiles) {
  FatVolumeBuilder fat(dir_ + "/fat.img", GetParam(), VolumeSize());
  const auto victim = RandomText(30000, 3);
  fat.AddFile("/victim.txt", victim);
  const auto big = RandomBytes(64 * fat.ClusterSize() + 100, 4);
  fat.AddFragmentedFile("/frag.bin", big, 3);
  fat.Delete("/frag.bin");
  fat.Delete("/victim.txt");
  const auto over = RandomText(5000, 5);
  fat.AddFileOverDeleted("/victim.txt", "/over.txt", over);
  const VolumeTruth truth = fat.Finish();
  Output("fsck.fat -n " + ShellQuote(truth.image_path));

  const TruthEntry& frag = Get(truth, "/frag.bin");
  EXPECT_TRUE(frag.deleted);
  EXPECT_TRUE(frag.data_intact);
  ASSERT_GE(frag.extents.size(), 3u);
  // A live helper file sits in each gap between the runs.
  const TruthEntry& keep0 = Get(truth, "/frag.bin.keep0");
  EXPECT_FALSE(keep0.deleted);
  EXPECT_EQ(keep0.extents.front().offset, frag.extents[0].offset + frag.extents[0].length);

  const TruthEntry& victim_entry = Get(truth, "/victim.txt");
  const TruthEntry& over_entry = Get(truth, "/over.txt");
  EXPECT_FALSE(victim_entry.data_intact);
  EXPECT_TRUE(over_entry.data_intact);
  EXPECT_EQ(over_entry.first_cluster, victim_entry.first_cluster);
  // Past the new file's clusters the victim's bytes are still there.
  std::vector<uint8_t> image_bytes;
  ASSERT_TRUE(ReadExtents(truth.image_path, victim_entry.extents, victim_entry.size, &image_bytes));
  const size_t overwritten =
      (over.size() + truth.cluster_size - 1) / truth.cluster_size * truth.cluster_size;
  ASSERT_LT(overwritten, victim.size());
  EXPECT_TRUE(
      std::equal(victim.begin() + overwritten, victim.end(), image_bytes.begin() + overwritten));
  EXPECT_TRUE(std::equal(over.begin(), over.end(), image_bytes.begin()));
}

INSTANTIATE_TEST_SUITE_P(AllFatTypes, FatBuilderTest, ::testing::Values(12, 16, 32),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });

// FAT12/16 only: mtools gives the lowest free cluster, while on FAT32 it continues after the
// last cluster used, which leaves a deleted folder alone.
TEST(FatBuilderReuseTest, FolderClustersTakenByLaterFilesAreReported) {
  if (!FatBuilderAvailable())
    GTEST_SKIP() << "mkfs.fat or mtools missing (scripts/setup installs them)";
  for (int bits : {12, 16}) {
    const std::string dir = MakeTempDir("fat-reuse");
    FatVolumeBuilder fat(dir + "/fat.img", bits, bits == 12 ? (4u << 20) : (24u << 20));
    fat.MakeDirectory("/doomed");
    fat.AddFile("/doomed/a.txt", RandomText(100, 1));
    fat.AddFile("/stays.bin", RandomBytes(3 * fat.ClusterSize(), 2));
    fat.DeleteTree("/doomed");
    fat.AddFile("/later.bin", RandomBytes(3 * fat.ClusterSize(), 3));
    const VolumeTruth truth = fat.Finish();
    EXPECT_EQ(Get(truth, "/later.bin").first_cluster, Get(truth, "/doomed").first_cluster) << bits;
    EXPECT_FALSE(Get(truth, "/doomed").data_intact) << bits;
    EXPECT_FALSE(Get(truth, "/doomed/a.txt").data_intact) << bits;
    EXPECT_TRUE(Get(truth, "/stays.bin").data_intact) << bits;
    EXPECT_TRUE(Get(truth, "/later.bin").data_intact) << bits;
    RemoveTree(dir);
  }
}

TEST(PartitionImageTest, MbrAndGptDisksAreReadByPartitionTools) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  RequireTools({"mmls", "fls", "sfdisk"});
  const std::string dir = MakeTempDir("disk");
  FatVolumeBuilder fat(dir + "/fat.img", 16, 20 << 20);
  fat.AddFile("/inside.txt", RandomText(1000, 1));
  fat.Finish();

  WriteMbrDisk(dir + "/mbr.img", 65536, {{2048, 0, kMbrTypeFat16Lba, dir + "/fat.img", true}});
  const std::string mbr_layout = Output("mmls " + ShellQuote(dir + "/mbr.img"));
  EXPECT_TRUE(Contains(mbr_layout, "0000002048   0000043007   0000040960")) << mbr_layout;
  EXPECT_TRUE(Contains(Output("fls -o 2048 " + ShellQuote(dir + "/mbr.img")), "inside.txt"));

  WriteGptDisk(dir + "/gpt.img", 65536, {{4096, 0, "data", dir + "/fat.img"}});
  const std::string gpt_dump = Output("sfdisk -d " + ShellQuote(dir + "/gpt.img") + " 2>&1");
  EXPECT_TRUE(Contains(gpt_dump, "label: gpt")) << gpt_dump;
  EXPECT_TRUE(Contains(gpt_dump, "start=        4096, size=       40960")) << gpt_dump;
  EXPECT_TRUE(Contains(gpt_dump, "name=\"data\"")) << gpt_dump;
  EXPECT_FALSE(Contains(gpt_dump, "corrupt")) << gpt_dump;
  EXPECT_TRUE(Contains(Output("fls -o 4096 " + ShellQuote(dir + "/gpt.img")), "inside.txt"));

  EXPECT_THROW(WriteMbrDisk(dir + "/bad.img", 65536,
                            {{2048, 40960, kMbrTypeFat16Lba, ""}, {4096, 100, kMbrTypeNtfs, ""}}),
               std::invalid_argument);
  EXPECT_THROW(WriteGptDisk(dir + "/bad.img", 65536, {{65500, 100, "x", ""}}),
               std::invalid_argument);
  RemoveTree(dir);
}

}  // namespace
}  // namespace velmora::testing
