// The deep NTFS engine over real volumes made by mkntfs and libntfs-3g.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>

#include "deep_ntfs_images.h"
#include "deep_scan_driver.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "ntfs/professional_ntfs_recovery.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::DeepTestFile;
using testing::PatternBytes;

constexpr uint64_t kMiB = 1024 * 1024;

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Every record of the engine's log by its folder path + name.
std::map<std::string, ScanRecord> RecordsByPath(CProfessionalNtfsRecovery* engine) {
  std::map<std::string, ScanRecord> out;
  ScanLogStore* store = engine->Store();
  store->Flush();
  for (uint32_t i = 1; i <= store->GetRecordCount(); ++i) {
    ScanRecord record;
    if (store->ReadRecord(i, &record) != kSuccess) continue;
    std::string folder;
    engine->GetFullPath(record, &folder);
    out[folder + std::string(RecordName(record)) + (record.is_directory ? "/" : "")] = record;
  }
  return out;
}

class DeepNtfsVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::NtfsToolsAvailable()) GTEST_SKIP() << "mkntfs or libntfs-3g missing";
    folder_ = testing::MakeTempDir("ntfsdeep");
    image_ = folder_ + "/disk.img";
  }
  void TearDown() override {
    if (!folder_.empty()) testing::RemoveTree(folder_);
  }

  std::vector<DeepTestFile> Tree(const std::string& prefix, uint32_t seed) {
    return {
        {"/" + prefix + "docs", {}, true},
        {"/" + prefix + "docs/notes.txt", PatternBytes(300, seed + 1)},  // resident
        {"/" + prefix + "docs/deep", {}, true},
        {"/" + prefix + "docs/deep/report.bin", PatternBytes(150000, seed + 2)},
        {"/" + prefix + "pics", {}, true},
        {"/" + prefix + "pics/photo.dat", PatternBytes(70000, seed + 3)},
        {"/" + prefix + "top.bin", PatternBytes(9000, seed + 4)},
    };
  }

  // Recovers `record` to a fresh path and returns the bytes written.
  std::vector<uint8_t> Recover(CProfessionalNtfsRecovery* engine, const ScanRecord& record) {
    const std::string out = folder_ + "/out" + std::to_string(++recovered_) + "/" +
                            std::string(RecordName(record));
    EXPECT_EQ(engine->RecoverFile(record, out, 0), kSuccess) << RecordName(record);
    return ReadWholeFile(out);
  }

  testing::ScopedDataDir data_dir_;
  std::string folder_;
  std::string image_;
  int recovered_ = 0;
};

TEST_F(DeepNtfsVolumeTest, QuickFormattedVolumeGivesBackItsFilesWithNamesAndFolders) {
  const uint64_t size = 32 * kMiB;
  ASSERT_EQ(testing::FormatNtfs(image_, 0, size, 4096), "");
  const std::vector<DeepTestFile> files = Tree("", 10);
  ASSERT_EQ(testing::PopulateNtfs(image_, 0, size, files), "");
  ASSERT_EQ(testing::FormatNtfs(image_, 0, size, 4096), "");  // a new, empty volume on top

  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image_, u'Z'), kSuccess);
  EXPECT_EQ(engine.MftMap().Size(), 1u);  // the new volume's own MFT, from its boot sector
  EXPECT_EQ(engine.ClusterEstimate(), 8u);
  ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image_, 0, size / 512), kSuccess);

  const auto found = RecordsByPath(&engine);
  for (const DeepTestFile& file : files) {
    const std::string key = file.path.substr(1) + (file.is_directory ? "/" : "");
    ASSERT_TRUE(found.count(key)) << "missing " << key;
    const ScanRecord& record = found.at(key);
    EXPECT_EQ(record.source_kind, kSourceNtfsDeep);
    EXPECT_EQ(record.partition_start, 0u);
    EXPECT_EQ(record.cluster_size, 4096);
    if (file.is_directory) continue;
    EXPECT_EQ(record.size, file.data.size()) << key;
    EXPECT_EQ(Recover(&engine, record), file.data) << key;
  }
  // Only user files: the new volume's metadata files are not reported.
  EXPECT_EQ(found.size(), files.size());
  for (const auto& [path, record] : found) EXPECT_NE(RecordName(record)[0], '$') << path;
}

TEST_F(DeepNtfsVolumeTest, FolderRecoveryRebuildsTheTreeBelowIt) {
  const uint64_t size = 24 * kMiB;
  ASSERT_EQ(testing::FormatNtfs(image_, 0, size, 4096), "");
  const std::vector<DeepTestFile> files = Tree("", 20);
  ASSERT_EQ(testing::PopulateNtfs(image_, 0, size, files), "");
  ASSERT_EQ(testing::FormatNtfs(image_, 0, size, 4096), "");

  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image_, u'Z'), kSuccess);
  ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image_, 0, size / 512), kSuccess);
  const auto found = RecordsByPath(&engine);
  ASSERT_TRUE(found.count("docs/"));
  const std::string out = folder_ + "/tree/docs";
  // docs lies at level 1: base depth = slashes in its destination - 1.
  const int base = static_cast<int>(std::count(out.begin(), out.end(), '/')) - 1;
  ASSERT_EQ(engine.RecoverFile(found.at("docs/"), out, base), kSuccess);
  EXPECT_EQ(ReadWholeFile(out + "/notes.txt"), files[1].data);
  EXPECT_EQ(ReadWholeFile(out + "/deep/report.bin"), files[3].data);
}

TEST_F(DeepNtfsVolumeTest, TwoVolumesOneAfterTheOtherKeepTheirOwnFilesAndFolders) {
  const uint64_t size = 16 * kMiB;
  ASSERT_EQ(testing::FormatNtfs(image_, 0, size, 4096), "");
  ASSERT_EQ(testing::FormatNtfs(image_, size, size, 2048), "");
  const std::vector<DeepTestFile> first = Tree("", 30);
  const std::vector<DeepTestFile> second = Tree("", 40);  // same names, same record numbers
  ASSERT_EQ(testing::PopulateNtfs(image_, 0, size, first), "");
  ASSERT_EQ(testing::PopulateNtfs(image_, size, size, second), "");

  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image_, u'Z'), kSuccess);
  ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image_, 0, 2 * size / 512), kSuccess);
  EXPECT_GE(engine.MftMap().Size(), 2u);

  // Same paths twice: each record must come from its own volume.
  std::map<std::string, std::vector<ScanRecord>> by_path;
  ScanLogStore* store = engine.Store();
  for (uint32_t i = 1; i <= store->GetRecordCount(); ++i) {
    ScanRecord record;
    ASSERT_EQ(store->ReadRecord(i, &record), kSuccess);
    std::string folder;
    engine.GetFullPath(record, &folder);
    by_path[folder + std::string(RecordName(record))].push_back(record);
  }
  for (size_t i = 0; i < first.size(); ++i) {
    const std::string key = first[i].path.substr(1);
    ASSERT_EQ(by_path[key].size(), 2u) << key;
    std::map<uint64_t, ScanRecord> by_volume;
    for (const ScanRecord& r : by_path[key]) by_volume[r.partition_start] = r;
    ASSERT_TRUE(by_volume.count(0) && by_volume.count(size / 512)) << key;
    EXPECT_EQ(by_volume[0].cluster_size, 4096);
    EXPECT_EQ(by_volume[size / 512].cluster_size, 2048);
    if (first[i].is_directory) continue;
    EXPECT_EQ(Recover(&engine, by_volume[0]), first[i].data) << key;
    EXPECT_EQ(Recover(&engine, by_volume[size / 512]), second[i].data) << key;
  }
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

// Volumes made elsewhere: the pass must end and every reported file must copy
// out (or fail with a code) without a crash.
void ScanSharedImage(const std::string& relative) {
  const std::string image = testing::SharedTestData(relative);
  if (image.empty()) GTEST_SKIP() << "shared test data " << relative << " is absent";
  testing::ScopedDataDir data_dir;
  const std::string out = testing::MakeTempDir("ntfsdeep-shared");
  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'Y'), kSuccess);
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, image), kSuccess);
  ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image, 0, reader.total_sectors), kSuccess);
  ScanLogStore* store = engine.Store();
  EXPECT_GT(store->GetRecordCount(), 0u);
  for (uint32_t i = 1; i <= store->GetRecordCount(); ++i) {
    ScanRecord record;
    ASSERT_EQ(store->ReadRecord(i, &record), kSuccess);
    std::string path;
    EXPECT_EQ(engine.GetFullPath(record, &path), kSuccess);
    if (record.is_directory || record.size > (64u << 20)) continue;
    const int rc = engine.RecoverFile(record, out + "/" + std::to_string(i), 0);
    EXPECT_NE(rc, kCancelledByUser);
  }
  testing::RemoveTree(out);
}

TEST(DeepNtfsSharedImages, VelociraptorTestVolume) { ScanSharedImage("velociraptor/test.ntfs.dd"); }
TEST(DeepNtfsSharedImages, NtfsCrateTestVolume) { ScanSharedImage("ntfs-rust-crate/testfs1"); }

}  // namespace
}  // namespace velmora
