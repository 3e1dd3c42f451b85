#include "ntfs/cluster_bitmap.h"

#include <gtest/gtest.h>

namespace velmora::ntfs {
namespace {

// Clusters 0-9 used, 10-19 free, 20-23 used, then 24-63 free; 8 sectors per cluster.
ClusterBitmap Sample() {
  ClusterBitmap bitmap;
  bitmap.Assign({0xFF, 0x03, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00}, 8);
  return bitmap;
}

TEST(ClusterBitmapTest, FreeRangesFollowTheBits) {
  const ClusterBitmap bitmap = Sample();
  uint64_t position = 0;
  uint64_t length = 0;
  bitmap.NextFreeRange(8, 1000, &position, &length);
  EXPECT_EQ(position, 80u);
  EXPECT_EQ(length, 80u);
  position += length;
  bitmap.NextFreeRange(8, 1000, &position, &length);
  EXPECT_EQ(position, 192u);
  EXPECT_EQ(length, 512u - 192u);
  // Inside a free run the position stays where it is.
  position = 100;
  bitmap.NextFreeRange(8, 1000, &position, &length);
  EXPECT_EQ(position, 100u);
  EXPECT_EQ(length, 160u - 96u);
}

TEST(ClusterBitmapTest, RangesStopAtTheVolumeEndAndTheLoopAlwaysEnds) {
  const ClusterBitmap bitmap = Sample();
  uint64_t position = 192;
  uint64_t length = 0;
  bitmap.NextFreeRange(8, 300, &position, &length);
  EXPECT_EQ(length, 300u - 192u);
  position = 300;
  bitmap.NextFreeRange(8, 300, &position, &length);
  EXPECT_EQ(position, 300u);
  EXPECT_EQ(length, 0u);

  ClusterBitmap full;
  full.Assign({0xFF, 0xFF}, 2);
  position = 3;
  full.NextFreeRange(8, 128, &position, &length);
  EXPECT_EQ(position, 128u);  // nothing free: jump to the end instead of staying put
  EXPECT_EQ(length, 0u);
}

}  // namespace
}  // namespace velmora::ntfs
