#include "storage/sector_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <fstream>
#include <memory>
#include <vector>

#include "storage/error_codes.h"
#include "storage/platform_device.h"
#include "support/failing_source.h"
#include "support/test_env.h"

namespace velmora {
namespace {

class SectorReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("reader");
    path_ = dir_ + "/million.img";
    bytes_.resize(1000000);
    for (size_t i = 0; i < bytes_.size(); ++i) bytes_[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes_.data()),
               static_cast<std::streamsize>(bytes_.size()));
  }
  void TearDown() override { testing::RemoveTree(dir_); }

  std::string dir_, path_;
  std::vector<uint8_t> bytes_;
};

TEST_F(SectorReaderTest, ImageSizeRoundsDownToWholeSectorsAndBoundsEveryRead) {
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, path_), kSuccess);
  EXPECT_EQ(reader.total_sectors, 1953u);

  std::vector<uint8_t> buffer(1024, 0xEE);
  uint32_t read = 99;
  ASSERT_EQ(ReadSectors(&reader, 1, buffer.data(), 1952, 512, &read), kSuccess);
  EXPECT_EQ(read, 1u);
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 512, bytes_.begin() + 1952 * 512));

  read = 99;
  EXPECT_EQ(ReadSectors(&reader, 2, buffer.data(), 1952, 512, &read), kErrInvalidParameter);
  EXPECT_EQ(read, 99u) << "a refused read must not report a count";
  EXPECT_EQ(ReadSectors(&reader, 1, buffer.data(), UINT64_MAX, 512, &read), kErrInvalidParameter)
      << "start + count must not wrap around";
  EXPECT_EQ(ReadSectors(&reader, -1, buffer.data(), 0, 512, &read), kErrInvalidParameter);
}

TEST_F(SectorReaderTest, ZeroCountReadsNothingAndLargeReadsCrossChunks) {
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, path_), kSuccess);
  uint32_t read = 99;
  EXPECT_EQ(ReadSectors(&reader, 0, nullptr, 1953, 512, &read), kSuccess);
  EXPECT_EQ(read, 0u);

  std::vector<uint8_t> big(300 * 512);
  ASSERT_EQ(ReadSectors(&reader, 300, big.data(), 10, 512, &read), kSuccess);
  EXPECT_EQ(read, 300u);
  EXPECT_TRUE(std::equal(big.begin(), big.end(), bytes_.begin() + 10 * 512));
}

TEST_F(SectorReaderTest, LargerSectorSizeReportsOnlyWholeSectorsOfAShortRead) {
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, path_), kSuccess);
  // 4096-byte sectors from sector 240 pass the 512-unit bound but run past the file end.
  std::vector<uint8_t> buffer(4 * 4096);
  uint32_t read = 0;
  EXPECT_EQ(ReadSectors(&reader, 4, buffer.data(), 242, 4096, &read), kErrReadFault);
  EXPECT_EQ(read, (1000000u - 242u * 4096u) / 4096u);
}

TEST_F(SectorReaderTest, MissingAndDirectorySourcesFailCleanly) {
  SectorReader reader;
  EXPECT_EQ(OpenImageFile(&reader, dir_ + "/absent.img"), kErrFileNotFound);
  EXPECT_FALSE(reader.IsOpen());
  EXPECT_NE(OpenImageFile(&reader, dir_), kSuccess);
  uint32_t read = 0;
  std::vector<uint8_t> buffer(512);
  EXPECT_EQ(ReadSectors(&reader, 1, buffer.data(), 0, 512, &read), kErrInvalidParameter);
}

TEST_F(SectorReaderTest, SourcesAreOpenedReadOnly) {
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, path_), kSuccess);
  const char byte = 'x';
  EXPECT_LT(::pwrite(reader.FileHandle(), &byte, 1, 0), 0) << "the handle must refuse writes";
}

TEST(ReadFullyTest, ReadsExactlyOrReportsWhatArrived) {
  const std::string dir = testing::MakeTempDir("fully");
  const std::string path = dir + "/f";
  std::ofstream(path, std::ios::binary) << std::string(70000, 'a');
  platform::FileHandle handle;
  ASSERT_EQ(platform::OpenSourceReadOnly(path, &handle), kSuccess);
  std::vector<uint8_t> buffer(80000);
  size_t got = 1;
  EXPECT_EQ(ReadFully(handle, 0, buffer.data(), &got), kSuccess);
  EXPECT_EQ(got, 0u);
  EXPECT_EQ(ReadFully(handle, 80000, buffer.data(), &got), kErrReadFault);
  EXPECT_EQ(got, 70000u);
  platform::CloseHandle(&handle);
  uint64_t size = 0;
  EXPECT_EQ(GetImageFileSize(path, &size), kSuccess);
  EXPECT_EQ(size, 70000u);
  testing::RemoveTree(dir);
}

TEST(UnreadableSalvageTest, FailedSectorsReadAsZerosAndAreNotedOnlyWhileAScopeLives) {
  std::vector<uint8_t> bytes(16 * 512);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(1 + i % 251);
  SectorReader reader;
  ASSERT_EQ(OpenSourceReader(&reader, testing::MakeFailingSectorsSource(bytes, {3, 4, 9, 15})),
            kSuccess);
  std::vector<uint8_t> buffer(16 * 512, 0xEE);
  uint32_t read = 0;
  EXPECT_EQ(ReadSectors(&reader, 16, buffer.data(), 0, 512, &read), kErrReadFault);
  EXPECT_EQ(read, 3u);
  {
    UnreadableSalvage salvage;
    ASSERT_EQ(ReadSectors(&reader, 16, buffer.data(), 0, 512, &read), kSuccess);
    EXPECT_EQ(read, 16u);
    for (uint64_t sector = 0; sector < 16; ++sector) {
      const bool bad = sector == 3 || sector == 4 || sector == 9 || sector == 15;
      for (size_t i = 0; i < 512; ++i) {
        ASSERT_EQ(buffer[sector * 512 + i], bad ? 0 : bytes[sector * 512 + i]) << sector;
      }
    }
    // Touching sectors are one range; the last sector of the source is one too.
    ASSERT_EQ(salvage.Ranges().size(), 3u);
    EXPECT_EQ(salvage.Ranges()[0].offset, 3u * 512);
    EXPECT_EQ(salvage.Ranges()[0].length, 1024u);
    EXPECT_EQ(salvage.Ranges()[2].offset, 15u * 512);
    EXPECT_EQ(salvage.Bytes(), 4u * 512);
    // A read past the end is still refused, not filled.
    EXPECT_EQ(ReadSectors(&reader, 2, buffer.data(), 15, 512, &read), kErrInvalidParameter);
    {
      UnreadableSalvage inner;
      ASSERT_EQ(ReadSectors(&reader, 1, buffer.data(), 9, 512, &read), kSuccess);
      EXPECT_EQ(inner.Bytes(), 512u);
    }
    EXPECT_EQ(salvage.Bytes(), 4u * 512) << "the inner scope collected its own";
    EXPECT_EQ(UnreadableSalvage::Active(), &salvage);
  }
  EXPECT_EQ(UnreadableSalvage::Active(), nullptr);
  EXPECT_EQ(ReadSectors(&reader, 1, buffer.data(), 4, 512, &read), kErrReadFault);
}

// Saved results of image partitions are keyed by the drive number: the same file must get the
// same number however it is spelt, and a second holder must not lose it when the first lets go.
TEST(ImageDriveNumberTest, OneFileOneNumberHeldUntilTheLastHolderForgetsIt) {
  const std::string dir = testing::MakeTempDir("image-drive");
  const std::string image = dir + "/disk.img";
  std::ofstream(image) << "x";
  const int first = platform::RegisterImageDrive(image, 1000);
  const int again = platform::RegisterImageDrive(dir + "/./disk.img", 1000);
  EXPECT_EQ(first, again);
  EXPECT_GE(first, 1000);
  EXPECT_LT(first, 10000);
  const std::string other = dir + "/other.img";
  std::ofstream(other) << "y";
  const int other_number = platform::RegisterImageDrive(other, 1000);
  EXPECT_NE(other_number, first);
  platform::ForgetPhysicalDrive(first);
  EXPECT_FALSE(platform::PhysicalDrivePath(first).empty());
  platform::ForgetPhysicalDrive(again);
  // Gone from the registry: the number now means disk `first` of the machine, if any.
  EXPECT_EQ(platform::PhysicalDrivePath(first).find("disk.img"), std::string::npos);
  platform::ForgetPhysicalDrive(other_number);
  testing::RemoveTree(dir);
}

// Only a medium error reads as one; every other failure keeps its own reason.
TEST(ErrorCodes, ErrnosOtherThanReadFaultsKeepTheirOwnText) {
  const std::string read_fault = DescribeErrorCode(kErrReadFault);
  for (int err : {EIO, EBADMSG, ENODATA}) EXPECT_EQ(ErrorFromErrno(err), kErrReadFault) << err;
  std::set<std::string> texts;
  for (int err : {ENOENT, EACCES, ELOOP, ENOSPC, EROFS, EMFILE, ENXIO, EISDIR, EDQUOT, ENOLCK}) {
    const std::string text = DescribeErrorCode(ErrorFromErrno(err));
    EXPECT_NE(text, read_fault) << err;
    EXPECT_EQ(text.find("unexpected"), std::string::npos) << err << ": " << text;
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), 10u);
  // An errno without a code of its own is told by the system's own words.
  EXPECT_EQ(DescribeErrorCode(ErrorFromErrno(ENOLCK)),
            std::string(std::strerror(ENOLCK)) + " (errno " + std::to_string(ENOLCK) + ")");
}

}  // namespace
}  // namespace velmora
