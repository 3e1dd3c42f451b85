#include "ntfs/data_runs.h"

#include <gtest/gtest.h>

namespace velmora::ntfs {
namespace {

std::vector<DataRun> Decode(std::vector<uint8_t> pairs, RunDecodeResult expected,
                            uint64_t limit = 0, uint64_t start_vcn = 0) {
  std::vector<DataRun> runs;
  EXPECT_EQ(DecodeDataRuns(pairs, start_vcn, limit, &runs), expected);
  return runs;
}

TEST(DataRunsTest, DecodesRelativeOffsetsIntoAbsoluteClusters) {
  // 0x18 clusters at 0x5634, then 0x10 clusters 0x100 clusters back (negative delta).
  const auto runs =
      Decode({0x21, 0x18, 0x34, 0x56, 0x21, 0x10, 0x00, 0xFF, 0x00}, RunDecodeResult::kComplete);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].vcn, 0u);
  EXPECT_EQ(runs[0].length, 0x18u);
  EXPECT_EQ(runs[0].lcn, 0x5634u);
  EXPECT_EQ(runs[1].vcn, 0x18u);
  EXPECT_EQ(runs[1].lcn, 0x5534u);
  EXPECT_EQ(TotalClusters(runs), 0x28u);
}

TEST(DataRunsTest, PairWithoutOffsetIsAHoleAndDoesNotMoveTheBase) {
  const auto runs = Decode({0x11, 0x04, 0x20, 0x01, 0x08, 0x11, 0x02, 0x10, 0x00},
                           RunDecodeResult::kComplete, 0, 100);
  ASSERT_EQ(runs.size(), 3u);
  EXPECT_EQ(runs[0].vcn, 100u);
  EXPECT_EQ(runs[1].kind, RunKind::kSparse);
  EXPECT_EQ(runs[1].length, 8u);
  EXPECT_EQ(runs[2].kind, RunKind::kAllocated);
  EXPECT_EQ(runs[2].lcn, 0x30u);  // relative to the last real run, not to the hole
  EXPECT_EQ(runs[2].vcn, 112u);
}

TEST(DataRunsTest, MalformedPairsStopDecodingAndKeepEarlierRuns) {
  // Offset field runs past the end of the mapping pairs.
  auto runs = Decode({0x11, 0x04, 0x20, 0x31, 0x01, 0x02}, RunDecodeResult::kTruncated);
  EXPECT_EQ(runs.size(), 1u);
  // No terminating zero.
  runs = Decode({0x11, 0x04, 0x20}, RunDecodeResult::kTruncated);
  EXPECT_EQ(runs.size(), 1u);
  // A negative delta that would move before cluster 0.
  runs = Decode({0x11, 0x04, 0x20, 0x11, 0x01, 0xC0, 0x00}, RunDecodeResult::kTruncated);
  EXPECT_EQ(runs.size(), 1u);
  // Length field of zero bytes or of zero value.
  Decode({0x10, 0x20, 0x00}, RunDecodeResult::kTruncated);
  Decode({0x11, 0x00, 0x20, 0x00}, RunDecodeResult::kTruncated);
  // Field sizes above eight bytes.
  Decode({0x91, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, RunDecodeResult::kTruncated);
}

TEST(DataRunsTest, RunsPastTheVolumeEndAreRejected) {
  Decode({0x11, 0x10, 0x20, 0x00}, RunDecodeResult::kComplete, 0x30);
  EXPECT_TRUE(Decode({0x11, 0x11, 0x20, 0x00}, RunDecodeResult::kTruncated, 0x30).empty());
  EXPECT_TRUE(Decode({0x11, 0x01, 0x30, 0x00}, RunDecodeResult::kTruncated, 0x30).empty());
}

}  // namespace
}  // namespace velmora::ntfs
