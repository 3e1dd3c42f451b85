// Scans of a failing medium whose metadata (boot sector, MFT, FAT, root folder) cannot be
// read go on with what they can read, use the file system's own copies, and say what was lost.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "support/content_gen.h"
#include "support/faulty_image_mount.h"
#include "support/loop_device.h"
#include "support/ntfs_volume_builder.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

class UnreadableMetadataTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempDir("unreadable-metadata"); }
  void TearDown() override {
    mount_.reset();
    RemoveTree(dir_);
  }

  // Serves the image with `bad` sectors failing; false (test skipped) without FUSE.
  bool Serve(const std::string& image, std::set<uint64_t> bad) {
    const std::string folder = dir_ + "/fuse";
    ::mkdir(folder.c_str(), 0755);
    std::string why;
    mount_ = FaultyImageMount::Start(image, std::move(bad), folder, &why);
    if (!mount_) skip_ = why;
    return mount_ != nullptr;
  }

  int Velmora(const std::string& args, std::string* out) {
    return RunCommand(VelmoraBinary() + " " + args + " 2>&1", out);
  }

  // A little-endian field of the image's first sector.
  static uint64_t BootField(const std::string& image, size_t offset, size_t width) {
    const std::vector<uint8_t> bytes = ReadWholeFile(image);
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i)
      value |= static_cast<uint64_t>(bytes.at(offset + i)) << (8 * i);
    return value;
  }
  // Whether a file below `folder` holds exactly `content`.
  static bool Recovered(const std::string& folder, const std::vector<uint8_t>& content) {
    std::error_code ec;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
      if (entry.is_regular_file() && ReadWholeFile(entry.path().string()) == content) return true;
    }
    return false;
  }
  // The sectors of MFT record `number` (the MFT's first extent).
  static std::set<uint64_t> MftRecordSectors(const std::string& image, uint64_t number) {
    const uint64_t cluster = BootField(image, 0x0B, 2) * BootField(image, 0x0D, 1);
    const uint64_t first = BootField(image, 0x30, 8) * cluster / 512 + number * 2;
    return {first, first + 1};
  }

  ScopedDataDir data_;
  std::string dir_, skip_;
  std::unique_ptr<FaultyImageMount> mount_;
};

TEST_F(UnreadableMetadataTest, FatBootSectorUnreadable) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  const std::string image = dir_ + "/card.img";
  {
    FatVolumeBuilder fat(image, 16, 16 << 20);
    fat.AddFile("/PHOTO.JPG", SampleContent("jpg", 30000, 1));
    fat.AddFile("/NOTES.PDF", SampleContent("pdf", 20000, 2));
    fat.Delete("/PHOTO.JPG");
    fat.Finish();
  }
  if (!Serve(image, {0})) GTEST_SKIP() << skip_;
  std::string out;
  EXPECT_NE(Velmora("scan --deep " + ShellQuote(mount_->FilePath()), &out), 2) << out;
  EXPECT_NE(out.find("1 sectors could not be read and were skipped"), std::string::npos) << out;
  std::string listing;
  EXPECT_EQ(Velmora("list --deep " + ShellQuote(mount_->FilePath()), &listing), 0);
  EXPECT_EQ(listing.find("scanned anew"), std::string::npos) << "the saved scan still fits";
  EXPECT_NE(listing.find(".jpg"), std::string::npos) << listing;
  EXPECT_NE(listing.find(".pdf"), std::string::npos) << listing;
}

TEST_F(UnreadableMetadataTest, NtfsBootSectorUnreadable) {
  if (!NtfsBuilderAvailable()) GTEST_SKIP() << "libntfs-3g builder not available";
  const std::string image = dir_ + "/volume.img";
  {
    NtfsVolumeBuilder ntfs(image, 32 << 20);
    ntfs.AddFile("/photo.jpg", SampleContent("jpg", 30000, 1));
    ntfs.AddFile("/notes.pdf", SampleContent("pdf", 20000, 2));
    ntfs.Delete("/photo.jpg");
  }
  if (!Serve(image, {0, 1})) GTEST_SKIP() << skip_;
  std::string out;
  EXPECT_NE(Velmora("scan --deep " + ShellQuote(mount_->FilePath()), &out), 2) << out;
  const std::string to = dir_ + "/out";
  EXPECT_EQ(Velmora("recover --deep --quiet " + ShellQuote(mount_->FilePath()) + " --to " +
                        ShellQuote(to),
                    &out),
            0)
      << out;
  // The backup boot sector opens the volume: the deleted file comes back,
  // and the live one is known as live rather than found as lost.
  EXPECT_TRUE(Recovered(to, SampleContent("jpg", 30000, 1))) << out;
  EXPECT_FALSE(Recovered(to, SampleContent("pdf", 20000, 2)));
}

TEST_F(UnreadableMetadataTest, NtfsUnreadableMftRecordsAreSkippedAndCounted) {
  if (!NtfsBuilderAvailable()) GTEST_SKIP() << "libntfs-3g builder not available";
  const std::string image = dir_ + "/volume.img";
  {
    NtfsVolumeBuilder ntfs(image, 32 << 20);
    ntfs.AddFile("/photo.jpg", SampleContent("jpg", 30000, 1));
    ntfs.AddFile("/notes.pdf", SampleContent("pdf", 20000, 2));
    ntfs.Delete("/photo.jpg");
    ntfs.Delete("/notes.pdf");
  }
  // $MFT's own record (read from $MFTMirr instead) and an unused reserved record.
  std::set<uint64_t> bad = MftRecordSectors(image, 0);
  for (uint64_t sector : MftRecordSectors(image, 13)) bad.insert(sector);
  if (!Serve(image, bad)) GTEST_SKIP() << skip_;
  const std::string source = ShellQuote(mount_->FilePath());
  std::string out;
  EXPECT_EQ(Velmora("scan --quick --json " + source, &out), 1) << out;
  EXPECT_NE(out.find("\"unreadable_metadata\": 1"), std::string::npos) << out;
  EXPECT_NE(out.find("1 MFT records could not be read and were skipped (first: record 13)"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("\"files\": 2"), std::string::npos) << out;
  EXPECT_EQ(Velmora("scan --deep " + source, &out), 1) << out;
  EXPECT_NE(out.find("MFT records could not be read"), std::string::npos) << out;
  const std::string to = dir_ + "/out";
  EXPECT_EQ(Velmora("recover --deep --quiet " + source + " --to " + ShellQuote(to), &out), 0)
      << out;
  EXPECT_TRUE(Recovered(to, SampleContent("jpg", 30000, 1))) << out;
  EXPECT_TRUE(Recovered(to, SampleContent("pdf", 20000, 2))) << out;
}

// A FAT16 card; where its tables and root folder lie is read from its boot sector.
class UnreadableFatTest : public UnreadableMetadataTest {
 protected:
  bool Build() {
    if (!FatBuilderAvailable()) return false;
    image_ = dir_ + "/card.img";
    FatVolumeBuilder fat(image_, 16, 16 << 20);
    fat.AddFile("/KEEP.PDF", SampleContent("pdf", 20000, 2));
    fat.AddFile("/PHOTO.JPG", SampleContent("jpg", 30000, 1));
    fat.Delete("/PHOTO.JPG");
    fat.Finish();
    reserved_ = BootField(image_, 0x0E, 2);
    fat_sectors_ = BootField(image_, 0x16, 2);
    root_ = reserved_ + BootField(image_, 0x10, 1) * fat_sectors_;
    return true;
  }
  std::string image_;
  uint64_t reserved_ = 0, fat_sectors_ = 0, root_ = 0;
};

TEST_F(UnreadableFatTest, FirstFatUnreadableReadsTheSecondCopy) {
  if (!Build()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  std::set<uint64_t> bad;
  for (uint64_t s = reserved_; s < reserved_ + fat_sectors_; ++s) bad.insert(s);
  if (!Serve(image_, bad)) GTEST_SKIP() << skip_;
  const std::string source = ShellQuote(mount_->FilePath());
  std::string out;
  const std::string to = dir_ + "/out";
  EXPECT_EQ(Velmora("recover --deep " + source + " --to " + ShellQuote(to), &out), 0) << out;
  EXPECT_EQ(out.find("partly unreadable"), std::string::npos) << out;
  EXPECT_TRUE(Recovered(to, SampleContent("jpg", 30000, 1))) << out;
  std::string listing;
  EXPECT_EQ(Velmora("list --quick " + source, &listing), 0) << listing;
  EXPECT_NE(listing.find("HOTO.JPG"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("KEEP.PDF"), std::string::npos) << "a live file listed as lost";
}

TEST_F(UnreadableFatTest, UnreadableRootFolderIsReported) {
  if (!Build()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  if (!Serve(image_, {root_})) GTEST_SKIP() << skip_;
  std::string out;
  EXPECT_EQ(Velmora("scan --quick " + ShellQuote(mount_->FilePath()), &out), 1) << out;
  EXPECT_NE(out.find("1 directory sectors could not be read and were skipped (first: sector " +
                     std::to_string(root_) + ", in the root folder)"),
            std::string::npos)
      << out;
}

TEST_F(UnreadableMetadataTest, Fat32BootSectorUnreadableUsesItsCopy) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  const std::string image = dir_ + "/card32.img";
  {
    FatVolumeBuilder fat(image, 32, 64 << 20);
    fat.AddFile("/PHOTO.JPG", SampleContent("jpg", 30000, 1));
    fat.Delete("/PHOTO.JPG");
    fat.Finish();
  }
  if (!Serve(image, {0})) GTEST_SKIP() << skip_;
  const std::string source = ShellQuote(mount_->FilePath());
  std::string out;
  EXPECT_EQ(Velmora("info " + source, &out), 0) << out;
  EXPECT_NE(out.find("could not be read"), std::string::npos) << out;
  EXPECT_NE(out.find("backup copy is used"), std::string::npos) << out;
  EXPECT_EQ(out.find("too short"), std::string::npos) << out;
  EXPECT_EQ(Velmora("scan --quick " + source, &out), 0) << out;
  EXPECT_NE(out.find("1 files"), std::string::npos) << out;
}

TEST_F(UnreadableMetadataTest, NtfsInfoReadsTheBackupBootSector) {
  if (!NtfsBuilderAvailable()) GTEST_SKIP() << "libntfs-3g builder not available";
  const std::string image = dir_ + "/volume.img";
  { NtfsVolumeBuilder ntfs(image, 32 << 20); }
  if (!Serve(image, {0})) GTEST_SKIP() << skip_;
  std::string out;
  EXPECT_EQ(Velmora("info " + ShellQuote(mount_->FilePath()), &out), 0) << out;
  EXPECT_NE(out.find("backup copy is used"), std::string::npos) << out;
  EXPECT_NE(out.find("NTFS"), std::string::npos) << out;
}

}  // namespace
}  // namespace velmora::testing
