// The option values that choose files, at their edges.
#include <gtest/gtest.h>

#include "app/error_text.h"
#include "app/file_choice.h"
#include "engine/record_text.h"

namespace velmora::app {
namespace {

TEST(FileChoiceTest, SizesTimesAndIdLists) {
  uint64_t value = 0;
  std::string error;
  EXPECT_TRUE(ParseSize("10k", &value, &error));
  EXPECT_EQ(value, 10240u);
  EXPECT_TRUE(ParseSize("5M", &value, &error));
  EXPECT_EQ(value, 5u << 20);
  EXPECT_TRUE(ParseSize("1G", &value, &error));
  EXPECT_EQ(value, 1ull << 30);
  EXPECT_TRUE(ParseSize("0", &value, &error));
  EXPECT_EQ(value, 0u);
  EXPECT_TRUE(ParseSize("16777215T", &value, &error));
  EXPECT_FALSE(ParseSize("16777216T", &value, &error));  // past 2^64
  for (const char* bad : {"", "k", "10x", "-1", "1.5M", "10 k"}) {
    EXPECT_FALSE(ParseSize(bad, &value, &error)) << bad;
  }

  // 2024-06-01 00:00:00 UTC as FILETIME.
  constexpr uint64_t kDay = 864000000000ULL;
  constexpr uint64_t kJune1 = (1717200000ULL + 11644473600ULL) * 10000000ULL;
  EXPECT_TRUE(ParseTime("2024-06-01", false, &value, &error));
  EXPECT_EQ(value, kJune1);
  EXPECT_TRUE(ParseTime("2024-06-01", true, &value, &error));
  EXPECT_EQ(value, kJune1 + kDay - 1);
  EXPECT_TRUE(ParseTime("2024-06-01 10:30", true, &value, &error));
  EXPECT_EQ(value, kJune1 + 37860ULL * 10000000ULL - 1);
  EXPECT_TRUE(ParseTime("2024-06-01T10:30:05", false, &value, &error));
  EXPECT_EQ(value, kJune1 + 37805ULL * 10000000ULL);
  EXPECT_TRUE(ParseTime("2024-02-29", false, &value, &error));
  for (const char* bad : {"2023-02-29", "2024-13-01", "2024-6-1", "2024-06-01 25:00",
                          "2024-06-01 10:00:5", "2024-06-01x", "yesterday"}) {
    EXPECT_FALSE(ParseTime(bad, false, &value, &error)) << bad;
  }

  IdSet ids;
  EXPECT_TRUE(ParseIdList("3,7,10-12", &ids, &error));
  EXPECT_EQ(ids.Ranges(), (std::vector<IdSet::Range>{{3, 3}, {7, 7}, {10, 12}}));
  EXPECT_TRUE(ParseIdList("5-5", &ids, &error));
  EXPECT_TRUE(ids.Contains(5));
  for (const char* bad : {"", "3,", ",3", "7-3", "1-", "a", "3 7"}) {
    EXPECT_FALSE(ParseIdList(bad, &ids, &error)) << bad;
  }
}

TEST(FileChoiceTest, IdRangesMergeAndNameWhatIsMissing) {
  IdSet ids;
  std::string error;
  // A range as wide as any id costs nothing to hold.
  ASSERT_TRUE(ParseIdList("1-100000000,100000001,18446744073709551615", &ids, &error)) << error;
  EXPECT_EQ(ids.Ranges(), (std::vector<IdSet::Range>{{1, 100000001}, {UINT64_MAX, UINT64_MAX}}));
  EXPECT_EQ(ids.Count(), 100000002u);
  EXPECT_TRUE(ids.Contains(100000001));
  EXPECT_FALSE(ids.Contains(100000002));
  EXPECT_FALSE(ids.Contains(0));
  // Touching and overlapping ranges join; a range bridging two joins them all.
  IdSet joined;
  joined.Add(10, 20);
  joined.Add(30, 40);
  joined.Add(21, 29);
  EXPECT_EQ(joined.Ranges(), (std::vector<IdSet::Range>{{10, 40}}));
  joined.Add(0, UINT64_MAX);
  EXPECT_EQ(joined.Count(), UINT64_MAX);
  // Known ids at both ends of a range and inside it.
  EXPECT_EQ(ids.Missing({1, 5, 6, 100000001, UINT64_MAX}),
            (std::vector<IdSet::Range>{{2, 4}, {7, 100000000}}));
  EXPECT_EQ(RangesText(ids.Missing({}), 1), "1-100000001, ...");
}

TEST(FileChoiceTest, MatchingEscapingAndTree) {
  FoundFile photo{};
  SetRecordName(&photo.record, "IMG_0001.JPG");
  photo.name = "IMG_0001.JPG";
  photo.folder = "DCIM/100CAM";
  photo.record.size = 4096;
  FoundFile note{};
  note.name = "a\x1b[2Jb\n.txt";
  note.folder = "DCIM2";

  FileChoice choice;
  choice.names = {"*.jpg"};
  EXPECT_TRUE(choice.Matches(photo));
  choice.names = {"dcim/*/img_*"};  // with '/': the whole path
  EXPECT_TRUE(choice.Matches(photo));
  choice.names = {"100CAM/IMG_*"};
  EXPECT_FALSE(choice.Matches(photo));
  choice.names.clear();
  choice.folders = {"/DCIM/"};
  EXPECT_TRUE(choice.Matches(photo));
  EXPECT_FALSE(choice.Matches(note));  // DCIM2 is not below DCIM
  choice.folders.clear();
  choice.min_size = 4096;
  EXPECT_TRUE(choice.Matches(photo));
  choice.min_size = 4097;
  EXPECT_FALSE(choice.Matches(photo));
  choice.min_size.reset();
  choice.since = 1;  // no time: outside any span
  EXPECT_FALSE(choice.Matches(photo));

  EXPECT_EQ(EscapeControl(note.name), "a\\x1b[2Jb\\n.txt");
  EXPECT_EQ(EscapeControl("tab\there\\\x7f"), "tab\\there\\\\\\x7f");
  EXPECT_EQ(EscapeControl("Grüße.txt"), "Grüße.txt");

  FoundFile top{};
  top.name = "top.txt";
  FoundFile deeper = photo;
  deeper.folder = "DCIM/100CAM/old";
  const auto tree = FolderTree({photo, note, top, deeper});
  std::vector<std::string> shown;
  for (const FolderCount& folder : tree) {
    shown.push_back(folder.path + ":" + std::to_string(folder.depth) + ":" +
                    std::to_string(folder.files));
  }
  EXPECT_EQ(shown, (std::vector<std::string>{":0:4", "DCIM:1:2", "DCIM/100CAM:2:2",
                                             "DCIM/100CAM/old:3:1", "DCIM2:1:1"}));
}

TEST(FileChoiceTest, EngineCodesGetADescriptionNotANumber) {
  EXPECT_EQ(ErrorText(-102).find("-102"), std::string::npos) << ErrorText(-102);
  EXPECT_EQ(ErrorText(-100), "The file's MFT record no longer holds its data attribute.");
}

}  // namespace
}  // namespace velmora::app
