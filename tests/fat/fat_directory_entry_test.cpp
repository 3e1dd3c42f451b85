// Short names, long-name pieces and their checks, on hand-made entries.
#include "fat/fat_directory_entry.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace velmora {
namespace {

using Entry = std::array<uint8_t, 32>;

Entry ShortEntry(const char name11[12], uint8_t attributes = kFatAttrArchive,
                 uint8_t case_flags = 0) {
  Entry e{};
  std::memcpy(e.data(), name11, 11);
  e[11] = attributes;
  e[12] = case_flags;
  return e;
}

// Pieces of `name` for `short_entry`, in disk order (last piece first).
std::vector<Entry> LongPieces(const std::u16string& name, const Entry& short_entry) {
  std::u16string padded = name;
  if (padded.size() % 13 != 0) padded.push_back(u'\0');
  while (padded.size() % 13 != 0) padded.push_back(u'\xFFFF');
  const size_t count = padded.size() / 13;
  const uint8_t checksum = ShortNameChecksum(short_entry.data());
  static constexpr uint8_t kOffsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  std::vector<Entry> pieces;
  for (size_t n = count; n >= 1; --n) {
    Entry e{};
    e[0] = static_cast<uint8_t>(n | (n == count ? 0x40 : 0));
    e[11] = kFatAttrLongName;
    e[13] = checksum;
    for (size_t i = 0; i < 13; ++i) {
      const char16_t unit = padded[(n - 1) * 13 + i];
      e[kOffsets[i]] = static_cast<uint8_t>(unit & 0xFF);
      e[kOffsets[i] + 1] = static_cast<uint8_t>(unit >> 8);
    }
    pieces.push_back(e);
  }
  return pieces;
}

std::string Collect(const std::vector<Entry>& pieces, const Entry& short_entry) {
  LongNameCollector collector;
  for (const Entry& piece : pieces) collector.Add(piece.data());
  return collector.NameFor(short_entry.data());
}

TEST(ShortEntryNameTest, CaseFlagsDeletionMarkAndCodePage) {
  EXPECT_EQ(ShortEntryName(ShortEntry("README  TXT").data()), "README.TXT");
  EXPECT_EQ(ShortEntryName(ShortEntry("README  TXT", kFatAttrArchive, 0x08).data()), "readme.TXT");
  EXPECT_EQ(ShortEntryName(ShortEntry("README  TXT", kFatAttrArchive, 0x18).data()), "readme.txt");
  EXPECT_EQ(ShortEntryName(ShortEntry("\xE5"
                                      "BC     TXT")
                               .data()),
            "!BC.TXT");
  // A real first character 0xE5 is stored as 0x05: code page 437 reads it as sigma.
  EXPECT_EQ(ShortEntryName(ShortEntry("\x05"
                                      "BC     TXT")
                               .data()),
            "\xCF\x83"
            "BC.TXT");
  EXPECT_EQ(ShortEntryName(ShortEntry("CAF\x82    TXT").data()), "CAF\xC3\xA9.TXT");
  // Directories keep their extension too.
  EXPECT_EQ(ShortEntryName(ShortEntry("\xE5OCS    OLD", kFatAttrDirectory).data()), "!OCS.OLD");
  EXPECT_EQ(ShortEntryName(ShortEntry("NOEXT      ").data()), "NOEXT");
}

TEST(LongNameCollectorTest, LivePiecesMustMatchTheirShortEntry) {
  const Entry owner = ShortEntry("LONGFI~1TXT");
  const std::u16string name = u"Long file name with ü.txt";
  EXPECT_EQ(Collect(LongPieces(name, owner), owner), "Long file name with \xC3\xBC.txt");
  // The same pieces in front of another short entry are not its name.
  EXPECT_EQ(Collect(LongPieces(name, owner), ShortEntry("OTHER   TXT")), "");
  // A missing piece breaks the sequence.
  auto pieces = LongPieces(name, owner);
  pieces.erase(pieces.begin());
  EXPECT_EQ(Collect(pieces, owner), "");
}

TEST(LongNameCollectorTest, DeletedPiecesAreCheckedByStructure) {
  const Entry owner = ShortEntry("LONGFI~1TXT");
  auto pieces = LongPieces(u"Deleted long name.txt", owner);
  for (Entry& piece : pieces) piece[0] = kFatDeletedMarker;
  Entry deleted = owner;
  deleted[0] = kFatDeletedMarker;
  EXPECT_EQ(Collect(pieces, deleted), "Deleted long name.txt");
  // Pieces of two different names mixed: their checksums differ.
  auto other = LongPieces(u"Another name entirely.bin", ShortEntry("ANOTHE~1BIN"));
  other[0][0] = kFatDeletedMarker;
  std::vector<Entry> mixed = {other[0], pieces[1]};
  EXPECT_EQ(Collect(mixed, deleted), "");
  // The terminator may only sit in the last piece of the name.
  std::swap(pieces[0], pieces[1]);
  EXPECT_EQ(Collect(pieces, deleted), "");
}

TEST(LongNameCollectorTest, DeletedNamesAcceptOnlyALegalLostFirstByte) {
  // Every possible first byte of the short name the deleted pieces were made for: the name is
  // taken exactly when that byte could begin a short name.
  const std::string illegal = "\"*+,./:;<=>?[\\]| ";
  for (int b = 0; b < 256; ++b) {
    Entry owner = ShortEntry("XONGFI~1TXT");
    owner[0] = static_cast<uint8_t>(b);
    auto pieces = LongPieces(u"Deleted long name.txt", owner);
    for (Entry& piece : pieces) piece[0] = kFatDeletedMarker;
    Entry deleted = owner;
    deleted[0] = kFatDeletedMarker;
    const bool legal = b >= 0x20 && !(b >= 'a' && b <= 'z') &&
                       illegal.find(static_cast<char>(b)) == std::string::npos;
    EXPECT_EQ(Collect(pieces, deleted).empty(), !legal) << "first byte " << b;
  }
}

TEST(LongNameCollectorTest, TwentyPiecesAreTheLongestNameAndMoreStartAgain) {
  const Entry owner = ShortEntry("LLLLLL~1TXT");
  const std::u16string longest(255, u'L');
  const auto pieces = LongPieces(longest, owner);
  ASSERT_EQ(pieces.size(), 20u);
  EXPECT_EQ(Collect(pieces, owner), std::string(255, 'L'));
  LongNameCollector collector;
  for (int i = 0; i < 25; ++i) collector.Add(pieces[0].data());
  EXPECT_LE(collector.PieceCount(), LongNameCollector::kMaxPieces);
}

}  // namespace
}  // namespace velmora
