// Quick scan and copy-out on FAT12, FAT16 and FAT32 volumes built by the test
// support, checked against the builder's ground truth and The Sleuth Kit.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "fat_scan_helpers.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

struct VolumeKind {
  const char* name;
  int fat_bits;
  uint64_t size;
  uint32_t sectors_per_cluster;
};
void PrintTo(const VolumeKind& kind, std::ostream* out) { *out << kind.name; }

const char kLongName[] = "/Ünïcødé long name — 日本.txt";
const char kReport[] = "/docs/Quarterly report.pdf";
constexpr int64_t kClock = 1700000000;  // 2023-11-14 22:13:20 UTC

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

std::vector<std::string> Components(const std::string& path) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start < path.size()) {
    size_t slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    if (slash > start) parts.push_back(path.substr(start, slash - start));
    start = slash + 1;
  }
  return parts;
}

// Our listing key for a truth path: equal, except that a deleted 8.3 name
// without a long name lost its first character to '!'.
bool SamePath(const std::string& key, const std::string& truth_path) {
  const auto ours = Components(key);
  const auto theirs = Components(truth_path);
  if (ours.size() != theirs.size()) return false;
  for (size_t i = 0; i < ours.size(); ++i) {
    if (ours[i] == theirs[i]) continue;
    if (ours[i].empty() || ours[i][0] != '!' || theirs[i].empty() ||
        ours[i].substr(1) != theirs[i].substr(1)) {
      return false;
    }
  }
  return true;
}

class FastFatRecoveryTest : public ::testing::TestWithParam<VolumeKind> {
 protected:
  void SetUp() override {
    if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    work_ = MakeTempDir(std::string("fat-") + GetParam().name);
    FatBuildOptions options;
    options.sectors_per_cluster = GetParam().sectors_per_cluster;
    FatVolumeBuilder fat(work_ + "/volume.img", GetParam().fat_bits, GetParam().size, options);
    Build(&fat);
    truth_ = fat.Finish();
    engine_ = ScanFatImage(truth_.image_path, work_ + "/log");
    ASSERT_NE(engine_, nullptr);
    tree_ = ListTree(engine_.get());
  }
  void TearDown() override {
    engine_.reset();
    if (!work_.empty()) RemoveTree(work_);
  }

  void Build(FatVolumeBuilder* fat) {
    const size_t c = fat->ClusterSize();
    fat->SetClock(kClock);
    fat->MakeDirectory("/live/level2/level3");
    fat->AddFile("/live/level2/level3/deep file.bin", RandomBytes(2 * c + 5, 1));
    fat->AddFile("/live/level2/level3/keep.txt", RandomText(100, 2));
    fat->AddFile("/ABC.TXT", RandomBytes(700, 3));
    fat->AddFile("/old.txt", RandomText(1500, 4));
    fat->AddFile(kLongName, RandomBytes(3 * c - 100, 5));
    fat->MakeDirectory("/Gone Folder/Sub Folder/Third Level");
    fat->MakeDirectory("/Gone Folder/sub");
    fat->AddFile("/Gone Folder/Sub Folder/Third Level/inner file.dat", RandomBytes(c + 1, 6));
    fat->AddFile("/Gone Folder/Notes Long Name.txt", RandomText(50, 7));
    fat->AddFile("/Gone Folder/sub/short.bin", RandomBytes(300, 8));
    fat->MakeDirectory("/docs");
    fat->AddFile(kReport, SampleContent("pdf", 3 * c, 9));
    fat->AddFile("/Empty File.txt", {});
    fat->AddFragmentedFile("/fragmented file.bin", RandomBytes(4 * c, 10), 3);

    // A new file in another folder lands on the start of the deleted document.
    // It is the last file made, so no other deleted entry loses its slot to it.
    fat->Delete(kReport);
    fat->AddFileOverDeleted(kReport, "/new.txt", RandomText(600, 11));
    fat->Delete("/ABC.TXT");
    fat->Delete("/old.txt");
    fat->Delete(kLongName);
    fat->Delete("/live/level2/level3/deep file.bin");
    fat->Delete("/Empty File.txt");
    fat->DeleteTree("/Gone Folder");
    fat->Delete("/fragmented file.bin");
  }

  const ScanRecord* Find(const std::string& truth_path) {
    for (const auto& [key, record] : tree_) {
      if (SamePath(key, truth_path)) return &record;
    }
    return nullptr;
  }
  std::string RecoveredMd5(const ScanRecord& record) {
    const std::string out = work_ + "/out/" + std::to_string(out_counter_++);
    const int result = engine_->RecoverFile(record, out, 0);
    if (result != 0) return "error " + std::to_string(result);
    return Md5Hex(ReadBytes(out));
  }

  std::string work_;
  ScopedDataDir data_dir_;
  VolumeTruth truth_;
  std::unique_ptr<CFastFatRecovery> engine_;
  std::map<std::string, ScanRecord> tree_;
  int out_counter_ = 0;
};

TEST_P(FastFatRecoveryTest, ReadsTheVolumeAsItsFatType) {
  const FatType expected = GetParam().fat_bits == 12   ? FatType::kFat12
                           : GetParam().fat_bits == 16 ? FatType::kFat16
                                                       : FatType::kFat32;
  EXPECT_EQ(engine_->Geometry().type, expected);
  EXPECT_EQ(engine_->Geometry().ClusterBytes(), truth_.cluster_size);
}

TEST_P(FastFatRecoveryTest, EveryIntactDeletedFileIsListedAndRecoveredByteForByte) {
  int intact = 0;
  for (const TruthEntry* file : truth_.Files()) {
    if (!file->deleted || !file->data_intact) continue;
    ++intact;
    SCOPED_TRACE(file->path);
    const ScanRecord* record = Find(file->path);
    ASSERT_NE(record, nullptr) << "not listed";
    EXPECT_EQ(+record->size, file->size);
    EXPECT_EQ(RecoveredMd5(*record), file->md5);
  }
  EXPECT_GE(intact, 9);
}

TEST_P(FastFatRecoveryTest, NamesPathsAndTimesComeFromTheEntries) {
  // Long names whole; 8.3 names in their stored case, the first letter lost.
  for (const char* key : {"Ünïcødé long name — 日本.txt", "!BC.TXT", "!ld.txt", "Empty File.txt",
                          "live/level2/level3/deep file.bin", "Gone Folder/!ub/",
                          "Gone Folder/Sub Folder/Third Level/inner file.dat"}) {
    EXPECT_TRUE(tree_.count(key)) << key;
  }
  // Live entries in live folders are not findings.
  for (const TruthEntry* file : truth_.Files()) {
    if (!file->deleted) {
      EXPECT_EQ(Find(file->path), nullptr) << file->path;
    }
  }
  EXPECT_EQ(+tree_.at("Gone Folder/").deleted_directory_mark, 1u);
  EXPECT_EQ(+tree_.at("live/").deleted_directory_mark, 0u);
  const ScanRecord& deep = tree_.at("live/level2/level3/deep file.bin");
  EXPECT_EQ(+deep.source_kind, kSourceFatQuick);
  EXPECT_EQ(+deep.last_write, (static_cast<uint64_t>(kClock) + 11644473600ull) * 10000000ull);
  std::string path;
  ASSERT_EQ(engine_->GetFullPath(deep, &path), 0);
  EXPECT_EQ(path, "live/level2/level3/");
  EXPECT_EQ(engine_->GetChildren(nullptr, 1, nullptr), 87);
}

TEST_P(FastFatRecoveryTest, OverwrittenStartFailsTheContentCheck) {
  const TruthEntry* report = truth_.Find(kReport);
  ASSERT_NE(report, nullptr);
  EXPECT_FALSE(report->data_intact);
  const ScanRecord* record = Find(kReport);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(+record->content_check, 0u);
  EXPECT_NE(RecoveredMd5(*record), report->md5);
  EXPECT_EQ(+Find(kLongName)->content_check, 1u);
}

TEST_P(FastFatRecoveryTest, RecoversADeletedTreeLevelByLevel) {
  ASSERT_TRUE(tree_.count("Gone Folder/"));
  const std::string out = work_ + "/tree/Gone Folder";
  ASSERT_EQ(engine_->RecoverFile(tree_.at("Gone Folder/"), out, 0), 0);
  for (const char* path :
       {"/Gone Folder/Notes Long Name.txt", "/Gone Folder/Sub Folder/Third Level/inner file.dat"}) {
    EXPECT_EQ(Md5Hex(ReadBytes(work_ + "/tree" + path)), truth_.Find(path)->md5) << path;
  }
  EXPECT_EQ(Md5Hex(ReadBytes(out + "/!ub/!hort.bin")),
            truth_.Find("/Gone Folder/sub/short.bin")->md5);
  size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(work_ + "/tree")) {
    files += entry.is_regular_file();
  }
  EXPECT_EQ(files, 3u);
}

TEST_P(FastFatRecoveryTest, SecondCopyToTheSamePathGetsItsOwnName) {
  const ScanRecord* record = Find("/ABC.TXT");
  ASSERT_NE(record, nullptr);
  const std::string out = work_ + "/same/abc.txt";
  ASSERT_EQ(engine_->RecoverFile(*record, out, 0), 0);
  ASSERT_EQ(engine_->RecoverFile(*record, out, 0), 0);
  EXPECT_EQ(Md5Hex(ReadBytes(out)), truth_.Find("/ABC.TXT")->md5);
  EXPECT_EQ(Md5Hex(ReadBytes(work_ + "/same/abc(1).txt")), truth_.Find("/ABC.TXT")->md5);
}

TEST_P(FastFatRecoveryTest, RecoversEverythingTheSleuthKitRecovers) {
  if (!ToolAvailable("tsk_recover")) GTEST_SKIP() << "tsk_recover is not installed";
  const std::string tsk_out = work_ + "/tsk";
  ASSERT_EQ(RunCommand("tsk_recover '" + truth_.image_path + "' '" + tsk_out + "' >/dev/null"), 0);
  std::set<std::string> deleted_digests;
  for (const TruthEntry* file : truth_.Files()) {
    if (file->deleted && file->size > 0) deleted_digests.insert(file->md5);
  }
  std::set<std::string> ours;
  for (const auto& [key, record] : tree_) {
    if (!record.is_directory) ours.insert(RecoveredMd5(record));
  }
  int tsk_correct = 0;
  int ours_correct = 0;
  for (const auto& digest : ours) ours_correct += deleted_digests.count(digest);
  for (const auto& entry : fs::recursive_directory_iterator(tsk_out)) {
    if (!entry.is_regular_file()) continue;
    const std::string digest = Md5Hex(ReadBytes(entry.path().string()));
    if (!deleted_digests.count(digest)) continue;
    ++tsk_correct;
    EXPECT_TRUE(ours.count(digest)) << "recovered by tsk_recover only: " << entry.path();
  }
  EXPECT_GE(ours_correct, tsk_correct);
  RecordProperty("tsk_correct", tsk_correct);
  RecordProperty("ours_correct", ours_correct);
}

INSTANTIATE_TEST_SUITE_P(AllFatTypes, FastFatRecoveryTest,
                         ::testing::Values(VolumeKind{"fat12", 12, 4 << 20, 2},
                                           VolumeKind{"fat16", 16, 16 << 20, 2},
                                           VolumeKind{"fat32", 32, 40 << 20, 1}),
                         [](const ::testing::TestParamInfo<VolumeKind>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace velmora::testing
