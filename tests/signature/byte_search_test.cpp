// The byte searches behind footers, markers and structure tests.
#include "signature/byte_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "signature/identify_walk.h"

namespace velmora {
namespace {

const uint8_t* Bytes(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

TEST(ByteSearchTest, FindHonoursTheStartAndTheEnd) {
  const std::string text = "%%EOF..%%EO%%EOF";
  EXPECT_EQ(bytes::Find(Bytes(text), text.size(), "%%EOF"), 0u);
  EXPECT_EQ(bytes::Find(Bytes(text), text.size(), "%%EOF", 1), 11u);  // ends exactly at the end
  EXPECT_EQ(bytes::Find(Bytes(text), text.size() - 1, "%%EOF", 1), bytes::kNotFound);
  EXPECT_EQ(bytes::Find(Bytes(text), text.size(), "%%EOF", text.size()), bytes::kNotFound);
  EXPECT_EQ(bytes::Find(Bytes(text), 3, "%%EOF"), bytes::kNotFound);
}

TEST(ByteSearchTest, FindAgreesWithAPlainSearchOnSparseAndDenseData) {
  // Alphabets of 2 to 256 letters: dense ones fill the data with false starts of the pattern
  // (the search then changes its way), sparse ones hardly have any.
  uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u, seed >> 16; };
  for (uint32_t letters : {2u, 3u, 16u, 256u}) {
    for (int round = 0; round < 40; ++round) {
      std::string data(1 + next() % 3000, '\0');
      for (char& c : data) c = static_cast<char>('A' + next() % letters);
      std::string pattern(1 + next() % 5, '\0');
      for (char& c : pattern) c = static_cast<char>('A' + next() % letters);
      const size_t from = next() % (data.size() + 1);
      const auto it = std::search(data.begin() + static_cast<std::ptrdiff_t>(from), data.end(),
                                  pattern.begin(), pattern.end());
      const size_t expected =
          it == data.end() ? bytes::kNotFound : static_cast<size_t>(it - data.begin());
      EXPECT_EQ(bytes::Find(Bytes(data), data.size(), pattern, from), expected)
          << letters << " letters, round " << round;
    }
  }
}

TEST(ByteSearchTest, FindLastTakesOnlyStartsBeforeTheLimit) {
  const std::string text = "PK\x05\x06PPK\x05\x06PK\x05";
  EXPECT_EQ(bytes::FindLast(Bytes(text), text.size(), "PK\x05\x06"), 5u);
  // A match starting at `before` is excluded, one starting just before it is found.
  EXPECT_EQ(bytes::FindLast(Bytes(text), text.size(), "PK\x05\x06", 5), 0u);
  EXPECT_EQ(bytes::FindLast(Bytes(text), text.size(), "PK\x05\x06", 6), 5u);
  EXPECT_EQ(bytes::FindLast(Bytes(text), text.size(), "PK\x05\x06", 0), bytes::kNotFound);
  // The partial match at the very end does not count; a pattern of repeated first bytes does.
  const std::string run(9, '%');
  EXPECT_EQ(bytes::FindLast(Bytes(run), run.size(), "%%"), 7u);
  EXPECT_EQ(bytes::FindLast(Bytes(run), 1, "%%"), bytes::kNotFound);
}

TEST(ByteSearchTest, AllZeroLooksAtEveryByte) {
  std::string zeros(512, '\0');
  EXPECT_TRUE(bytes::AllZero(Bytes(zeros), zeros.size()));
  EXPECT_TRUE(bytes::AllZero(Bytes(zeros), 0));
  zeros[511] = 1;
  EXPECT_FALSE(bytes::AllZero(Bytes(zeros), zeros.size()));
  EXPECT_TRUE(bytes::AllZero(Bytes(zeros), 511));
  zeros[0] = 1;
  EXPECT_FALSE(bytes::AllZero(Bytes(zeros), 1));
}

TEST(IdentifyPrefilterTest, RowsForAnyFirstByteAreAskedOnlyWhenTheirSignatureCanBeThere) {
  std::string sector(512, 'q');  // 'q' starts no row of its own
  EXPECT_FALSE(MayIdentify(Bytes(sector), sector.size()));
  // The package name at 31 needs all 19 bytes inside the buffer: 50 bytes, not 49.
  sector.replace(31, 19, "[Content_Types].xml");
  EXPECT_TRUE(MayIdentify(Bytes(sector), 50));
  EXPECT_FALSE(MayIdentify(Bytes(sector), 49));
  std::string box(512, 'q');
  box.replace(4, 4, "ftyp");
  EXPECT_TRUE(MayIdentify(Bytes(box), box.size()));
  EXPECT_FALSE(MayIdentify(Bytes(box), 7));
}

}  // namespace
}  // namespace velmora
