#include "engine/scan_log_store.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/categories.h"
#include "engine/recovery_output.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "support/test_env.h"

namespace velmora {
namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

class ScanLogStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = testing::MakeTempDir("store") + "/7/"; }
  void TearDown() override { testing::RemoveTree(folder_.substr(0, folder_.size() - 3)); }

  // Appends one record the way an engine does and registers it under its parent.
  uint32_t Add(ScanLogStore* store, const std::string& name, uint32_t parent, uint32_t depth,
               bool directory = false, uint32_t object_id = 0, uint32_t content_check = 1) {
    ScanRecord record{};
    record.drive_tag = u'E';
    record.is_directory = directory ? 1 : 0;
    record.content_check = content_check;
    record.object_id = object_id;
    record.size = name.size() * 100;
    SetRecordName(&record, name);
    EXPECT_EQ(store->AppendRecord(&record), 0);
    const uint32_t index = record.record_index;
    store->AddRelation(parent, depth, index, object_id, directory ? name.c_str() : nullptr);
    return index;
  }

  std::string folder_;
};

TEST_F(ScanLogStoreTest, RecordsRoundTripByIndexAcrossBatches) {
  ScanLogStore store;
  ASSERT_EQ(store.OpenIn(folder_, "Fast_0_2026379 5"), 0);
  for (int i = 1; i <= 201; ++i) Add(&store, "f" + std::to_string(i) + ".txt", 5, 0);
  // One full batch of 200 reached the file during the scan; record 201 waits for the flush.
  EXPECT_EQ(ReadText(store.MainPath()).size(), 200u * sizeof(ScanRecord));
  ASSERT_EQ(store.Flush(), 0);
  EXPECT_EQ(ReadText(store.MainPath()).size(), 201u * sizeof(ScanRecord));
  EXPECT_EQ(store.GetRecordCount(), 201u);

  ScanRecord record;
  ASSERT_EQ(store.ReadRecord(137, &record), 0);
  EXPECT_EQ(record.record_index, 137u);
  EXPECT_EQ(RecordName(record), "f137.txt");
  EXPECT_EQ(record.drive_tag, u'E');
  EXPECT_NE(store.ReadRecord(202, &record), 0);
  EXPECT_NE(store.ReadRecord(0, &record), 0);
}

TEST_F(ScanLogStoreTest, SideFilesUseTheTextAndBinaryFormats) {
  ScanLogStore store;
  ASSERT_EQ(store.OpenIn(folder_, "log"), 0);
  Add(&store, "a.txt", 5, 0);
  Add(&store, "b.txt", 5, 0);
  Add(&store, "docs", 5, 0, true, 40);
  Add(&store, "c.txt", 40, 1);
  Add(&store, "d.txt", 40, 1);
  Add(&store, "e.txt", 5, 0);
  ASSERT_EQ(store.Flush(), 0);
  EXPECT_EQ(ReadText(folder_ + "log_Relation"), " | 5 - [1,2,3,6] | 4294967336 - [4,5]");
  const std::string dirinfo = ReadText(folder_ + "log_DirInfo");
  ASSERT_EQ(dirinfo.size(), 268u);
  DirectoryEntry entry;
  std::memcpy(&entry, dirinfo.data(), sizeof(entry));
  EXPECT_EQ(entry.object_id, 40u);
  EXPECT_EQ(entry.record_index, 3u);
  EXPECT_STREQ(entry.name, "docs");
}

TEST_F(ScanLogStoreTest, FlushWritesSideFilesOnlyWhenTheyChanged) {
  ScanLogStore store;
  ASSERT_EQ(store.OpenIn(folder_, "log"), 0);
  Add(&store, "docs", 5, 0, true, 40);
  Add(&store, "a.txt", 40, 1);
  ASSERT_EQ(store.Flush(), 0);
  // Queries flush first; with nothing new they must leave the side files alone (listing a
  // large result flushes once per path), which a marker written behind the store shows.
  const std::string marker = " | 9 - [9]";
  {
    std::ofstream out(folder_ + "log_Relation", std::ios::binary | std::ios::trunc);
    out << marker;
  }
  std::string path;
  ASSERT_EQ(store.FullPath(ScanRecord{}, &path), 0);
  ASSERT_EQ(store.Flush(), 0);
  EXPECT_EQ(ReadText(folder_ + "log_Relation"), marker);

  // A new relation and a new directory: the text is rewritten whole, the directory list
  // grows by the new entry after the ones already written.
  Add(&store, "more", 40, 1, true, 41);
  ASSERT_EQ(store.Flush(), 0);
  EXPECT_EQ(ReadText(folder_ + "log_Relation"), " | 5 - [1] | 4294967336 - [2,3]");
  const std::string dirinfo = ReadText(folder_ + "log_DirInfo");
  ASSERT_EQ(dirinfo.size(), 2 * sizeof(DirectoryEntry));
  DirectoryEntry second;
  std::memcpy(&second, dirinfo.data() + sizeof(DirectoryEntry), sizeof(second));
  EXPECT_EQ(second.object_id, 41u);
  EXPECT_STREQ(second.name, "more");
}

TEST(SortForListingTest, EqualNamesEndInTheOrderARecordSortGives) {
  // Many equal names (case aside) so that the unstable sort's own order shows.
  ScanRecordList records;
  for (uint32_t i = 0; i < 300; ++i) {
    ScanRecord record{};
    record.record_index = i;
    record.is_directory = i % 7 == 0;
    // Prefixes, bytes between the cases ("[", "_") and UTF-8 bytes above 0x7F among them.
    // Long names equal in their first eight bytes, and names of exactly eight.
    static const char* const kNames[] = {
        "Same.txt", "same.TXT", "x", "[x]", "_a", "A", "\xC3\xA4.txt", "\xC3\x84.TXT", "Same.tx",
        "Holiday_2024.jpg", "holiday_2024.JPG", "Holiday_", "HOLIDAY_20", "holiday\xC3\xA4",
        // Equal in their first sixteen bytes, and exactly sixteen.
        "Holiday_2024_summer_02.jpg", "HOLIDAY_2024_SUMMER_1.jpg", "holiday_2024_sum",
        "Holiday_2024_Sum\xC3\xA4"};
    SetRecordName(&record, kNames[i % std::size(kNames)] + std::string(i % 5 == 0 ? "" : "1"));
    records.push_back(record);
  }
  ScanRecordList expected = records;
  std::sort(expected.begin(), expected.end(), [](const ScanRecord& a, const ScanRecord& b) {
    if ((a.is_directory != 0) != (b.is_directory != 0)) return a.is_directory == 0;
    return ::strncasecmp(a.name, b.name, kRecordNameBytes) < 0;
  });
  SortForListing(&records);
  ASSERT_EQ(records.size(), expected.size());
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].record_index, expected[i].record_index) << "position " << i;
  }
}

TEST_F(ScanLogStoreTest, ReopenedLogAnswersQueriesWithoutRescanning) {
  {
    ScanLogStore store;
    ASSERT_EQ(store.OpenIn(folder_, "log"), 0);
    Add(&store, "b.txt", 5, 0);
    Add(&store, "A.txt", 5, 0);
    Add(&store, "a", 5, 0, true, 40);
    Add(&store, "x.JPG", 5, 0, false, 0, /*content_check=*/0);
    Add(&store, "x.pdf", 5, 0, false, 0, /*content_check=*/0);
    Add(&store, "inner", 40, 1, true, 41);
    Add(&store, "deep.txt", 41, 2);
    Add(&store, "two.txt", 40, 1);
  }  // closing flushes
  ScanLogStore store;
  ASSERT_EQ(store.OpenIn(folder_, "log"), 0);
  EXPECT_EQ(store.GetRecordCount(), 8u);

  ScanRecordList root;
  ASSERT_EQ(store.ListChildren({5, 0}, &root), 0);
  std::vector<std::string> names;
  for (const auto& r : root) names.emplace_back(RecordName(r));
  // Files first, case-insensitive; a photo that failed its content check is still listed
  // (its content check tells), never dropped.
  EXPECT_EQ(names, (std::vector<std::string>{"A.txt", "b.txt", "x.JPG", "x.pdf", "a"}));

  ScanRecordList top;
  ASSERT_EQ(store.ListChildren({0, 0}, &top), 0) << "key (0, 0) means the first key";
  EXPECT_EQ(top.size(), root.size());

  int count = 0;
  ASSERT_EQ(store.CountFilesUnder({5, 0}, &count), 0);
  EXPECT_EQ(count, 6);
  ASSERT_EQ(store.CountFilesUnder({40, 1}, &count), 0);
  EXPECT_EQ(count, 2);

  ScanRecord deep;
  ASSERT_EQ(store.ReadRecord(7, &deep), 0);
  std::string path;
  ASSERT_EQ(store.FullPath(deep, &path), 0);
  EXPECT_EQ(path, "a/inner/");
  ScanRecord top_file;
  ASSERT_EQ(store.ReadRecord(1, &top_file), 0);
  ASSERT_EQ(store.FullPath(top_file, &path), 0);
  EXPECT_EQ(path, "");

  ScanRecordList empty;
  ASSERT_EQ(store.ListChildren({99, 3}, &empty), 0);
  EXPECT_TRUE(empty.empty());
  EXPECT_EQ(store.Relations().count(RelationKey{99, 3}.Value()), 0u);

  // New records continue after the reopened ones.
  EXPECT_EQ(Add(&store, "late.txt", 5, 0), 9u);
}

TEST_F(ScanLogStoreTest, MalformedSideFilesAreSkippedNotTrusted) {
  CreateFolderTree(folder_.substr(0, folder_.size() - 1));
  std::ofstream(folder_ + "log_Relation") << " | 5 - [1,2,999999,x] | 12 - [3";
  std::ofstream(folder_ + "log_DirInfo") << std::string(300, 'Z');  // one entry + a partial one
  {
    ScanLogStore writer;
    ASSERT_EQ(writer.OpenIn(folder_ + "unused/", "other"), 0);
  }
  ScanLogStore store;
  ASSERT_EQ(store.OpenIn(folder_, "log"), 0);
  EXPECT_EQ(store.Directories().size(), 1u);
  ScanRecordList children;
  EXPECT_EQ(store.ListChildren({5, 0}, &children), 0);
  EXPECT_TRUE(children.empty()) << "indices beyond the log are skipped";
}

// A directory list cut inside its first entry holds none; one whole entry is read.
TEST_F(ScanLogStoreTest, DirectoryListShorterThanOneEntryIsEmpty) {
  CreateFolderTree(folder_.substr(0, folder_.size() - 1));
  for (size_t bytes : {sizeof(DirectoryEntry) - 1, sizeof(DirectoryEntry)}) {
    std::ofstream(folder_ + "log_DirInfo", std::ios::trunc) << std::string(bytes, 'Z');
    ScanLogStore store;
    ASSERT_EQ(store.OpenIn(folder_, "log"), 0);
    EXPECT_EQ(store.Directories().size(), bytes / sizeof(DirectoryEntry));
  }
}

TEST_F(ScanLogStoreTest, AncestorWalkEndsOnALoopingLog) {
  ScanLogStore store;
  ASSERT_EQ(store.OpenIn(folder_, "log"), 0);
  // Directory 10 claims to live in 11, and 11 in 10: a damaged chain.
  const uint32_t a = Add(&store, "ten", 11, 1, true, 10);
  Add(&store, "eleven", 10, 1, true, 11);
  Add(&store, "root.txt", 5, 0);
  ScanRecord record;
  ASSERT_EQ(store.ReadRecord(a, &record), 0);
  ScanRecordList ancestors;
  EXPECT_EQ(store.GetAncestors(record, &ancestors), 0);
  EXPECT_LE(ancestors.size(), 2u);
  int count = 0;
  EXPECT_EQ(store.CountFilesUnder({10, 1}, &count), 0);
}

TEST_F(ScanLogStoreTest, AncestorWalkEndsOnLongLoopsEitherSideOfTheListedDepth) {
  // Folders 100.. each in the next, the last one back in the first: loops of 63, 64 and 65
  // folders, around the depth where the walk changes how it remembers the folders it saw.
  for (uint32_t length : {63u, 64u, 65u, 300u}) {
    SCOPED_TRACE(length);
    ScanLogStore store;
    ASSERT_EQ(store.OpenIn(folder_ + "/" + std::to_string(length), "log"), 0);
    uint32_t first = 0;
    for (uint32_t i = 0; i < length; ++i) {
      const uint32_t id = 100 + i;
      const uint32_t parent = i + 1 == length ? 100 : id + 1;
      const uint32_t index = Add(&store, "d" + std::to_string(i), parent, 1, true, id);
      if (i == 0) first = index;
    }
    ScanRecord record;
    ASSERT_EQ(store.ReadRecord(first, &record), 0);
    ScanRecordList ancestors;
    EXPECT_EQ(store.GetAncestors(record, &ancestors), 0);
    // Every other folder of the loop once, then the walk stops where it began.
    EXPECT_EQ(ancestors.size(), length - 1);
  }
}

TEST_F(ScanLogStoreTest, ListingByTypeFollowsTheCategoryLists) {
  ScanLogStore store;
  ASSERT_EQ(store.OpenIn(folder_, "log"), 0);
  for (const char* name : {"clip.RM", "notes", "x.rtf", "x.zip", "p.jpg", "song.mp3", "d.jp",
                           "a.avif", "b.avi", "c.FLAC", "d.fla"}) {
    Add(&store, name, 5, 0, false, 0, std::string(name) == "p.jpg" ? 0 : 1);
  }
  Add(&store, "folder.jpg", 5, 0, true, 77);

  auto list = [&](const std::string& categories) {
    std::string filter;
    EXPECT_TRUE(FilterForCategories(categories, &filter));
    ScanRecordList out;
    EXPECT_EQ(store.ListByType(filter, &out), 1);
    std::vector<std::string> names;
    for (const auto& r : out) names.emplace_back(RecordName(r));
    return names;
  };
  // AVIF and FLAC sit in their own categories without pulling AVI or Flash movies along.
  EXPECT_EQ(list("audio"), (std::vector<std::string>{"c.FLAC", "clip.RM", "song.mp3"}));
  EXPECT_EQ(list("video"), (std::vector<std::string>{"b.avi", "clip.RM", "d.fla"}));
  EXPECT_EQ(list("others"), (std::vector<std::string>{"notes"}));
  EXPECT_EQ(list("document"), (std::vector<std::string>{"x.rtf"}));
  EXPECT_EQ(list("archive"), (std::vector<std::string>{"x.zip"}));
  // The photo that failed its content check is still listed; ".jp" is a substring of the
  // photo list.
  EXPECT_EQ(list("photo"), (std::vector<std::string>{"a.avif", "d.jp", "p.jpg"}));
}

TEST(CategoryTest, NamesMapToTheFirstMatchingList) {
  EXPECT_STREQ(CategoryOfName("clip.RM"), "audio");
  EXPECT_STREQ(CategoryOfName("notes"), "others");
  EXPECT_STREQ(CategoryOfName("x.rtf"), "document");
  EXPECT_STREQ(CategoryOfName("a.webp"), "photo");
  EXPECT_STREQ(CategoryOfName("a.opus"), "audio");
  // Added extensions never take an older one's category by substring.
  EXPECT_STREQ(CategoryOfName("a.avi"), "video");
  EXPECT_STREQ(CategoryOfName("a.fla"), "video");
  EXPECT_STREQ(CategoryOfName("a.AVIF"), "photo");
  EXPECT_STREQ(CategoryOfName("a.flac"), "audio");
  EXPECT_STREQ(CategoryOfName("a.tar.zst"), "archive");
  EXPECT_STREQ(CategoryOfName("a.ttf"), "others");
  EXPECT_STREQ(CategoryOfName("IMG_0001.JPG"), "photo");
  EXPECT_STREQ(CategoryOfName("a.mkv"), "video");
  EXPECT_STREQ(CategoryOfName("a.docx"), "document");
  EXPECT_STREQ(CategoryOfName("a.tar.gz"), "archive");
  std::string filter;
  EXPECT_FALSE(FilterForCategories("photo,bogus", &filter));
}

TEST(CategoryTest, AnswersStayRightPastTheRememberedExtensions) {
  // Thousands of made-up extensions (a damaged volume) between two asks of the same names.
  EXPECT_STREQ(CategoryOfName("a.JPG"), "photo");
  for (int i = 0; i < 5000; ++i) {
    EXPECT_STREQ(CategoryOfName("x.q" + std::to_string(i)), "others") << i;
  }
  EXPECT_STREQ(CategoryOfName("b.jpg"), "photo");
  EXPECT_STREQ(CategoryOfName("a.avi"), "video");
  EXPECT_STREQ(CategoryOfName("a.AVIF"), "photo");
}

TEST(LogNameTest, MinuteHasWidthTwoWithoutLeadingZero) {
  const std::string name = FormatLogName("Fast_", 2048);
  EXPECT_EQ(name.rfind("Fast_2048_", 0), 0u);
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char minute[4];
  std::snprintf(minute, sizeof(minute), "%2d", local.tm_min);
  EXPECT_EQ(name.substr(name.size() - 2), std::string(minute));
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

TEST_F(ScanLogStoreTest, ExtraTimesAreKeptBesideTheLogAndOptional) {
  {
    ScanLogStore store;
    ASSERT_EQ(store.OpenIn(folder_, "old"), 0);
    Add(&store, "a.txt", 5, 0);
    ASSERT_EQ(store.Flush(), 0);
  }
  // A log written without the times file opens as before, without inventing one.
  ScanLogStore old;
  ASSERT_EQ(old.OpenIn(folder_, "old"), 0);
  RecordTimesEntry entry;
  EXPECT_FALSE(old.FindTimes(1, &entry));
  old.Close();
  EXPECT_NE(::access((folder_ + "old_Times").c_str(), F_OK), 0);

  {
    ScanLogStore store;
    ASSERT_EQ(store.OpenIn(folder_, "new"), 0);
    for (uint32_t i = 1; i <= 3; ++i) {
      const uint32_t index = Add(&store, "f" + std::to_string(i), 5, 0);
      if (i == 2) continue;  // a record without extra times
      RecordTimesEntry times;
      times.record_index = index;
      times.flags = kTimesHasNameSet;
      times.changed = 1000 + i;
      times.name_modified = 2000 + i;
      store.AddTimes(times);
    }
    ASSERT_EQ(store.Flush(), 0);
  }
  EXPECT_EQ(ReadText(folder_ + "new_Times").size(), 2 * sizeof(RecordTimesEntry));
  ScanLogStore reopened;
  ASSERT_EQ(reopened.OpenIn(folder_, "new"), 0);
  ASSERT_TRUE(reopened.FindTimes(3, &entry));
  EXPECT_EQ(entry.changed, 1003u);
  EXPECT_EQ(entry.name_modified, 2003u);
  EXPECT_FALSE(reopened.FindTimes(2, &entry));
  // A cut entry at the end is ignored.
  reopened.Close();
  {
    std::ofstream cut(folder_ + "new_Times", std::ios::binary | std::ios::app);
    cut << "partial";
  }
  ASSERT_EQ(reopened.OpenIn(folder_, "new"), 0);
  EXPECT_TRUE(reopened.FindTimes(1, &entry));
  EXPECT_FALSE(reopened.FindTimes(0, &entry));
}

}  // namespace
}  // namespace velmora
