// A real NTFS volume with 64 KiB clusters (mkntfs -c 65536): its boot sector stores 128
// sectors per cluster as 0x80, which both the selection and the engines must read as a count.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>

#include "deep/boot_sector_classifier.h"
#include "deep/engine_factory.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "ntfs/ntfs_geometry.h"
#include "storage/error_codes.h"
#include "support/content_gen.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora {
namespace {

class LargeClusterNtfsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::NtfsBuilderAvailable()) GTEST_SKIP() << "mkntfs or libntfs-3g is not available";
    dir_ = testing::MakeTempDir("ntfs64k");
    testing::NtfsVolumeBuilder ntfs(dir_ + "/ntfs64k.img", 64ull << 20, {.cluster_size = 65536});
    ntfs.MakeDirectory("/docs");
    ntfs.AddFile("/docs/report.pdf", testing::SampleContent("pdf", 150000, 1));
    ntfs.AddFile("/docs/small.txt", testing::RandomText(300, 2));
    ntfs.AddFragmentedFile("/spread.bin", testing::RandomBytes(300000, 3), 3);
    ntfs.AddFile("/photo.jpg", testing::SampleContent("jpg", 70000, 4));
    ntfs.Delete("/docs/report.pdf");
    ntfs.Delete("/docs/small.txt");
    ntfs.Delete("/spread.bin");
    ntfs.Delete("/photo.jpg");
    truth_ = ntfs.Finish();
  }
  void TearDown() override {
    if (!dir_.empty()) testing::RemoveTree(dir_);
  }

  // Every deleted file whose data survived comes back byte for byte under its name.
  void ExpectDeletedFilesRecovered(IFileRecoveryParse* engine, const char* mode) {
    std::string filter;
    FilterForCategories("all", &filter);
    ScanRecordList records;
    engine->GetFilesByType(filter, &records);
    std::map<std::string, ScanRecord> by_name;
    for (const ScanRecord& r : records) {
      if (r.source_kind != kSourceSignature) by_name.emplace(std::string(RecordName(r)), r);
    }
    size_t checked = 0;
    for (const testing::TruthEntry* file : truth_.Files()) {
      if (!file->deleted || !file->stream.empty() || !file->data_intact) continue;
      SCOPED_TRACE(std::string(mode) + " " + file->path);
      const auto it = by_name.find(file->name);
      ASSERT_NE(it, by_name.end()) << "not listed";
      EXPECT_EQ(it->second.cluster_size, 65536);
      const std::string out = dir_ + "/" + mode + "-" + std::to_string(++checked);
      ASSERT_EQ(engine->RecoverFile(it->second, out, 0), kSuccess);
      std::ifstream in(out, std::ios::binary);
      EXPECT_EQ(testing::Md5Hex({std::istreambuf_iterator<char>(in), {}}), file->md5);
    }
    EXPECT_GE(checked, 4u) << mode;
  }

  testing::ScopedDataDir data_dir_;
  std::string dir_;
  testing::VolumeTruth truth_;
};

TEST_F(LargeClusterNtfsTest, SelectionAndEnginesReadTheSameGeometry) {
  std::ifstream in(truth_.image_path, std::ios::binary);
  std::vector<uint8_t> area(16384);
  ASSERT_TRUE(
      in.read(reinterpret_cast<char*>(area.data()), static_cast<std::streamsize>(area.size())));
  ASSERT_EQ(area[0x0D], 0x80);
  EXPECT_EQ(ClassifyBootArea(area.data()), FileSystemKind::kNtfs);
  ntfs::NtfsGeometry geometry;
  ASSERT_TRUE(ntfs::ParseNtfsBootSector(area.data(), 512, &geometry));
  EXPECT_EQ(geometry.sectors_per_cluster, 128u);
  EXPECT_EQ(geometry.cluster_size, 65536u);
}

TEST_F(LargeClusterNtfsTest, QuickAndDeepScansRecoverTheDeletedFiles) {
  auto quick = CreateEngineForImage(truth_.image_path, u'Q', false);
  ASSERT_NE(quick, nullptr);
  ASSERT_EQ(quick->Scan(nullptr), kSuccess);
  ExpectDeletedFilesRecovered(quick.get(), "quick");

  auto deep = CreateEngineForImage(truth_.image_path, u'D', true);
  ASSERT_NE(deep, nullptr);
  ASSERT_EQ(deep->Scan(nullptr), kSuccess);
  ExpectDeletedFilesRecovered(deep.get(), "deep");
}

}  // namespace
}  // namespace velmora
