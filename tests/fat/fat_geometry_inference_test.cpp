#include "fat/fat_geometry_inference.h"

#include <gtest/gtest.h>

#include <random>

namespace velmora {
namespace {

TEST(FatGeometryInference, TwoDirectoryStartsGiveClusterSizeAndDataStart) {
  DeepFatGeometry geometry;
  ASSERT_TRUE(GeometryFromTwoStarts({5, 1000}, {9, 1032}, 0, &geometry));
  EXPECT_EQ(geometry.sectors_per_cluster, 8u);
  EXPECT_EQ(geometry.first_data_sector, 976u);
  // Order of the two samples does not matter; the volume start is subtracted.
  ASSERT_TRUE(GeometryFromTwoStarts({9, 1032}, {5, 1000}, 900, &geometry));
  EXPECT_EQ(geometry.first_data_sector, 76u);
  EXPECT_EQ(geometry.volume_start, 900u);
  uint64_t sector = 0;
  ASSERT_TRUE(geometry.ClusterStart(5, &sector));
  EXPECT_EQ(sector, 1000u);
  uint32_t cluster = 0;
  ASSERT_TRUE(geometry.IsClusterStart(1032, &cluster));
  EXPECT_EQ(cluster, 9u);
  EXPECT_FALSE(geometry.IsClusterStart(1033, &cluster));
  ASSERT_TRUE(geometry.ClusterContaining(1039, &cluster));
  EXPECT_EQ(cluster, 9u);
}

TEST(FatGeometryInference, PairsThatFitNoLayoutAreRefused) {
  DeepFatGeometry geometry;
  EXPECT_FALSE(GeometryFromTwoStarts({5, 1000}, {9, 1024}, 0, &geometry)) << "6 sectors/cluster";
  EXPECT_FALSE(GeometryFromTwoStarts({5, 1000}, {8, 1010}, 0, &geometry)) << "remainder";
  EXPECT_FALSE(GeometryFromTwoStarts({5, 1000}, {6, 1256}, 0, &geometry)) << "256 > 128";
  EXPECT_FALSE(GeometryFromTwoStarts({5, 1000}, {5, 2000}, 0, &geometry)) << "same cluster";
  EXPECT_FALSE(GeometryFromTwoStarts({9, 1000}, {5, 1032}, 0, &geometry)) << "higher cluster first";
  EXPECT_FALSE(GeometryFromTwoStarts({1000, 10}, {1001, 18}, 0, &geometry))
      << "data area would begin before sector 0";
  EXPECT_FALSE(GeometryFromTwoStarts({5, 1000}, {9, 1032}, 980, &geometry))
      << "data area before the volume start";
}

TEST(FatGeometryInference, RootRegionIsClusterZeroInFrontOfTheDataArea) {
  DeepFatGeometry geometry;
  geometry.sectors_per_cluster = 4;
  geometry.first_data_sector = 100;
  geometry.volume_start = 0;
  geometry.root_region_sectors = 14;  // FAT12 floppy: 224 root entries
  uint64_t sector = 0;
  ASSERT_TRUE(geometry.ClusterStart(0, &sector));
  EXPECT_EQ(sector, 86u);
  uint32_t cluster = 99;
  ASSERT_TRUE(geometry.IsClusterStart(86, &cluster));
  EXPECT_EQ(cluster, 0u);
  ASSERT_TRUE(geometry.ClusterContaining(99, &cluster));
  EXPECT_EQ(cluster, 0u);
  EXPECT_FALSE(geometry.ClusterContaining(85, &cluster));
  EXPECT_FALSE(geometry.ClusterStart(1, &sector));
}

TEST(FatGeometryList, SecondStartAddsTheLayoutThatExplainsBoth) {
  FatGeometryList list;
  EXPECT_LT(list.AddSample({5, 1000}, 0), 0);
  const int index = list.AddSample({9, 1032}, 0);
  ASSERT_EQ(index, 0);
  EXPECT_EQ(list.FindExplaining(5, 1000), 0);
  EXPECT_EQ(list.FindExplaining(12, 1056), 0);
  EXPECT_EQ(list.FindExplaining(12, 1057), -1);
  // The same layout found again is not listed twice.
  list.AddSample({20, 1120}, 0);
  list.AddSample({21, 1128}, 0);
  EXPECT_EQ(list.Count(), 1);
}

TEST(FatGeometryList, RandomDirectoryStartsStayWithinTheBounds) {
  FatGeometryList list;
  std::mt19937_64 random(7);
  for (int i = 0; i < 12000; ++i) {
    list.AddSample({static_cast<uint32_t>(random() % 100000 + 2), random() % 10000000}, 0);
  }
  EXPECT_LE(list.SampleCount(), FatGeometryList::kMaxSamples);
  EXPECT_LE(static_cast<size_t>(list.Count()), FatGeometryList::kMaxGeometries);
  EXPECT_GT(list.Count(), 0) << "random pairs do fit layouts now and then";
}

TEST(FatGeometryList, NearestBelowPrefersInferredLayouts) {
  FatGeometryList list;
  DeepFatGeometry boot;
  boot.sectors_per_cluster = 8;
  boot.first_data_sector = 500;
  boot.from_boot_sector = true;
  list.Add(boot);
  DeepFatGeometry low;
  low.sectors_per_cluster = 1;
  low.first_data_sector = 100;
  list.Add(low);
  DeepFatGeometry high;
  high.sectors_per_cluster = 2;
  high.first_data_sector = 2000;
  list.Add(high);
  EXPECT_EQ(list.NearestBelow(1500), 1) << "the boot layout at 500 is nearer but left out";
  EXPECT_EQ(list.NearestBelow(5000), 2);
  EXPECT_EQ(list.NearestBelow(50), 0) << "none below: the first layout";
}

}  // namespace
}  // namespace velmora
