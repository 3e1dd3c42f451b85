#include "app/size_text.h"

#include <gtest/gtest.h>

namespace velmora::app {
namespace {

TEST(FormatSize, UnitBoundaries) {
  EXPECT_EQ(FormatSize(0), "0 Bytes");
  EXPECT_EQ(FormatSize(1023), "1023 Bytes");
  EXPECT_EQ(FormatSize(1024), "1.00 KB");
  EXPECT_EQ(FormatSize(1536), "1.50 KB");
  EXPECT_EQ(FormatSize((1LL << 20) - 1), "1024.00 KB");
  EXPECT_EQ(FormatSize(1LL << 20), "1.00 MB");
  EXPECT_EQ(FormatSize(1LL << 30), "1.00 GB");
  EXPECT_EQ(FormatSize(1LL << 40), "1.00 TB");
  EXPECT_EQ(FormatSize(5LL << 50), "5120.00 TB");
}

TEST(FormatSize, CommandLineNamesBinaryUnits) {
  EXPECT_EQ(FormatSizeIec(1023), "1023 bytes");
  EXPECT_EQ(FormatSizeIec(1024), "1.00 KiB");
  EXPECT_EQ(FormatSizeIec((1LL << 20) - 1), "1024.00 KiB");
  EXPECT_EQ(FormatSizeIec(16LL << 20), "16.00 MiB");
  EXPECT_EQ(FormatSizeIec(1LL << 40), "1.00 TiB");
}

TEST(FormatSize, NegativeAndHugeCountsStayWhole) {
  EXPECT_EQ(FormatSize(-1), "-1 Bytes");
  // Byte counts beyond 32 bits are not cut to an int.
  EXPECT_EQ(FormatSize(INT64_MIN), "-9223372036854775808 Bytes");
}

TEST(FormatDuration, TruncatesAndSwitchesUnits) {
  EXPECT_EQ(FormatDuration(0), "0 Sec");
  EXPECT_EQ(FormatDuration(59), "59 Sec");
  EXPECT_EQ(FormatDuration(60), "1 Min 0 Sec");
  EXPECT_EQ(FormatDuration(3599), "59 Min 59 Sec");
  EXPECT_EQ(FormatDuration(3600), "1 Hour 0 Min");
  EXPECT_EQ(FormatDuration(3600 + 59), "1 Hour 0 Min");
  EXPECT_EQ(FormatDuration(100 * 3600 + 61), "100 Hour 1 Min");
  EXPECT_EQ(FormatDuration(-5), "-5 Sec");
}

}  // namespace
}  // namespace velmora::app
