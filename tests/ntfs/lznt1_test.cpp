#include "ntfs/lznt1.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora::ntfs {
namespace {

std::string Text(const std::vector<uint8_t>& out, size_t n) {
  return std::string(reinterpret_cast<const char*>(out.data()), n);
}

TEST(Lznt1Test, BackReferencesRepeatEarlierOutput) {
  // "abc" then a reference 3 back, 6 long (may overlap itself).
  const std::vector<uint8_t> in = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x03, 0x20, 0x00, 0x00};
  std::vector<uint8_t> out(16, 0xEE);
  size_t produced = 0;
  ASSERT_TRUE(DecompressLznt1(in, out, &produced));
  EXPECT_EQ(produced, 9u);
  EXPECT_EQ(Text(out, 9), "abcabcabc");
  EXPECT_EQ(out[9], 0xEE);  // nothing written past the data
}

TEST(Lznt1Test, StoredChunksAreCopiedAndShortChunksPadToFullSize) {
  // A compressed chunk of 2 literals followed by a stored chunk: the first stands for 4096 bytes.
  std::vector<uint8_t> in = {0x02, 0xB0, 0x00, 'x', 'y', 0x02, 0x30, 'p', 'q', 'r'};
  std::vector<uint8_t> out(8192, 0xEE);
  size_t produced = 0;
  ASSERT_TRUE(DecompressLznt1(in, out, &produced));
  EXPECT_EQ(produced, 4099u);
  EXPECT_EQ(Text(out, 2), "xy");
  EXPECT_EQ(out[2], 0);
  EXPECT_EQ(out[4095], 0);
  EXPECT_EQ(Text(std::vector<uint8_t>(out.begin() + 4096, out.end()), 3), "pqr");
}

TEST(Lznt1Test, DamagedInputIsRefusedWithoutWritingOutOfBounds) {
  size_t produced = 0;
  // Reference before the start of the chunk.
  std::vector<uint8_t> out(16, 0);
  EXPECT_FALSE(
      DecompressLznt1(std::vector<uint8_t>{0x03, 0xB0, 0x02, 'a', 0x03, 0x30}, out, &produced));
  // Reference at position 0.
  EXPECT_FALSE(DecompressLznt1(std::vector<uint8_t>{0x02, 0xB0, 0x01, 0x00, 0x00}, out, &produced));
  // Chunk longer than the input.
  EXPECT_FALSE(DecompressLznt1(std::vector<uint8_t>{0x20, 0xB0, 0x00, 'a'}, out, &produced));
  // Output buffer smaller than the reference's length.
  std::vector<uint8_t> tiny(5, 0);
  const std::vector<uint8_t> in = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x03, 0x20};
  EXPECT_FALSE(DecompressLznt1(in, tiny, &produced));
  EXPECT_LE(produced, tiny.size());
}

}  // namespace
}  // namespace velmora::ntfs
