// Engine operations around the scan: cancel, free ranges, preview, long names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "engine/engine_factory.h"
#include "fat_image_script.h"
#include "fat_scan_helpers.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

int CancelAtOnce(void*, int, int, int, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t,
                 uint32_t) {
  return -9527;
}

struct ProgressLog {
  std::vector<int> percents;
};
int RecordProgress(void* context, int percent, int, int, uint32_t, uint32_t, uint32_t, uint32_t,
                   uint32_t, uint32_t) {
  static_cast<ProgressLog*>(context)->percents.push_back(percent);
  return 0;
}

class FastFatEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.fat", "mcopy", "mdir"}) {
      if (!ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    work_ = MakeTempDir("fat-engine");
    script_ = std::make_unique<FatImageScript>(work_, "4M", "-F 12");
    ASSERT_TRUE(script_->Ok());
  }
  void TearDown() override {
    if (!work_.empty()) RemoveTree(work_);
  }
  std::string work_;
  ScopedDataDir data_dir_;
  std::unique_ptr<FatImageScript> script_;
};

TEST_F(FastFatEngineTest, ScanAfterACancelledScanStartsAfresh) {
  FatImageScript& s = *script_;
  ASSERT_TRUE(s.Mkdir("one") && s.Mkdir("one/two"));
  ASSERT_TRUE(s.Put("one/two/Lost File.txt", FatImageScript::Bytes(3000, 1)));
  ASSERT_TRUE(s.Delete("one/two/Lost File.txt"));

  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(s.Image(), u'Z'), 0);
  engine.SetScanCallback(CancelAtOnce, nullptr, nullptr, 100);
  EXPECT_EQ(engine.ScanInto(work_ + "/log1"), -9527);

  ProgressLog log;
  engine.SetScanCallback(RecordProgress, nullptr, &log, 100);
  ASSERT_EQ(engine.ScanInto(work_ + "/log2"), 0);
  const auto tree = ListTree(&engine);
  EXPECT_EQ(tree.size(), 3u);  // one/, one/two/, the file
  EXPECT_TRUE(tree.count("one/two/Lost File.txt"));
  ASSERT_GE(log.percents.size(), 3u);
  EXPECT_EQ(log.percents.front(), 1);
  EXPECT_EQ(log.percents.back(), 100);
}

TEST_F(FastFatEngineTest, LongestLongNameDoesNotEndTheListing) {
  const std::string longest = std::string(251, 'L') + ".txt";  // 255 characters, 20 pieces
  ASSERT_TRUE(script_->Put(longest, FatImageScript::Bytes(100, 2)));
  ASSERT_TRUE(script_->Put("Next File.txt", FatImageScript::Bytes(100, 3)));
  ASSERT_TRUE(script_->Delete(longest));
  ASSERT_TRUE(script_->Delete("Next File.txt"));
  auto engine = ScanFatImage(script_->Image(), work_ + "/log");
  ASSERT_NE(engine, nullptr);
  const auto tree = ListTree(engine.get());
  EXPECT_TRUE(tree.count(longest));
  EXPECT_TRUE(tree.count("Next File.txt"));
}

TEST_F(FastFatEngineTest, DeletedFolderWhoseClusterWentToAnotherFolderIsNotListed) {
  FatImageScript& s = *script_;
  ASSERT_TRUE(s.Mkdir("Old Folder"));
  ASSERT_TRUE(s.Put("Old Folder/Old File.txt", FatImageScript::Bytes(10, 8)));
  ASSERT_TRUE(s.Mkdir("Other"));
  ASSERT_TRUE(s.DeleteTree("Old Folder"));
  // The new folder takes the released cluster of "Old Folder".
  ASSERT_TRUE(s.Mkdir("Other/New Folder"));
  ASSERT_TRUE(s.Put("Other/New Folder/Live File.txt", FatImageScript::Bytes(10, 9)));
  auto engine = ScanFatImage(s.Image(), work_ + "/log");
  ASSERT_NE(engine, nullptr);
  for (const auto& [key, record] : ListTree(engine.get())) {
    EXPECT_EQ(key.find("Live File.txt"), std::string::npos) << key;
  }
}

TEST_F(FastFatEngineTest, LiveFolderIsListedPastItsFirstCluster) {
  // 2 KiB clusters hold 64 entries; 40 long names take about 120.
  ASSERT_TRUE(script_->Mkdir("Big Folder"));
  for (int i = 0; i < 40; ++i) {
    ASSERT_TRUE(script_->Put("Big Folder/File number " + std::to_string(i) + ".txt",
                             FatImageScript::Bytes(10, 100 + i)));
  }
  ASSERT_TRUE(script_->Delete("Big Folder/File number 39.txt"));
  auto engine = ScanFatImage(script_->Image(), work_ + "/log");
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(ListTree(engine.get()).count("Big Folder/File number 39.txt"));
}

TEST_F(FastFatEngineTest, FourKibibyteSectors) {
  fs::create_directories(work_ + "/4k");
  FatImageScript volume(work_ + "/4k", "64M", "-S 4096");
  ASSERT_TRUE(volume.Ok());
  const std::string content = FatImageScript::Bytes(20000, 10);
  ASSERT_TRUE(volume.Mkdir("Some Dir") && volume.Put("Some Dir/Big File.bin", content));
  ASSERT_TRUE(volume.DeleteTree("Some Dir"));
  auto engine = ScanFatImage(volume.Image(), work_ + "/log");
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->Geometry().bytes_per_sector, 4096u);
  const auto tree = ListTree(engine.get());
  ASSERT_TRUE(tree.count("Some Dir/Big File.bin"));
  const std::string out = work_ + "/out/big.bin";
  ASSERT_EQ(engine->RecoverFile(tree.at("Some Dir/Big File.bin"), out, 0), 0);
  std::ifstream in(out, std::ios::binary);
  EXPECT_TRUE(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()) ==
              content);
}

TEST_F(FastFatEngineTest, FreeRangesCoverExactlyTheFreeClusters) {
  ASSERT_TRUE(script_->Put("a.bin", FatImageScript::Bytes(5000, 4)));
  ASSERT_TRUE(script_->Put("b.bin", FatImageScript::Bytes(9000, 5)));
  ASSERT_TRUE(script_->Delete("a.bin"));  // a hole at the start of the data area
  std::string listing;
  ASSERT_EQ(RunCommand("MTOOLS_SKIP_CHECK=1 mdir -i '" + script_->Image() + "' ::", &listing), 0);
  const size_t free_at = listing.rfind("bytes free");
  ASSERT_NE(free_at, std::string::npos);
  std::string digits;
  for (size_t i = listing.rfind('\n', free_at - 2) + 1; i < free_at; ++i) {
    if (std::isdigit(static_cast<unsigned char>(listing[i]))) digits.push_back(listing[i]);
  }
  const uint64_t free_bytes = std::stoull(digits);

  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(script_->Image(), u'Z'), 0);
  ASSERT_EQ(engine.LoadClusterBitmap(), 0);
  const FatGeometry& g = engine.Geometry();
  uint64_t position = 0;
  uint64_t length = 0;
  uint64_t free_sectors = 0;
  int ranges = 0;
  while (ranges < 10000) {
    ASSERT_EQ(engine.GetNextFreeRange(&position, &length), 1);
    if (length == 0) break;
    EXPECT_GE(position, g.first_data_sector);
    free_sectors += length;
    position += length;
    ++ranges;
  }
  EXPECT_EQ(free_sectors * g.bytes_per_sector, free_bytes);
  EXPECT_EQ(ranges, 2);  // the hole, then everything behind b.bin
  EXPECT_EQ(position, g.total_sectors);
}

TEST_F(FastFatEngineTest, PreviewFillsMemoryOrATemporaryFile) {
  const std::string content = FatImageScript::Bytes(4000, 6);
  ASSERT_TRUE(script_->Put("Preview Me.txt", content));
  ASSERT_TRUE(script_->Delete("Preview Me.txt"));
  auto engine = ScanFatImage(script_->Image(), work_ + "/log");
  ASSERT_NE(engine, nullptr);
  const auto tree = ListTree(engine.get());
  ASSERT_TRUE(tree.count("Preview Me.txt"));
  const ScanRecord& record = tree.at("Preview Me.txt");

  std::vector<uint8_t> memory(1000);
  int bytes = static_cast<int>(memory.size());
  ASSERT_EQ(engine->PreviewFile(record, nullptr, memory.data(), &bytes, nullptr, nullptr), 0);
  EXPECT_EQ(bytes, 1000);
  EXPECT_EQ(std::string(memory.begin(), memory.end()), content.substr(0, 1000));

  std::string path;
  bytes = 0;
  ASSERT_EQ(engine->PreviewFile(record, &path, nullptr, &bytes, nullptr, nullptr), 0);
  EXPECT_EQ(path.rfind(data_dir_.Path(), 0), 0u) << path;  // inside the scan-log area
  std::ifstream in(path, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()),
            content);
  // The next preview replaces the previous temporary file.
  ASSERT_EQ(engine->PreviewFile(record, &path, nullptr, &bytes, nullptr, nullptr), 0);
  EXPECT_EQ(fs::path(path).filename(), "Preview Me.txt");
}

TEST_F(FastFatEngineTest, FactoryGivesTheFatEngineForAQuickScan) {
  ASSERT_TRUE(script_->Put("Gone.txt", FatImageScript::Bytes(10, 7)));
  ASSERT_TRUE(script_->Delete("Gone.txt"));
  auto engine = CreateEngineForImage(script_->Image(), u'Q', false);
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(engine->Scan(nullptr), 0);
  ScanRecordList children;
  ASSERT_EQ(engine->GetChildren(nullptr, 0, &children), 0);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(RecordName(children[0]), "Gone.txt");
  EXPECT_EQ(children[0].drive_tag, u'Q');
  EXPECT_EQ(engine->GetRecordCount(), 1u);
}

}  // namespace
}  // namespace velmora::testing
