#include "storage/byte_view.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace velmora {
namespace {

// Reads exactly at the end fit; one byte further gives nothing, for every width.
TEST(ByteViewTest, ReadsStopAtTheLastWholeValue) {
  const std::array<uint8_t, 8> bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
  const ByteView view(bytes);
  EXPECT_EQ(view.U8(7), 0x08);
  EXPECT_FALSE(view.U8(8));
  EXPECT_EQ(view.Le16(6), 0x0807);
  EXPECT_FALSE(view.Le16(7));
  EXPECT_EQ(view.Le24(5), 0x080706u);
  EXPECT_FALSE(view.Le24(6));
  EXPECT_EQ(view.Le32(4), 0x08070605u);
  EXPECT_FALSE(view.Le32(5));
  EXPECT_EQ(view.Le64(0), 0x0807060504030201u);
  EXPECT_FALSE(view.Le64(1));
  EXPECT_EQ(view.Be16(6), 0x0708);
  EXPECT_EQ(view.Be24(5), 0x060708u);
  EXPECT_EQ(view.Be32(4), 0x05060708u);
  EXPECT_EQ(view.Be64(0), 0x0102030405060708u);
  EXPECT_FALSE(view.Be64(1));
  EXPECT_EQ(view.U16(0, true), 0x0102u);
  EXPECT_EQ(view.U32(0, false), 0x04030201u);
  EXPECT_EQ(view.LeN(5, 3), 0x080706u);
  EXPECT_FALSE(view.LeN(6, 3));
  EXPECT_FALSE(view.LeN(0, 0));
  EXPECT_FALSE(view.LeN(0, 9));
}

// Offsets near SIZE_MAX must not wrap around into the buffer.
TEST(ByteViewTest, HugeOffsetsAndCountsAreRefused) {
  const std::vector<uint8_t> bytes(16, 0xAB);
  const ByteView view(bytes);
  EXPECT_FALSE(view.Le32(SIZE_MAX - 1));
  EXPECT_FALSE(view.Has(1, SIZE_MAX));
  EXPECT_FALSE(view.Has(SIZE_MAX, 1));
  EXPECT_TRUE(view.Has(16, 0));
  EXPECT_FALSE(view.Has(17, 0));
  EXPECT_FALSE(view.Matches(SIZE_MAX, "x"));
  EXPECT_TRUE(view.Sub(8, SIZE_MAX).empty());
  EXPECT_TRUE(view.From(17).empty());
}

TEST(ByteViewTest, SubViewsAndMatchesKeepTheirBounds) {
  const std::string_view text = "NTFS    \x55\xAA";
  const ByteView whole({reinterpret_cast<const uint8_t*>(text.data()), text.size()});
  EXPECT_TRUE(whole.Matches(0, "NTFS"));
  EXPECT_FALSE(whole.Matches(8, {"\x55\xAA\x00", 3}));  // one byte past the end
  const ByteView tail = whole.Sub(8, 2);
  ASSERT_EQ(tail.size(), 2u);
  EXPECT_EQ(tail.Le16(0), 0xAA55);
  EXPECT_FALSE(tail.U8(2));  // the sub-view ends where it was cut, not where the buffer does
  EXPECT_TRUE(whole.Sub(9, 2).empty());
  EXPECT_EQ(whole.From(8).size(), 2u);
  EXPECT_TRUE(ByteView().empty());
  EXPECT_FALSE(ByteView().U8(0));
}

}  // namespace
}  // namespace velmora
