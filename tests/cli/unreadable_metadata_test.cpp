// A deep scan of a failing medium whose boot sector cannot be
// read goes on with what it can read, as it does for any other unreadable sector.
#include <gtest/gtest.h>
#include <sys/stat.h>

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
  // The file records themselves were readable: names and contents come back.
  EXPECT_EQ(ReadWholeFile(to + "/photo/photo.jpg"), SampleContent("jpg", 30000, 1));
  EXPECT_EQ(ReadWholeFile(to + "/document/notes.pdf"), SampleContent("pdf", 20000, 2));
}

}  // namespace
}  // namespace velmora::testing
