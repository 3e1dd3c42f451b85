// Image files seen through a bounded, sliding mapping.
#include "storage/mapped_image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <vector>

#include "support/test_env.h"

namespace velmora {
namespace {

class MappedImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("mapped");
    path_ = dir_ + "/image.img";
    // A little more than one window, so views on both sides of its end exist.
    bytes_.resize(MappedImage::kWindowBytes + 3 * 4096 + 100);
    for (size_t i = 0; i < bytes_.size(); i += 512) bytes_[i] = static_cast<uint8_t>(i >> 9);
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes_.data()),
               static_cast<std::streamsize>(bytes_.size()));
    fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  }
  void TearDown() override {
    ::close(fd_);
    testing::RemoveTree(dir_);
  }

  std::string dir_, path_;
  std::vector<uint8_t> bytes_;
  int fd_ = -1;
};

TEST_F(MappedImageTest, ViewsFollowTheReadsAndStopAtTheFileEnd) {
  MappedImage image;
  ASSERT_TRUE(image.Attach(fd_));
  const uint8_t* first = image.View(512 * 3, 512);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(std::memcmp(first, bytes_.data() + 512 * 3, 512), 0);
  // Past the first window: the window moves, and the bytes are still right.
  const uint64_t far = MappedImage::kWindowBytes + 4096 + 1;
  const uint8_t* second = image.View(far, 1000);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(std::memcmp(second, bytes_.data() + far, 1000), 0);
  // Ending exactly at the file's end is fine, one byte more is not.
  const uint64_t size = bytes_.size();
  EXPECT_NE(image.View(size - 100, 100), nullptr);
  EXPECT_EQ(image.View(size - 100, 101), nullptr);
  EXPECT_EQ(image.View(size, 1), nullptr);
}

TEST_F(MappedImageTest, SmallReadsNeverMoveTheWindow) {
  MappedImage image;
  ASSERT_TRUE(image.Attach(fd_));
  const uint8_t* view = image.View(0, 4096);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(image.ViewInWindow(100, 10), view + 100);
  EXPECT_EQ(image.ViewInWindow(MappedImage::kWindowBytes + 10, 10), nullptr);
  // The earlier view is still mapped.
  EXPECT_EQ(view[512], bytes_[512]);
}

TEST_F(MappedImageTest, ALentRegionServesViewsAndOutlivesWindowMoves) {
  MappedImage image;
  ASSERT_TRUE(image.Attach(fd_));
  const uint64_t start = 8192;
  const auto region = MappedRegion::Map(fd_, start, 4 * 4096, true);
  image.Lend(region.get());
  const uint8_t* lent = image.LentView(start, 4 * 4096);
  ASSERT_NE(lent, nullptr);
  EXPECT_EQ(std::memcmp(lent, bytes_.data() + start, 4 * 4096), 0);
  // Exactly its end is inside, one byte past or before it is not.
  EXPECT_NE(image.LentView(start + 4 * 4096 - 1, 1), nullptr);
  EXPECT_EQ(image.LentView(start + 4 * 4096 - 1, 2), nullptr);
  EXPECT_EQ(image.LentView(start - 1, 1), nullptr);
  EXPECT_EQ(image.View(start + 512, 512), lent + 512);
  EXPECT_EQ(image.ViewInWindow(start + 512, 512), lent + 512);
  // Moving the own window far away leaves views of the lent region mapped.
  ASSERT_NE(image.View(MappedImage::kWindowBytes + 4096, 512), nullptr);
  EXPECT_EQ(lent[4096], bytes_[start + 4096]);
  image.Lend(nullptr);
  EXPECT_EQ(image.LentView(start, 1), nullptr);
  const uint8_t* own = image.View(start, 512);
  ASSERT_NE(own, nullptr);
  EXPECT_EQ(std::memcmp(own, bytes_.data() + start, 512), 0);
}

TEST_F(MappedImageTest, OnlyRegularFilesAreMapped) {
  MappedImage image;
  const int null_device = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  EXPECT_FALSE(image.Attach(null_device));
  EXPECT_EQ(image.View(0, 1), nullptr);
  EXPECT_EQ(MappedRegion::Map(null_device, 0, 512, false), nullptr);
  ::close(null_device);
  EXPECT_EQ(MappedRegion::Map(fd_, bytes_.size() - 10, 11, false), nullptr);
}

TEST_F(MappedImageTest, AFileTruncatedUnderItsMappingReadsZerosAndIsCounted) {
  MappedImage image;
  ASSERT_TRUE(image.Attach(fd_));
  const uint64_t far = 8u << 20;
  const uint8_t* view = image.View(far, 512);
  ASSERT_NE(view, nullptr);
  const uint64_t before = MappedFileShrinks();
  ASSERT_EQ(::truncate(path_.c_str(), 1 << 20), 0);  // another program cuts the image
  // Past the new end the bytes are gone: zeros and a count instead of a dead process.
  uint32_t sum = 0;
  for (int i = 0; i < 512; ++i) sum += view[i];
  EXPECT_EQ(sum, 0u);
  EXPECT_EQ(MappedFileShrinks(), before + 1);
  for (int i = 0; i < 512; ++i) sum += view[i];
  EXPECT_EQ(MappedFileShrinks(), before + 1) << "a page is replaced once";
}

}  // namespace
}  // namespace velmora
