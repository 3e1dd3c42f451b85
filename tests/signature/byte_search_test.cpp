// The byte searches behind footers, markers and structure tests.
#include "signature/byte_search.h"

#include <gtest/gtest.h>

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
