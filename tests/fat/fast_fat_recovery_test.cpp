// Quick scan and copy-out on FAT12, FAT16 and FAT32 volumes built with mtools.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "fat_image_script.h"
#include "fat_scan_helpers.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

struct VolumeKind {
  const char* name;
  const char* size;
  const char* mkfs_options;
  size_t cluster_bytes;
  FatType type;
};

const char kLongName[] = "Ünïcødé long name — 日本.txt";
const char kPdfMarker[] = "%PDF-1.4 overwrite-me";
const char kReport[] = "Quarterly report.pdf";

void PrintTo(const VolumeKind& kind, std::ostream* out) { *out << kind.name; }

// Compares recovered bytes without dumping them.
::testing::AssertionResult SameContent(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
  return ::testing::AssertionFailure()
         << "got " << actual.size() << " bytes (" << actual.substr(0, 24) << "...), expected "
         << expected.size() << ", first difference at " << at;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class FastFatRecoveryTest : public ::testing::TestWithParam<VolumeKind> {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.fat", "mcopy", "mdeltree"}) {
      if (!ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    work_ = MakeTempDir(std::string("fat-") + GetParam().name);
    script_ = std::make_unique<FatImageScript>(work_, GetParam().size, GetParam().mkfs_options);
    ASSERT_TRUE(script_->Ok());
    BuildVolume();
    engine_ = ScanFatImage(script_->Image(), work_ + "/log");
    ASSERT_NE(engine_, nullptr);
    tree_ = ListTree(engine_.get());
  }
  void TearDown() override {
    engine_.reset();
    if (!work_.empty()) RemoveTree(work_);
  }

  // Every write happens before the deletions, except the one that fills a gap,
  // so the deleted files keep their data.
  void BuildVolume() {
    const size_t c = GetParam().cluster_bytes;
    FatImageScript& s = *script_;
    ASSERT_TRUE(s.Put("ABC.TXT", FatImageScript::Bytes(700, 1)));
    ASSERT_TRUE(s.Put(kLongName, FatImageScript::Bytes(3 * c - 100, 2)));
    ASSERT_TRUE(s.Mkdir("live") && s.Mkdir("live/level2") && s.Mkdir("live/level2/level3"));
    ASSERT_TRUE(s.Put("live/level2/level3/deep file.bin", FatImageScript::Bytes(2 * c + 5, 3)));
    ASSERT_TRUE(s.Put("live/level2/level3/keep.txt", FatImageScript::Bytes(100, 4)));
    ASSERT_TRUE(s.Mkdir("Gone Folder") && s.Mkdir("Gone Folder/Sub Folder") &&
                s.Mkdir("Gone Folder/Sub Folder/Third Level"));
    ASSERT_TRUE(s.Put("Gone Folder/Sub Folder/Third Level/inner file.dat",
                      FatImageScript::Bytes(c + 1, 5)));
    ASSERT_TRUE(s.Put("Gone Folder/Notes Long Name.txt", FatImageScript::Bytes(50, 6)));
    ASSERT_TRUE(s.Put("Gone Folder/aX..Xescape.txt", FatImageScript::Bytes(60, 11)));
    ASSERT_TRUE(s.Put(kReport, FatImageScript::Bytes(2 * c + 10, 12, kPdfMarker)));
    ASSERT_TRUE(s.Put("A.BIN", FatImageScript::Bytes(c, 7)));
    ASSERT_TRUE(s.Put("B.BIN", FatImageScript::Bytes(c, 8)));
    ASSERT_TRUE(s.Put("C.BIN", FatImageScript::Bytes(c, 9)));
    // The new file takes B's cluster, then continues behind C, which stays.
    ASSERT_TRUE(s.Delete("B.BIN"));
    ASSERT_TRUE(s.Put("fragmented file.bin", FatImageScript::Bytes(3 * c, 10)));

    ASSERT_TRUE(s.Delete("ABC.TXT"));
    ASSERT_TRUE(s.Delete(kLongName));
    ASSERT_TRUE(s.Delete("live/level2/level3/deep file.bin"));
    ASSERT_TRUE(s.DeleteTree("Gone Folder"));
    ASSERT_TRUE(s.Delete("fragmented file.bin"));
    ASSERT_TRUE(s.Delete(kReport));
    // Another file's data lands on the start of the deleted document.
    ASSERT_TRUE(s.Overwrite(kPdfMarker, std::string(600, 'Z')));
    // A slash and ".." planted in a long name of the deleted folder.
    const std::u16string planted = u"aX..X";
    const std::u16string hostile = u"a/../";
    ASSERT_TRUE(s.Overwrite(std::string(reinterpret_cast<const char*>(planted.data()), 10),
                            std::string(reinterpret_cast<const char*>(hostile.data()), 10)));
  }

  const ScanRecord* Find(const std::string& key) {
    const auto it = tree_.find(key);
    return it == tree_.end() ? nullptr : &it->second;
  }
  std::string RecoverToFile(const std::string& key) {
    const ScanRecord* record = Find(key);
    if (record == nullptr) return "<not listed>";
    const std::string out = work_ + "/out/" + std::to_string(out_counter_++);
    const int result = engine_->RecoverFile(*record, out, 0);
    if (result != 0) return "<error " + std::to_string(result) + ">";
    return ReadWhole(out);
  }

  std::string work_;
  ScopedDataDir data_dir_;
  std::unique_ptr<FatImageScript> script_;
  std::unique_ptr<CFastFatRecovery> engine_;
  std::map<std::string, ScanRecord> tree_;
  int out_counter_ = 0;
};

TEST_P(FastFatRecoveryTest, ReadsTheVolumeAsItsFatType) {
  EXPECT_EQ(engine_->Geometry().type, GetParam().type);
  EXPECT_EQ(engine_->Geometry().ClusterBytes(), GetParam().cluster_bytes);
}

TEST_P(FastFatRecoveryTest, ListsDeletedFilesUnderTheirPathsWithLongNames) {
  for (const std::string key :
       {std::string("!bc.txt"), std::string(kLongName), std::string("live/"),
        std::string("live/level2/level3/deep file.bin"), std::string("Gone Folder/"),
        std::string("Gone Folder/Notes Long Name.txt"), std::string("Gone Folder/Sub Folder/"),
        std::string("Gone Folder/Sub Folder/Third Level/inner file.dat"),
        std::string("fragmented file.bin"), std::string(kReport)}) {
    EXPECT_NE(Find(key), nullptr) << key;
  }
  // Live files in live folders are not findings.
  for (const char* key : {"live/level2/level3/keep.txt", "A.BIN", "C.BIN"}) {
    EXPECT_EQ(Find(key), nullptr) << key;
  }
  ASSERT_NE(Find("Gone Folder/"), nullptr);
  EXPECT_EQ(Find("Gone Folder/")->deleted_directory_mark, 1u);
  EXPECT_EQ(Find("live/")->deleted_directory_mark, 0u);
  const ScanRecord* deep = Find("live/level2/level3/deep file.bin");
  ASSERT_NE(deep, nullptr);
  EXPECT_EQ(deep->size, 2 * GetParam().cluster_bytes + 5);
  EXPECT_EQ(deep->source_kind, kSourceFatQuick);
  EXPECT_NE(deep->last_write, 0u);
  int count = 0;
  EXPECT_EQ(engine_->CountFiles(nullptr, 0, &count), 0);
  EXPECT_EQ(count, 9);
  EXPECT_EQ(engine_->GetChildren(nullptr, 1, nullptr), 87);
}

TEST_P(FastFatRecoveryTest, RecoversEveryIntactFileByteForByte) {
  FatImageScript& s = *script_;
  EXPECT_TRUE(SameContent(RecoverToFile("!bc.txt"), s.ContentOf("ABC.TXT")));
  EXPECT_TRUE(SameContent(RecoverToFile(kLongName), s.ContentOf(kLongName)));
  EXPECT_TRUE(SameContent(RecoverToFile("live/level2/level3/deep file.bin"),
                          s.ContentOf("live/level2/level3/deep file.bin")));
  EXPECT_TRUE(SameContent(RecoverToFile("Gone Folder/Notes Long Name.txt"),
                          s.ContentOf("Gone Folder/Notes Long Name.txt")));
  EXPECT_TRUE(SameContent(RecoverToFile("Gone Folder/Sub Folder/Third Level/inner file.dat"),
                          s.ContentOf("Gone Folder/Sub Folder/Third Level/inner file.dat")));
  // Its middle cluster is in use by C.BIN: that cluster is stepped over.
  EXPECT_TRUE(
      SameContent(RecoverToFile("fragmented file.bin"), s.ContentOf("fragmented file.bin")));
}

TEST_P(FastFatRecoveryTest, OverwrittenStartFailsTheContentCheck) {
  const ScanRecord* report = Find(kReport);
  ASSERT_NE(report, nullptr);
  EXPECT_EQ(report->content_check, 0u);
  const std::string original = script_->ContentOf(kReport);
  const std::string recovered = RecoverToFile(kReport);
  ASSERT_EQ(recovered.size(), original.size());
  EXPECT_EQ(recovered.substr(0, 600), std::string(600, 'Z'));
  EXPECT_TRUE(SameContent(recovered.substr(600), original.substr(600)));
  EXPECT_EQ(Find(kLongName)->content_check, 1u);
}

TEST_P(FastFatRecoveryTest, RecoversADeletedTreeInsideItsDestination) {
  const ScanRecord* folder = Find("Gone Folder/");
  ASSERT_NE(folder, nullptr);
  const std::string out = work_ + "/tree/Gone Folder";
  ASSERT_EQ(engine_->RecoverFile(*folder, out, 0), 0);
  FatImageScript& s = *script_;
  EXPECT_TRUE(SameContent(ReadWhole(out + "/Notes Long Name.txt"),
                          s.ContentOf("Gone Folder/Notes Long Name.txt")));
  EXPECT_TRUE(SameContent(ReadWhole(out + "/Sub Folder/Third Level/inner file.dat"),
                          s.ContentOf("Gone Folder/Sub Folder/Third Level/inner file.dat")));
  // The planted name "a/../escape.txt" stays one file inside the folder.
  EXPECT_TRUE(
      SameContent(ReadWhole(out + "/a_.._escape.txt"), s.ContentOf("Gone Folder/aX..Xescape.txt")));
  EXPECT_FALSE(fs::exists(work_ + "/tree/escape.txt"));
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(work_ + "/tree")) {
    files += entry.is_regular_file();
  }
  EXPECT_EQ(files, 3u);
}

TEST_P(FastFatRecoveryTest, SecondCopyToTheSamePathGetsItsOwnName) {
  const ScanRecord* record = Find("!bc.txt");
  ASSERT_NE(record, nullptr);
  const std::string out = work_ + "/same/abc.txt";
  ASSERT_EQ(engine_->RecoverFile(*record, out, 0), 0);
  ASSERT_EQ(engine_->RecoverFile(*record, out, 0), 0);
  EXPECT_TRUE(SameContent(ReadWhole(out), script_->ContentOf("ABC.TXT")));
  EXPECT_TRUE(SameContent(ReadWhole(work_ + "/same/abc(1).txt"), script_->ContentOf("ABC.TXT")));
}

TEST_P(FastFatRecoveryTest, RecoversEverythingTheSleuthKitRecovers) {
  if (!ToolAvailable("tsk_recover")) GTEST_SKIP() << "tsk_recover is not installed";
  const std::string tsk_out = work_ + "/tsk";
  ASSERT_EQ(RunCommand("tsk_recover '" + script_->Image() + "' '" + tsk_out + "' >/dev/null"), 0);
  std::set<std::string> ours;
  for (const auto& [key, record] : tree_) {
    if (!record.is_directory) ours.insert(RecoverToFile(key));
  }
  int tsk_intact = 0;
  for (const auto& entry : fs::recursive_directory_iterator(tsk_out)) {
    if (!entry.is_regular_file()) continue;
    const std::string content = ReadWhole(entry.path().string());
    bool is_original = false;
    for (const char* path : {"ABC.TXT", kLongName, "live/level2/level3/deep file.bin",
                             "Gone Folder/Notes Long Name.txt", "fragmented file.bin",
                             "Gone Folder/Sub Folder/Third Level/inner file.dat"}) {
      is_original |= content == script_->ContentOf(path);
    }
    if (!is_original) continue;
    ++tsk_intact;
    EXPECT_TRUE(ours.count(content)) << "recovered by tsk_recover only: " << entry.path();
  }
  RecordProperty("tsk_intact", tsk_intact);
  RecordProperty("ours", static_cast<int>(ours.size()));
}

INSTANTIATE_TEST_SUITE_P(
    AllFatTypes, FastFatRecoveryTest,
    ::testing::Values(VolumeKind{"fat12", "4M", "-F 12 -s 2", 1024, FatType::kFat12},
                      VolumeKind{"fat16", "16M", "-F 16 -s 2", 1024, FatType::kFat16},
                      VolumeKind{"fat32", "40M", "-F 32 -s 1", 512, FatType::kFat32}),
    [](const ::testing::TestParamInfo<VolumeKind>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmora::testing
