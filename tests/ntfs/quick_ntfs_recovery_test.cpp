// The quick engine end to end on volumes built by libntfs-3g, against the builder's truth
// and against The Sleuth Kit.
#include "ntfs/quick_ntfs_recovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "engine/scan_log_store.h"
#include "ntfs_test_helpers.h"
#include "storage/error_codes.h"
#include "support/content_gen.h"
#include "support/faulty_image_mount.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

// Where the engine must list a deleted file: its folders from the root, except that a folder
// whose record was reused ends the chain as "LostFolder<record>" in the root.
std::string ExpectedPath(const VolumeTruth& truth, const TruthEntry& file) {
  std::vector<std::string> parts{file.name};
  std::string parent = file.parent;
  while (!parent.empty()) {
    const TruthEntry* folder = truth.Find(parent);
    if (!folder) break;
    if (folder->record_reused || !folder->data_intact) {
      parts.push_back("LostFolder" + std::to_string(folder->mft_record));
      break;
    }
    parts.push_back(folder->name);
    parent = folder->parent;
  }
  std::string path;
  for (auto it = parts.rbegin(); it != parts.rend(); ++it) path += (path.empty() ? "" : "/") + *it;
  return path;
}

// 150 two-byte characters: longer than a record's name field holds.
std::string LongName() {
  std::string name;
  for (int i = 0; i < 150; ++i) name += "é";
  return name;
}

int CancelAtOnce(void*, int, int, int, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
  return kCancelledByUser;
}

struct ProgressLog {
  std::vector<int> percents;
  std::vector<int> scales;
};

int RecordProgress(void* context, int percent, int scale, int, uint32_t, uint32_t, uint32_t,
                   uint32_t, uint32_t, uint32_t) {
  auto* log = static_cast<ProgressLog*>(context);
  log->percents.push_back(percent);
  log->scales.push_back(scale);
  return 0;
}

int CancelCopy(void*, int, int, int, const char*) { return kCancelledByUser; }

// One volume with every case of the quick scan, built once for the suite.
class FastNtfsRecoveryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!NtfsBuilderAvailable()) return;
    dir_ = new std::string(MakeTempDir("ntfs-quick"));
    NtfsVolumeBuilder b(*dir_ + "/volume.img", 96ull << 20);
    b.MakeDirectory("/keep");
    b.AddFile("/keep/alive.txt", RandomText(500, 1));
    b.AddFile("/keep/deleted in live folder.pdf", SampleContent("pdf", 9000, 2));
    b.AddFile("/resident.txt", RandomText(400, 3));
    b.AddFile("/fake.jpg", RandomBytes(20000, 19));
    b.AddFile("/empty.txt", {});
    b.AddFile("/multi.bin", RandomBytes(300000, 4));
    b.AddFragmentedFile("/frag.bin", RandomBytes(200000, 5), 4);
    b.AddFile("/Ünïcødé – файл 日本.txt", RandomText(3000, 6));
    b.MakeDirectory("/d1/d2/d3");
    b.AddFile("/d1/d2/d3/deep.jpg", SampleContent("jpg", 60000, 7));
    b.AddFile("/d1/d2/d3/deep.txt", RandomText(700, 8));
    b.AddFile("/d1/d2/middle.bin", RandomBytes(5000, 9));
    b.MakeDirectory("/emptytree/sub");
    b.AddFile("/ads.txt", RandomText(2000, 10));
    b.AddFile("/ads.txt:hidden", RandomBytes(50000, 11));
    b.AddFile("/ads.txt:small", RandomText(100, 12));
    b.AddCompressedFile("/packed.txt", RandomText(150000, 13));
    b.AddFile("/" + LongName(), RandomText(1500, 17));
    b.AddFile("/" + LongName() + ":tail_stream", RandomBytes(9000, 18));
    b.MakeDirectory("/outer/hostile_dir_name_0123");
    b.AddFile("/outer/hostile_dir_name_0123/hostile_file_name_0123.txt", RandomText(3000, 14));
    b.MakeDirectory("/gone");
    b.AddFile("/gone/orphan.bin", RandomBytes(20000, 15));
    b.DeleteTree("/gone");
    b.AddFileReusingRecord("/gone", "/reuser.txt", RandomText(200, 16));
    // Deletions last, so no later file takes their records.
    for (const std::string& path :
         std::vector<std::string>{"/keep/deleted in live folder.pdf", "/resident.txt", "/empty.txt",
                                  "/multi.bin", "/frag.bin", "/Ünïcødé – файл 日本.txt", "/ads.txt",
                                  "/packed.txt", "/" + LongName(), "/fake.jpg"}) {
      b.Delete(path);
    }
    b.DeleteTree("/d1");
    b.DeleteTree("/emptytree");
    b.DeleteTree("/outer");
    truth_ = new VolumeTruth(b.Finish());
  }
  static void TearDownTestSuite() {
    if (dir_) RemoveTree(*dir_);
    delete dir_;
    delete truth_;
    dir_ = nullptr;
    truth_ = nullptr;
  }

  void SetUp() override {
    if (!truth_) GTEST_SKIP() << "libntfs-3g builder not available";
    out_ = MakeTempDir("ntfs-quick-out");
    ASSERT_EQ(engine_.OpenImage(truth_->image_path, u'Q'), 0);
    ASSERT_EQ(engine_.Scan(nullptr), 0);
    for (const ListedFile& f : WalkTree(&engine_)) listed_[f.Path()] = f.record;
  }
  void TearDown() override {
    if (!out_.empty()) RemoveTree(out_);
  }

  const ScanRecord* Listed(const std::string& path) const {
    const auto it = listed_.find(path);
    return it == listed_.end() ? nullptr : &it->second;
  }

  // Directory records by folder path, found by walking the tree.
  std::map<std::string, std::pair<ScanRecord, int>> Folders() {
    std::map<std::string, std::pair<ScanRecord, int>> folders;
    std::vector<std::tuple<ScanRecord, int, std::string, bool>> stack{{ScanRecord{}, 0, "", true}};
    while (!stack.empty()) {
      auto [dir, depth, path, root] = stack.back();
      stack.pop_back();
      ScanRecordList children;
      engine_.GetChildren(root ? nullptr : &dir, depth, &children);
      for (const ScanRecord& c : children) {
        if (!c.is_directory) continue;
        const std::string child_path = path + std::string(RecordName(c));
        folders[child_path] = {c, depth + 1};
        stack.push_back({c, depth + 1, child_path + "/", false});
      }
    }
    return folders;
  }

  static std::string* dir_;
  static VolumeTruth* truth_;
  ScopedDataDir data_;
  CFastNtfsRecovery engine_;
  std::map<std::string, ScanRecord> listed_;
  std::string out_;
};

std::string* FastNtfsRecoveryTest::dir_ = nullptr;
VolumeTruth* FastNtfsRecoveryTest::truth_ = nullptr;

TEST_F(FastNtfsRecoveryTest, EveryDeletedFileIsListedUnderItsPathAndRecoveredExactly) {
  size_t checked = 0;
  for (const TruthEntry* file : truth_->Files()) {
    if (!file->deleted || file->record_reused) continue;
    if (file->name.size() >= kRecordNameBytes) continue;  // cut names: see below
    const std::string path = ExpectedPath(*truth_, *file);
    SCOPED_TRACE(path);
    const ScanRecord* record = Listed(path);
    ASSERT_NE(record, nullptr) << "not listed";
    EXPECT_EQ(uint64_t{record->size}, file->size);
    EXPECT_EQ(uint32_t{record->source_kind}, uint32_t{kSourceNtfsQuick});
    EXPECT_EQ(uint16_t{record->drive_tag}, uint16_t{u'Q'});
    if (!file->data_intact) continue;
    const std::string target = out_ + "/" + std::to_string(checked++);
    ASSERT_EQ(engine_.RecoverFile(*record, target, 0), 0);
    EXPECT_EQ(Md5Of(target), file->md5);
  }
  // Resident, multi-cluster, fragmented, Unicode, deep, stream and compressed files all count.
  EXPECT_GE(checked, 12u);
  EXPECT_NE(
      Listed("LostFolder" + std::to_string(truth_->Find("/gone")->mft_record) + "/orphan.bin"),
      nullptr);
  EXPECT_NE(Listed("d1/d2/d3/deep.jpg"), nullptr);
  EXPECT_NE(Listed("ads.txt:hidden"), nullptr);
  EXPECT_NE(Listed("packed.txt"), nullptr);
}

// Names longer than the record's name field are cut; the cut stream name still finds its stream.
TEST_F(FastNtfsRecoveryTest, CutNamesStillRecoverTheirOwnData) {
  int found = 0;
  for (const auto& [path, record] : listed_) {
    if (path.rfind("éé", 0) != 0) continue;
    ++found;
    EXPECT_LT(path.size(), kRecordNameBytes);
    const bool is_stream = path.find(':') != std::string::npos;
    if (is_stream) {
      EXPECT_NE(path.find(":tail_stream"), std::string::npos);
    }
    const std::string target = out_ + "/cut" + std::to_string(found);
    ASSERT_EQ(engine_.RecoverFile(record, target, 0), 0);
    const TruthEntry* truth = truth_->Find("/" + LongName() + (is_stream ? ":tail_stream" : ""));
    ASSERT_NE(truth, nullptr);
    EXPECT_EQ(Md5Of(target), truth->md5) << path;
  }
  EXPECT_EQ(found, 2);
}

TEST_F(FastNtfsRecoveryTest, OnlyDeletedFilesAreListedAndLiveOnesNever) {
  std::set<std::string> expected;
  for (const TruthEntry* file : truth_->Files()) {
    if (file->deleted && !file->record_reused) {
      expected.insert(ExpectedPath(*truth_, *file));
    }
  }
  for (const auto& [path, record] : listed_) {
    if (path.rfind("éé", 0) == 0) continue;  // cut names
    EXPECT_EQ(expected.count(path), 1u) << "unexpected " << path;
    EXPECT_GT(uint32_t{record.object_id}, 11u);
  }
  EXPECT_EQ(Listed("keep/alive.txt"), nullptr);
  EXPECT_EQ(Listed("reuser.txt"), nullptr);
  // A live folder holding a deleted file is listed; deleted folders without files are not.
  const auto folders = Folders();
  EXPECT_EQ(folders.count("keep"), 1u);
  EXPECT_EQ(folders.count("emptytree"), 0u);
  EXPECT_EQ(folders.count("d1/d2/d3"), 1u);
  EXPECT_EQ(folders.at("d1/d2/d3").second, 3);
}

TEST_F(FastNtfsRecoveryTest, FullPathNamesTheFoldersFromTheRoot) {
  std::string path;
  ASSERT_EQ(engine_.GetFullPath(*Listed("d1/d2/d3/deep.txt"), &path), 0);
  EXPECT_EQ(path, "d1/d2/d3/");
  ASSERT_EQ(engine_.GetFullPath(*Listed("multi.bin"), &path), 0);
  EXPECT_EQ(path, "");
  const std::string lost = "LostFolder" + std::to_string(truth_->Find("/gone")->mft_record);
  ASSERT_EQ(engine_.GetFullPath(*Listed(lost + "/orphan.bin"), &path), 0);
  EXPECT_EQ(path, lost + "/");
  int count = 0;
  ASSERT_EQ(engine_.CountFiles(nullptr, 0, &count), 0);
  EXPECT_EQ(static_cast<size_t>(count), listed_.size());
  EXPECT_EQ(engine_.GetChildren(nullptr, 1, nullptr), kErrInvalidParameter);
}

TEST_F(FastNtfsRecoveryTest, PhotosWhoseBytesAreNoPhotoAreListedAndMarked) {
  // A photo whose bytes are no photo any more (its first cluster was reused) stays in the
  // listing, marked by its content check, as other tools list it too.
  ASSERT_NE(Listed("fake.jpg"), nullptr);
  EXPECT_EQ(uint32_t{Listed("fake.jpg")->content_check}, 0u);
  ASSERT_NE(Listed("d1/d2/d3/deep.jpg"), nullptr);
  EXPECT_EQ(uint32_t{Listed("d1/d2/d3/deep.jpg")->content_check}, 1u);
  std::string filter;
  ASSERT_TRUE(FilterForCategories("photo", &filter));
  ScanRecordList photos;
  ASSERT_EQ(engine_.GetFilesByType(filter, &photos), 1);
  std::set<std::string> names;
  for (const ScanRecord& r : photos) names.insert(std::string(RecordName(r)));
  EXPECT_EQ(names, (std::set<std::string>{"deep.jpg", "fake.jpg"}));
}

TEST_F(FastNtfsRecoveryTest, EmptyResidentFileWithExtensionFailsTheContentCheck) {
  ASSERT_NE(Listed("empty.txt"), nullptr);
  EXPECT_EQ(uint32_t{Listed("empty.txt")->content_check}, 0u);
  EXPECT_EQ(uint32_t{Listed("multi.bin")->content_check}, 1u);  // no extension: nothing to test
  ASSERT_EQ(engine_.RecoverFile(*Listed("empty.txt"), out_ + "/empty.txt", 0), 0);
  EXPECT_EQ(fs::file_size(out_ + "/empty.txt"), 0u);
}

TEST_F(FastNtfsRecoveryTest, FolderTreesAreRecoveredWholeWithTheirSubfolders) {
  const auto folders = Folders();
  const auto& [d1, depth] = folders.at("d1");
  const std::string target = out_ + "/tree/d1";
  const int base = static_cast<int>(std::count(target.begin(), target.end(), '/')) - depth;
  ASSERT_EQ(engine_.RecoverFile(d1, target, base), 0);
  EXPECT_EQ(Md5Of(target + "/d2/d3/deep.jpg"), truth_->Find("/d1/d2/d3/deep.jpg")->md5);
  EXPECT_EQ(Md5Of(target + "/d2/d3/deep.txt"), truth_->Find("/d1/d2/d3/deep.txt")->md5);
  EXPECT_EQ(Md5Of(target + "/d2/middle.bin"), truth_->Find("/d1/d2/middle.bin")->md5);

  // A lost folder is recovered like any other.
  const std::string lost = "LostFolder" + std::to_string(truth_->Find("/gone")->mft_record);
  const std::string lost_target = out_ + "/" + lost;
  const int lost_base =
      static_cast<int>(std::count(lost_target.begin(), lost_target.end(), '/')) - 1;
  ASSERT_EQ(engine_.RecoverFile(folders.at(lost).first, lost_target, lost_base), 0);
  EXPECT_EQ(Md5Of(lost_target + "/orphan.bin"), truth_->Find("/gone/orphan.bin")->md5);
}

TEST_F(FastNtfsRecoveryTest, RecoveryNeverOverwritesAnExistingFile) {
  const ScanRecord& record = *Listed("multi.bin");
  const std::string target = out_ + "/multi.bin";
  { std::ofstream(target) << "precious"; }
  ASSERT_EQ(engine_.RecoverFile(record, target, 0), 0);
  EXPECT_EQ(ReadWholeFile(target), "precious");
  // The copy got a numbered name of its own next to the old file.
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator(out_)) files.push_back(e.path());
  ASSERT_EQ(files.size(), 2u);
  const fs::path copy = files[0].filename() == "multi.bin" ? files[1] : files[0];
  EXPECT_NE(copy.filename().string().find("(1)"), std::string::npos);
  EXPECT_EQ(Md5Of(copy.string()), truth_->Find("/multi.bin")->md5);
}

TEST_F(FastNtfsRecoveryTest, CancelStopsScanAndCopyWithTheCancelCode) {
  ScanIndex::Instance().NewScanFolder();  // a new scan gets its own folder, as in the workflow
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(truth_->image_path, u'Q'), 0);
  engine.SetScanCallback(&CancelAtOnce, nullptr, nullptr, 100);
  EXPECT_EQ(engine.Scan(nullptr), kCancelledByUser);
  ScanRecordList root;
  engine.GetChildren(nullptr, 0, &root);
  for (const ScanRecord& r : root)
    EXPECT_EQ(uint32_t{r.is_directory}, 0u);  // no folder records yet

  engine_.SetScanCallback(nullptr, &CancelCopy, nullptr, 100);
  EXPECT_EQ(engine_.RecoverFile(*Listed("multi.bin"), out_ + "/cancelled.bin", 0),
            kCancelledByUser);
}

TEST_F(FastNtfsRecoveryTest, ProgressRunsToOneHundredWithTheGivenScale) {
  ScanIndex::Instance().NewScanFolder();
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(truth_->image_path, u'Q'), 0);
  ProgressLog log;
  engine.SetScanCallback(&RecordProgress, nullptr, &log, 9);
  ASSERT_EQ(engine.Scan(nullptr), 0);
  ASSERT_FALSE(log.percents.empty());
  EXPECT_EQ(log.percents.back(), 100);
  EXPECT_TRUE(std::is_sorted(log.percents.begin(), log.percents.end()));
  for (int scale : log.scales) EXPECT_EQ(scale, 9);
}

TEST_F(FastNtfsRecoveryTest, ReopenedLogAnswersLikeTheScan) {
  const std::string log_name = engine_.Store()->LogName();
  CFastNtfsRecovery reopened;
  ASSERT_EQ(reopened.OpenImage(truth_->image_path, u'Q'), 0);
  ASSERT_EQ(reopened.Scan(log_name.c_str()), 0);
  std::set<std::string> paths;
  for (const ListedFile& f : WalkTree(&reopened)) paths.insert(f.Path());
  std::set<std::string> original;
  for (const auto& [path, record] : listed_) original.insert(path);
  EXPECT_EQ(paths, original);
}

TEST_F(FastNtfsRecoveryTest, PreviewGoesToATemporaryFileOrToMemory) {
  std::string path;
  int bytes = 0;
  ASSERT_EQ(
      engine_.PreviewFile(*Listed("d1/d2/d3/deep.jpg"), &path, nullptr, &bytes, nullptr, nullptr),
      0);
  EXPECT_EQ(fs::path(path).filename(), "tmp.jpg");
  EXPECT_EQ(Md5Of(path), truth_->Find("/d1/d2/d3/deep.jpg")->md5);
  // The next preview of the same kind replaces the file.
  ASSERT_EQ(
      engine_.PreviewFile(*Listed("d1/d2/d3/deep.jpg"), &path, nullptr, &bytes, nullptr, nullptr),
      0);
  EXPECT_EQ(fs::path(path).filename(), "tmp.jpg");

  std::vector<uint8_t> memory(1000, 0xEE);
  bytes = 100;
  ASSERT_EQ(engine_.PreviewFile(*Listed("resident.txt"), nullptr, memory.data(), &bytes, nullptr,
                                nullptr),
            0);
  EXPECT_EQ(bytes, 100);
  EXPECT_EQ(memory[100], 0xEE);
  const std::vector<uint8_t> text = RandomText(400, 3);
  EXPECT_TRUE(std::equal(memory.begin(), memory.begin() + 100, text.begin()));

  // A record whose location holds no MFT record: nothing is left behind.
  ScanRecord broken = *Listed("multi.bin");
  broken.location = 0;
  path = "stale";
  EXPECT_NE(engine_.PreviewFile(broken, &path, nullptr, &bytes, nullptr, nullptr), 0);
  EXPECT_TRUE(path.empty());
  // Nowhere to put the bytes: refused, and no preview file is written for nobody.
  fs::remove(fs::path(ScanLogDirectory()) / "tmp.jpg");
  EXPECT_EQ(
      engine_.PreviewFile(*Listed("d1/d2/d3/deep.jpg"), nullptr, nullptr, &bytes, nullptr, nullptr),
      kErrInvalidParameter);
  EXPECT_FALSE(fs::exists(fs::path(ScanLogDirectory()) / "tmp.jpg"));
}

TEST_F(FastNtfsRecoveryTest, ClusterBitmapGivesOnlyFreeRanges) {
  ASSERT_EQ(engine_.LoadClusterBitmap(), 0);
  const uint64_t sectors = engine_.Volume().SectorCount();
  const uint64_t cluster_sectors = truth_->cluster_size / 512;
  uint64_t position = 0;
  uint64_t length = 0;
  uint64_t free_sectors = 0;
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (int guard = 0; guard < 100000 && position < sectors; ++guard) {
    ASSERT_NE(engine_.GetNextFreeRange(&position, &length), 0);
    if (length == 0) break;
    ranges.emplace_back(position, position + length);
    free_sectors += length;
    position += length;
  }
  EXPECT_GT(free_sectors, sectors / 2);
  // No cluster of a live file lies in a free range.
  for (const TruthEntry* file : truth_->Files()) {
    if (file->deleted) continue;
    for (const ImageExtent& e : file->extents) {
      if (e.hole) continue;
      const uint64_t first = e.offset / 512;
      const uint64_t end = (e.offset + e.length + 511) / 512;
      for (const auto& [a, b] : ranges) {
        EXPECT_TRUE(end <= a || first >= b) << file->path;
      }
    }
  }
  EXPECT_EQ(ranges.front().first % cluster_sectors, 0u);
}

// Every file The Sleuth Kit recovers from the volume, we recover with the same bytes.
TEST_F(FastNtfsRecoveryTest, RecoversEverythingTheSleuthKitRecovers) {
  if (!ToolAvailable("tsk_recover")) GTEST_SKIP() << "The Sleuth Kit is not installed";
  const std::string theirs = out_ + "/tsk";
  ASSERT_EQ(RunCommand("tsk_recover '" + truth_->image_path + "' '" + theirs + "'"), 0);
  // Every file record of the log, also those the listing hides.
  std::multiset<std::string> ours;
  for (uint32_t i = 1; i <= engine_.GetRecordCount(); ++i) {
    ScanRecord record{};
    ASSERT_EQ(engine_.Store()->ReadRecord(i, &record), 0);
    if (record.is_directory) continue;
    const std::string target = out_ + "/ours/" + std::to_string(i);
    if (engine_.RecoverFile(record, target, 0) == 0) ours.insert(Md5Of(target));
  }
  size_t compared = 0;
  for (const auto& entry : fs::recursive_directory_iterator(theirs)) {
    if (!entry.is_regular_file()) continue;
    ++compared;
    EXPECT_GE(ours.count(Md5Of(entry.path().string())), 1u) << entry.path();
  }
  EXPECT_GE(compared, 8u);
}

// Random damage inside the MFT: the scan finishes, nothing crashes, copies stay in the destination.
TEST_F(FastNtfsRecoveryTest, DamagedRecordsAreSkippedAndNeverStopTheScan) {
  const std::string image = out_ + "/damaged.img";
  fs::copy_file(truth_->image_path, image);
  const auto& geometry = engine_.Volume().Geometry();
  const uint64_t mft_offset = engine_.Volume().MftRuns().front().lcn * geometry.cluster_size;
  {
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    uint64_t state = 12345;
    auto next = [&state] {
      state = state * 6364136223846793005ull + 1442695040888963407ull;
      return state >> 33;
    };
    for (int i = 0; i < 400; ++i) {
      const uint64_t record = 16 + next() % 80;
      const uint64_t offset = next() % geometry.mft_record_size;
      f.seekp(mft_offset + record * geometry.mft_record_size + offset);
      const char value = static_cast<char>(next());
      f.write(&value, 1);
    }
  }
  ScanIndex::Instance().NewScanFolder();
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'D'), 0);
  ASSERT_EQ(engine.Scan(nullptr), 0);
  const std::string target = out_ + "/damaged-out";
  int n = 0;
  for (const ListedFile& file : WalkTree(&engine)) {
    engine.RecoverFile(file.record, target + "/" + std::to_string(n++), 0);
    std::string preview;
    int bytes = 0;
    engine.PreviewFile(file.record, &preview, nullptr, &bytes, nullptr, nullptr);
  }
  ScanRecordList root;
  ASSERT_EQ(engine.GetChildren(nullptr, 0, &root), 0);
  for (const ScanRecord& r : root) {
    if (!r.is_directory) continue;
    const std::string folder = target + "/tree" + std::to_string(n++);
    engine.RecoverFile(r, folder,
                       static_cast<int>(std::count(folder.begin(), folder.end(), '/')) - 1);
  }
  for (const auto& entry : fs::recursive_directory_iterator(out_)) {
    EXPECT_EQ(entry.path().string().rfind(out_ + "/", 0), 0u);
  }
}

// Parent references that run in a circle (d1 -> d3 -> d2 -> d1) end; the files stay reachable.
TEST_F(FastNtfsRecoveryTest, ParentLoopsEndAndKeepTheFilesReachable) {
  const std::string image = out_ + "/loop.img";
  fs::copy_file(truth_->image_path, image);
  const uint64_t d1 = truth_->Find("/d1")->mft_record;
  const uint64_t d3 = truth_->Find("/d1/d2/d3")->mft_record;
  {
    // Point d1's $FILE_NAME parent at d3, with d3's sequence number.
    ntfs::NtfsVolume volume;
    SectorReader reader;
    ASSERT_EQ(OpenImageFile(&reader, image), 0);
    ASSERT_EQ(volume.Open(std::move(reader), 0, 0, true), 0);
    std::vector<uint8_t> record;
    ntfs::MftRecord parsed;
    ASSERT_EQ(volume.ReadMftRecord(d1, &record, &parsed), 0);
    const ntfs::MftAttribute* name = parsed.Find(ntfs::kAttrFileName);
    ASSERT_NE(name, nullptr);
    const size_t field = static_cast<size_t>(name->value.data() - record.data());
    ASSERT_LT(field % 512, 504u);  // clear of the block tails the fix-up restores
    std::vector<uint8_t> d3_record;
    ntfs::MftRecord d3_parsed;
    ASSERT_EQ(volume.ReadMftRecord(d3, &d3_record, &d3_parsed), 0);
    uint16_t d3_sequence = 0;
    std::memcpy(&d3_sequence, d3_record.data() + 0x10, 2);
    const uint64_t reference = d3 | (uint64_t{d3_sequence} << 48);
    uint64_t offset = 0;
    ASSERT_TRUE(volume.MftRecordOffset(d1, &offset));
    std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(offset + field);
    f.write(reinterpret_cast<const char*>(&reference), sizeof(reference));
  }
  ScanIndex::Instance().NewScanFolder();
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'L'), 0);
  ASSERT_EQ(engine.Scan(nullptr), 0);
  std::map<std::string, ScanRecord> listed;
  for (const ListedFile& f : WalkTree(&engine)) listed[f.Path()] = f.record;
  ASSERT_EQ(listed.count("d1/d2/d3/deep.jpg"), 1u);
  std::string path;
  ASSERT_EQ(engine.GetFullPath(listed.at("d1/d2/d3/deep.jpg"), &path), 0);
  EXPECT_EQ(path, "d1/d2/d3/");
  ASSERT_EQ(engine.RecoverFile(listed.at("d1/d2/d3/deep.jpg"), out_ + "/loop-deep.jpg", 0), 0);
  EXPECT_EQ(Md5Of(out_ + "/loop-deep.jpg"), truth_->Find("/d1/d2/d3/deep.jpg")->md5);
}

// A failing sector in the MFT costs only the record it holds; the scan says it met a read error.
TEST_F(FastNtfsRecoveryTest, UnreadableMftSectorsCostOnlyTheirRecords) {
  const TruthEntry* alive = truth_->Find("/keep/alive.txt");
  const TruthEntry* multi = truth_->Find("/multi.bin");
  ASSERT_FALSE(multi->extents.empty());
  const uint64_t bad_mft = engine_.Volume().MftRecordToSector(alive->mft_record);
  const uint64_t bad_data = multi->extents.front().offset / 512 + 3;
  std::string why;
  fs::create_directory(out_ + "/mnt");
  auto mount =
      FaultyImageMount::Start(truth_->image_path, {bad_mft, bad_data}, out_ + "/mnt", &why);
  if (!mount) GTEST_SKIP() << why;

  ScanIndex::Instance().NewScanFolder();
  CFastNtfsRecovery engine;  // declared after the mount: closes its reader before the unmount
  ASSERT_EQ(engine.OpenImage(mount->FilePath(), u'F'), 0);
  // The pass goes on past the unreadable record and counts it rather than failing.
  EXPECT_EQ(engine.Scan(nullptr), kSuccess);
  EXPECT_EQ(engine.ReadFaults().count, 1u);
  EXPECT_NE(engine.ReadFaults().notice.find("first: record " + std::to_string(alive->mft_record)),
            std::string::npos)
      << engine.ReadFaults().notice;
  std::set<std::string> paths;
  for (const ListedFile& f : WalkTree(&engine)) paths.insert(f.Path());
  std::set<std::string> expected;
  for (const auto& [path, record] : listed_) expected.insert(path);
  EXPECT_EQ(paths, expected);

  // Data under a failing sector: the copy reports it instead of claiming success.
  ScanRecordList root;
  ASSERT_EQ(engine.GetChildren(nullptr, 0, &root), 0);
  const auto it = std::find_if(root.begin(), root.end(),
                               [](const ScanRecord& r) { return RecordName(r) == "multi.bin"; });
  ASSERT_NE(it, root.end());
  EXPECT_EQ(engine.RecoverFile(*it, out_ + "/multi-from-bad-disk.bin", 0), kErrReadFault);
}

}  // namespace
}  // namespace velmora::testing
