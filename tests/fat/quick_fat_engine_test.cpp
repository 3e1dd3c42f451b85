// Engine operations around the scan: cancel, free ranges, preview, long names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "deep/engine_factory.h"
#include "fat_scan_helpers.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

int CancelAtOnce(void*, int, int, int, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t, uint32_t) {
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

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
std::string AsString(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class FastFatEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    work_ = MakeTempDir("fat-engine");
    fat_ = std::make_unique<FatVolumeBuilder>(work_ + "/volume.img", 12, 4 << 20);
  }
  void TearDown() override {
    if (!work_.empty()) RemoveTree(work_);
  }
  std::unique_ptr<CFastFatRecovery> FinishAndScan() {
    truth_ = fat_->Finish();
    return ScanFatImage(truth_.image_path, work_ + "/log");
  }
  std::string work_;
  ScopedDataDir data_dir_;
  std::unique_ptr<FatVolumeBuilder> fat_;
  VolumeTruth truth_;
};

TEST_F(FastFatEngineTest, ScanAfterACancelledScanStartsAfresh) {
  fat_->MakeDirectory("/one/two");
  fat_->AddFile("/one/two/Lost File.txt", RandomText(3000, 1));
  fat_->Delete("/one/two/Lost File.txt");
  truth_ = fat_->Finish();

  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(truth_.image_path, u'Z'), 0);
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
  fat_->AddFile("/" + longest, RandomBytes(100, 2));
  fat_->AddFile("/Next File.txt", RandomBytes(100, 3));
  fat_->Delete("/" + longest);
  fat_->Delete("/Next File.txt");
  auto engine = FinishAndScan();
  ASSERT_NE(engine, nullptr);
  const auto tree = ListTree(engine.get());
  EXPECT_TRUE(tree.count(longest));
  EXPECT_TRUE(tree.count("Next File.txt"));
}

TEST_F(FastFatEngineTest, DeletedFolderWhoseClusterWentToAnotherFolderIsNotListed) {
  fat_->MakeDirectory("/Old Folder");
  fat_->AddFile("/Old Folder/Old File.txt", RandomText(10, 8));
  fat_->MakeDirectory("/Other");
  fat_->DeleteTree("/Old Folder");
  // The new folder takes the released cluster of "Old Folder" (lowest free first).
  fat_->MakeDirectory("/Other/New Folder");
  fat_->AddFile("/Other/New Folder/Live File.txt", RandomText(10, 9));
  auto engine = FinishAndScan();
  ASSERT_NE(engine, nullptr);
  for (const auto& [key, record] : ListTree(engine.get())) {
    EXPECT_EQ(key.find("Live File.txt"), std::string::npos) << key;
  }
}

TEST_F(FastFatEngineTest, LiveFolderIsListedPastItsFirstCluster) {
  // 2 KiB clusters hold 64 entries; 40 long names take about 120.
  fat_->MakeDirectory("/Big Folder");
  for (int i = 0; i < 40; ++i) {
    fat_->AddFile("/Big Folder/File number " + std::to_string(i) + ".txt", RandomText(10, 100 + i));
  }
  fat_->Delete("/Big Folder/File number 39.txt");
  auto engine = FinishAndScan();
  ASSERT_NE(engine, nullptr);
  EXPECT_TRUE(ListTree(engine.get()).count("Big Folder/File number 39.txt"));
}

TEST_F(FastFatEngineTest, DeletedFolderContinuesIntoTheNextFreeCluster) {
  // Empty files take no clusters, so the folder's second cluster follows its first.
  fat_->MakeDirectory("/Big Gone");
  for (int i = 0; i < 40; ++i) fat_->AddFile("/Big Gone/Empty number " + std::to_string(i), {});
  fat_->DeleteTree("/Big Gone");
  auto engine = FinishAndScan();
  ASSERT_NE(engine, nullptr);
  const auto tree = ListTree(engine.get());
  EXPECT_TRUE(tree.count("Big Gone/Empty number 0"));
  EXPECT_TRUE(tree.count("Big Gone/Empty number 39"));
  EXPECT_EQ(tree.size(), 41u);
}

TEST_F(FastFatEngineTest, NamesFromTheDiskStayInsideTheDestination) {
  fat_->MakeDirectory("/Gone");
  fat_->AddFile("/Gone/aX..Xescape.txt", RandomText(60, 11));
  fat_->DeleteTree("/Gone");
  truth_ = fat_->Finish();
  // Plant a slash and ".." in the long name: its first five characters are stored together.
  const std::u16string planted = u"aX..X";
  const std::u16string hostile = u"a/../";
  std::string image = ReadWhole(truth_.image_path);
  const size_t at = image.find(std::string(reinterpret_cast<const char*>(planted.data()), 10));
  ASSERT_NE(at, std::string::npos);
  image.replace(at, 10, std::string(reinterpret_cast<const char*>(hostile.data()), 10));
  std::ofstream(truth_.image_path, std::ios::binary)
      .write(image.data(), static_cast<long>(image.size()));

  auto engine = ScanFatImage(truth_.image_path, work_ + "/log");
  ASSERT_NE(engine, nullptr);
  const auto tree = ListTree(engine.get());
  ASSERT_TRUE(tree.count("Gone/a/../escape.txt"));
  const std::string out = work_ + "/out/inner/Gone";
  ASSERT_EQ(engine->RecoverFile(tree.at("Gone/"), out, 0), 0);
  EXPECT_EQ(ReadWhole(out + "/a_.._escape.txt"), AsString(RandomText(60, 11)));
  EXPECT_FALSE(fs::exists(work_ + "/out/inner/escape.txt"));
  EXPECT_FALSE(fs::exists(work_ + "/out/escape.txt"));
}

TEST_F(FastFatEngineTest, FourKibibyteSectors) {
  const std::string image = work_ + "/4k.img";
  const std::string content = AsString(RandomBytes(20000, 10));
  { std::ofstream(work_ + "/big.bin", std::ios::binary).write(content.data(), 20000); }
  const std::string mtools = "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 ";
  ASSERT_EQ(
      RunCommand("truncate -s 64M '" + image + "' && mkfs.fat -S 4096 '" + image +
                 "' >/dev/null && " + mtools + "mmd -i '" + image + "' '::Some Dir' && " + mtools +
                 "mcopy -i '" + image + "' '" + work_ + "/big.bin' '::Some Dir/Big File.bin' && " +
                 mtools + "mdeltree -i '" + image + "' '::Some Dir'"),
      0);
  auto engine = ScanFatImage(image, work_ + "/log");
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->Geometry().bytes_per_sector, 4096u);
  const auto tree = ListTree(engine.get());
  ASSERT_TRUE(tree.count("Some Dir/Big File.bin"));
  const std::string out = work_ + "/out/big.bin";
  ASSERT_EQ(engine->RecoverFile(tree.at("Some Dir/Big File.bin"), out, 0), 0);
  EXPECT_TRUE(ReadWhole(out) == content);
}

TEST_F(FastFatEngineTest, FreeRangesCoverExactlyTheFreeClusters) {
  fat_->AddFile("/a.bin", RandomBytes(5000, 4));
  fat_->AddFile("/b.bin", RandomBytes(9000, 5));
  fat_->Delete("/a.bin");  // a hole at the start of the data area
  truth_ = fat_->Finish();
  std::string listing;
  ASSERT_EQ(RunCommand("MTOOLS_SKIP_CHECK=1 mdir -i '" + truth_.image_path + "' ::", &listing), 0);
  const size_t free_at = listing.rfind("bytes free");
  ASSERT_NE(free_at, std::string::npos);
  std::string digits;
  for (size_t i = listing.rfind('\n', free_at - 2) + 1; i < free_at; ++i) {
    if (std::isdigit(static_cast<unsigned char>(listing[i]))) digits.push_back(listing[i]);
  }
  const uint64_t free_bytes = std::stoull(digits);

  CFastFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(truth_.image_path, u'Z'), 0);
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
  const std::string content = AsString(RandomText(4000, 6));
  fat_->AddFile("/Preview Me.txt", RandomText(4000, 6));
  fat_->Delete("/Preview Me.txt");
  auto engine = FinishAndScan();
  ASSERT_NE(engine, nullptr);
  const auto tree = ListTree(engine.get());
  ASSERT_TRUE(tree.count("Preview Me.txt"));
  const ScanRecord& record = tree.at("Preview Me.txt");

  std::vector<uint8_t> memory(1000);
  int bytes = static_cast<int>(memory.size());
  ASSERT_EQ(engine->PreviewFile(record, nullptr, memory.data(), &bytes, nullptr, nullptr), 0);
  EXPECT_EQ(bytes, 1000);
  EXPECT_EQ(AsString(memory), content.substr(0, 1000));

  std::string path;
  bytes = 0;
  ASSERT_EQ(engine->PreviewFile(record, &path, nullptr, &bytes, nullptr, nullptr), 0);
  EXPECT_EQ(path.rfind(data_dir_.Path(), 0), 0u) << path;  // inside the scan-log area
  EXPECT_EQ(ReadWhole(path), content);
  // The next preview replaces the previous temporary file.
  ASSERT_EQ(engine->PreviewFile(record, &path, nullptr, &bytes, nullptr, nullptr), 0);
  EXPECT_EQ(fs::path(path).filename(), "Preview Me.txt");
}

TEST_F(FastFatEngineTest, FactoryGivesTheFatEngineForAQuickScan) {
  fat_->AddFile("/Gone.txt", RandomText(10, 7));
  fat_->Delete("/Gone.txt");
  truth_ = fat_->Finish();
  auto engine = CreateEngineForImage(truth_.image_path, u'Q', false);
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(engine->Scan(nullptr), 0);
  ScanRecordList children;
  ASSERT_EQ(engine->GetChildren(nullptr, 0, &children), 0);
  ASSERT_EQ(children.size(), 1u);
  EXPECT_EQ(RecordName(children[0]), "Gone.txt");
  EXPECT_EQ(+children[0].drive_tag, u'Q');
  EXPECT_EQ(engine->GetRecordCount(), 1u);
}

}  // namespace
}  // namespace velmora::testing
