// The deep NTFS engine on hand-made records: placement, folders, bounds and
// the faults a damaged disk presents.
#include "ntfs/deep_ntfs_recovery.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "deep_record_builder.h"
#include "deep_scan_driver.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "ntfs/cluster_estimate.h"
#include "ntfs/mft_map.h"
#include "ntfs_test_helpers.h"
#include "storage/error_codes.h"
#include "support/content_gen.h"
#include "support/test_env.h"

// Records are written with designated initializers that leave the rest at its default.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace velmora {
namespace {

using ntfs::DataRun;
using ntfs::MftLayout;
using ntfs::MftMap;
using ntfs::RunKind;
using testing::BuildRecord;
using testing::SyntheticRecord;
using testing::SyntheticRun;
using Pass = CProfessionalNtfsRecovery::RecordPass;

constexpr uint64_t kMiB = 1024 * 1024;

TEST(DeepClusterEstimate, DefaultFollowsTheVolumeSize) {
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(300 * kMiB / 512, 512), 1u);
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(8192 * kMiB / 512, 512), 8u);
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(512 * kMiB / 512, 512), 1u);
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(513 * kMiB / 512, 512), 2u);
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(1024 * kMiB / 512, 512), 2u);
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(1500 * kMiB / 512, 512), 4u);
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(2049 * kMiB / 512, 512), 8u);
  // 7 MiB or less: the same 8 as large volumes.
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(7 * kMiB / 512, 512), 8u);
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(0, 512), 8u);
  // 4 KiB sectors scale the limits by 8.
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(56 * kMiB / 4096, 4096), 8u);
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(100 * kMiB / 4096, 4096), 1u);
  EXPECT_EQ(ntfs::DefaultSectorsPerCluster(5000 * kMiB / 4096, 4096), 2u);
}

ntfs::MftRecord Parse(std::vector<uint8_t>* bytes) {
  EXPECT_NE(ntfs::ApplyFixup(*bytes), ntfs::FixupResult::kBadArray);
  ntfs::MftRecord record;
  EXPECT_EQ(ntfs::ParseMftRecord(*bytes, &record), ntfs::MftRecordVerdict::kValid);
  return record;
}

TEST(DeepClusterEstimate, RecordGivesAllocatedSizeOverItsClusters) {
  SyntheticRecord shape{.number = 50,
                        .name = "a.bin",
                        .has_data = true,
                        .runs = {{2, 100}, {3, 200}},
                        .real_size = 20000,
                        .cluster_bytes = 4096};
  auto bytes = BuildRecord(shape);
  EXPECT_EQ(ntfs::SectorsPerClusterFromRecord(Parse(&bytes), 512), 8u);
  shape.cluster_bytes = 2048;
  bytes = BuildRecord(shape);
  EXPECT_EQ(ntfs::SectorsPerClusterFromRecord(Parse(&bytes), 512), 4u);
  shape.cluster_bytes = 3000;  // not a whole number of sectors
  bytes = BuildRecord(shape);
  EXPECT_EQ(ntfs::SectorsPerClusterFromRecord(Parse(&bytes), 512), 0u);
  shape.runs.clear();  // resident data says nothing about clusters
  shape.resident = {1, 2, 3};
  bytes = BuildRecord(shape);
  EXPECT_EQ(ntfs::SectorsPerClusterFromRecord(Parse(&bytes), 512), 0u);
}

TEST(DeepMftMap, PlacesRecordsThroughFragmentedRunsOnly) {
  MftMap map;
  // Volume at sector 1000, 8 sectors per cluster; MFT in clusters 10-11 and 50-51.
  std::vector<DataRun> runs{{0, 2, 10, RunKind::kAllocated}, {2, 2, 50, RunKind::kAllocated}};
  ASSERT_TRUE(map.Add(1000 + 10 * 8, 8, runs));
  MftLayout layout;
  ASSERT_TRUE(map.Locate(3, 1000 + 10 * 8 + 6, 2, &layout));  // first run
  EXPECT_EQ(layout.volume_start, 1000u);
  ASSERT_TRUE(map.Locate(9, 1000 + 50 * 8 + 2, 2, &layout));  // record 9: sector 18 = cluster 2, +2
  EXPECT_FALSE(
      map.Locate(9, 1000 + 10 * 8 + 18, 2, &layout));  // where a contiguous MFT would put it
  EXPECT_FALSE(map.Locate(16, 1000 + 50 * 8 + 16, 2, &layout));  // past the runs
  uint64_t sector = 0;
  EXPECT_TRUE(layout.RecordSector(8, 2, &sector));
  EXPECT_EQ(sector, 1000u + 50 * 8);
}

TEST(DeepMftMap, RefusesImpossibleMftsAndStaysBounded) {
  MftMap map;
  // The first run cannot put the volume before sector 0.
  EXPECT_FALSE(map.Add(16, 8, {{0, 4, 100, RunKind::kAllocated}}));
  EXPECT_FALSE(map.Add(16, 8, {{0, 4, 0, RunKind::kSparse}}));
  EXPECT_FALSE(map.Add(16, 8, {}));
  for (uint64_t i = 0; i < 200; ++i) map.Add(1000 + i * 100, 8, {{0, 4, 1, RunKind::kAllocated}});
  EXPECT_EQ(map.Size(), MftMap::kMaxEntries);
  // A known MFT may still be replaced.
  EXPECT_TRUE(map.Add(1000, 8, {{0, 8, 1, RunKind::kAllocated}}));
  EXPECT_EQ(map.Size(), MftMap::kMaxEntries);
}

TEST(DeepMftMap, ContiguousLayoutStartsWhereRecordZeroWouldBe) {
  MftLayout layout;
  ASSERT_TRUE(ntfs::ContiguousLayout(64, 1000, 2, 0, 8, &layout));
  EXPECT_EQ(layout.contiguous_start, 1000u - 128);
  uint64_t sector = 0;
  ASSERT_TRUE(layout.RecordSector(40, 2, &sector));
  EXPECT_EQ(sector, 1000u - 128 + 80);
  EXPECT_FALSE(ntfs::ContiguousLayout(64, 100, 2, 0, 8, &layout));  // would start before sector 0
}

// A disk image without any boot sector, records written where a contiguous
// MFT starting at sector kMft would hold them.
class DeepNtfsRecordTest : public ::testing::Test {
 protected:
  static constexpr uint64_t kMft = 2048;
  static constexpr uint64_t kImageBytes = 4 * kMiB;

  void SetUp() override {
    folder_ = testing::MakeTempDir("ntfsdeep-records");
    image_ = folder_ + "/disk.img";
    { std::ofstream create(image_, std::ios::binary); }
    std::filesystem::resize_file(image_, kImageBytes);
  }
  void TearDown() override { testing::RemoveTree(folder_); }

  void Put(const SyntheticRecord& shape) {
    testing::WriteAt(image_, (kMft + shape.number * 2) * 512, BuildRecord(shape));
  }
  int Run() {
    EXPECT_EQ(engine_.OpenImage(image_, u'X'), kSuccess);
    return testing::RunDeepNtfsPass(&engine_, image_, 0, kImageBytes / 512);
  }
  std::vector<uint8_t> ReadBack(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  std::map<std::string, ScanRecord> Listed() {
    std::map<std::string, ScanRecord> out;
    for (const auto& file : testing::WalkTree(&engine_)) out[file.Path()] = file.record;
    return out;
  }

  testing::ScopedDataDir data_dir_;
  std::string folder_;
  std::string image_;
  CProfessionalNtfsRecovery engine_;
};

TEST_F(DeepNtfsRecordTest, RecordsBeforeAnyMftArePlacedAsIfTheMftWereContiguous) {
  Put({.number = 40, .flags = 3, .name = "outer"});
  Put({.number = 41, .flags = 3, .name = "inner", .parent = 40});
  Put({.number = 42,
       .flags = 0,
       .name = "gone.txt",
       .parent = 41,
       .has_data = true,
       .resident = {'h', 'i'},
       .real_size = 2});
  Put({.number = 43,
       .flags = 1,
       .name = "kept.txt",
       .has_data = true,
       .resident = {'o', 'k'},
       .real_size = 2});
  ASSERT_EQ(Run(), kSuccess);
  const auto listed = Listed();
  ASSERT_EQ(listed.size(), 2u);
  ASSERT_TRUE(listed.count("outer/inner/gone.txt"));  // deleted
  ASSERT_TRUE(listed.count("kept.txt"));              // in use: listed all the same
  const ScanRecord& gone = listed.at("outer/inner/gone.txt");
  EXPECT_EQ(gone.location, kMft + 84);
  EXPECT_EQ(gone.size, 2u);
  EXPECT_EQ(gone.source_kind, kSourceNtfsDeep);
  EXPECT_EQ(gone.created, 132000000000000000ull);
  EXPECT_EQ(engine_.GetRecordCount(), 4u);  // two files, two folders
}

TEST_F(DeepNtfsRecordTest, DirectoriesInTheFirstPassAndDamagedRecordsWriteNothing) {
  ASSERT_EQ(engine_.OpenImage(image_, u'X'), kSuccess);
  ASSERT_EQ(engine_.OpenDeepLog(nullptr), kSuccess);
  auto directory = BuildRecord({.number = 40, .flags = 3, .name = "dir"});
  EXPECT_EQ(engine_.HandleFileRecord(directory, kMft + 80, Pass::kFirst, 0), kSuccess);
  auto file = BuildRecord({.number = 41,
                           .flags = 1,
                           .name = "f.txt",
                           .has_data = true,
                           .resident = {1},
                           .real_size = 1});
  auto beyond = file;
  beyond[0x18] = 0x00;  // bytes in use 0x0800: past the 1 KiB record
  beyond[0x19] = 0x08;
  EXPECT_EQ(engine_.HandleFileRecord(beyond, kMft + 82, Pass::kFirst, 0), kErrInvalidParameter);
  auto inverted = file;
  inverted[0x14] = 0xF0;  // first attribute after the end of the bytes in use
  inverted[0x15] = 0x03;
  EXPECT_EQ(engine_.HandleFileRecord(inverted, kMft + 82, Pass::kFirst, 0), kErrInvalidParameter);
  EXPECT_EQ(engine_.HandleFileRecord(std::span<const uint8_t>(file.data(), 512), kMft + 82,
                                     Pass::kFirst, 0),
            kErrInvalidParameter);  // shorter than a record
  auto system = BuildRecord({.number = 9, .flags = 1, .name = "$Secure"});
  EXPECT_EQ(engine_.HandleFileRecord(system, kMft + 18, Pass::kFirst, 0), kSuccess);
  EXPECT_EQ(engine_.GetRecordCount(), 0u);
  EXPECT_EQ(engine_.ParentCount(), 0u);
}

TEST_F(DeepNtfsRecordTest, FilesWhoseFolderIsGoneOrReusedGoToLostFolders) {
  Put({.number = 40, .flags = 1, .name = "reused.bin"});  // the folder's record now holds a file
  Put({.number = 41,
       .flags = 0,
       .name = "a.txt",
       .parent = 40,
       .has_data = true,
       .resident = {'a'},
       .real_size = 1});
  // Folder 3000 lies past the end of the image: it cannot be read at all.
  Put({.number = 42,
       .flags = 0,
       .name = "b.txt",
       .parent = 300000,
       .has_data = true,
       .resident = {'b'},
       .real_size = 1});
  ASSERT_EQ(Run(), kSuccess);
  const auto listed = Listed();
  EXPECT_TRUE(listed.count("LostFolder40/a.txt"));
  EXPECT_TRUE(listed.count("LostFolder300000/b.txt"));
  EXPECT_TRUE(listed.count("reused.bin"));
}

TEST_F(DeepNtfsRecordTest, ParentLoopsEnd) {
  Put({.number = 40, .flags = 3, .name = "a", .parent = 41});
  Put({.number = 41, .flags = 3, .name = "b", .parent = 40});
  Put({.number = 42, .flags = 3, .name = "self", .parent = 42});
  Put({.number = 43,
       .flags = 0,
       .name = "in-loop.txt",
       .parent = 40,
       .has_data = true,
       .resident = {'x'},
       .real_size = 1});
  Put({.number = 44,
       .flags = 0,
       .name = "in-self.txt",
       .parent = 42,
       .has_data = true,
       .resident = {'y'},
       .real_size = 1});
  ASSERT_EQ(Run(), kSuccess);
  EXPECT_EQ(engine_.ParentCount(), 3u);
  // Both files are reported; the folders form no path from the root.
  EXPECT_EQ(engine_.GetRecordCount(), 5u);
}

TEST_F(DeepNtfsRecordTest, NamesFromTheDiskCannotLeaveTheDestination) {
  Put({.number = 40, .flags = 3, .name = ".."});
  Put({.number = 41,
       .flags = 0,
       .name = "../../escape.txt",
       .parent = 40,
       .has_data = true,
       .resident = {'e'},
       .real_size = 1});
  ASSERT_EQ(Run(), kSuccess);
  ScanRecordList root;
  ASSERT_EQ(engine_.GetChildren(nullptr, 0, &root), kSuccess);
  ASSERT_EQ(root.size(), 1u);
  const std::string out = folder_ + "/out/dest";
  const int base = static_cast<int>(std::count(out.begin(), out.end(), '/')) - 1;
  ASSERT_EQ(engine_.RecoverFile(root[0], out, base), kSuccess);
  size_t inside = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder_ + "/out")) {
    EXPECT_EQ(entry.path().string().rfind(out, 0), 0u) << entry.path();
    if (entry.is_regular_file()) ++inside;
  }
  EXPECT_EQ(inside, 1u);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "/escape.txt"));
}

TEST_F(DeepNtfsRecordTest, FolderRecoveryNeverFollowsALinkInTheDestination) {
  Put({.number = 40, .flags = 3, .name = "outer"});
  Put({.number = 41, .flags = 3, .name = "inner", .parent = 40});
  Put({.number = 42,
       .flags = 0,
       .name = "in.txt",
       .parent = 41,
       .has_data = true,
       .resident = {'i', 'n'},
       .real_size = 2});
  ASSERT_EQ(Run(), kSuccess);
  ScanRecordList root;
  ASSERT_EQ(engine_.GetChildren(nullptr, 0, &root), kSuccess);
  ASSERT_EQ(root.size(), 1u);
  const std::string out = folder_ + "/out/outer";
  const std::string elsewhere = folder_ + "/elsewhere";
  std::filesystem::create_directories(out);
  std::filesystem::create_directories(elsewhere);
  std::filesystem::create_directory_symlink(elsewhere, out + "/inner");
  const int base = static_cast<int>(std::count(out.begin(), out.end(), '/')) - 1;
  ASSERT_EQ(engine_.RecoverFile(root[0], out, base), kSuccess);
  EXPECT_TRUE(std::filesystem::is_empty(elsewhere));
  EXPECT_EQ(ReadBack(out + "/inner(1)/in.txt"), (std::vector<uint8_t>{'i', 'n'}));
}

TEST_F(DeepNtfsRecordTest, HolesReadAsZerosAndFilesGetTheirExactLength) {
  // 4 KiB clusters counted from sector 0 (no volume found: the partition start).
  const std::vector<uint8_t> first = testing::RandomBytes(2 * 4096, 1);
  const std::vector<uint8_t> last = testing::RandomBytes(4096, 2);
  testing::WriteAt(image_, 100 * 4096, first);
  testing::WriteAt(image_, 300 * 4096, last);
  const uint64_t size = 5 * 4096 + 1000;
  Put({.number = 50,
       .flags = 0,
       .name = "holes.bin",
       .has_data = true,
       .runs = {{2, 100}, {3, -1}, {1, 300}},
       .real_size = size});
  ASSERT_EQ(Run(), kSuccess);
  const auto listed = Listed();
  ASSERT_TRUE(listed.count("holes.bin"));
  EXPECT_EQ(listed.at("holes.bin").cluster_size, 4096);  // from the record's own runs
  const std::string out = folder_ + "/holes.bin";
  ASSERT_EQ(engine_.RecoverFile(listed.at("holes.bin"), out, 0), kSuccess);
  std::vector<uint8_t> expected = first;
  expected.resize(5 * 4096, 0);
  expected.insert(expected.end(), last.begin(), last.begin() + 1000);
  EXPECT_EQ(ReadBack(out), expected);

  // Preview into memory stops at the buffer's size.
  std::vector<uint8_t> memory(5000);
  int bytes = static_cast<int>(memory.size());
  ASSERT_EQ(
      engine_.PreviewFile(listed.at("holes.bin"), nullptr, memory.data(), &bytes, nullptr, nullptr),
      kSuccess);
  EXPECT_EQ(bytes, 5000);
  EXPECT_TRUE(std::equal(memory.begin(), memory.end(), expected.begin()));

  // The run list the combined engine uses to find carved duplicates.
  uint64_t sector = 0;
  ASSERT_TRUE(engine_.DataStartSector(listed.at("holes.bin"), &sector));
  EXPECT_EQ(sector, 100u * 8);
}

TEST_F(DeepNtfsRecordTest, ARunPastTheEndOfTheDiskIsAnErrorNotARead) {
  Put({.number = 50,
       .flags = 0,
       .name = "far.bin",
       .has_data = true,
       .runs = {{4, 5000000}},
       .real_size = 4 * 4096});
  ASSERT_EQ(Run(), kSuccess);
  const auto listed = Listed();
  ASSERT_TRUE(listed.count("far.bin"));
  const std::string out = folder_ + "/far.bin";
  EXPECT_NE(engine_.RecoverFile(listed.at("far.bin"), out, 0), kSuccess);
  EXPECT_TRUE(ReadBack(out).empty());
}

TEST_F(DeepNtfsRecordTest, PreviewGoesToTheScanFolderAndAFailedOneLeavesNothing) {
  const std::vector<uint8_t> photo = testing::SampleContent("jpg", 6000, 3);
  testing::WriteAt(image_, 200 * 4096, photo);
  Put({.number = 50,
       .flags = 0,
       .name = "x.JPG",
       .has_data = true,
       .runs = {{2, 200}},
       .real_size = photo.size()});
  Put({.number = 51,
       .flags = 0,
       .name = "far.jpg",
       .has_data = true,
       .runs = {{4, 5000000}},
       .real_size = 4 * 4096});
  ASSERT_EQ(Run(), kSuccess);
  const auto listed = Listed();
  ASSERT_TRUE(listed.count("x.JPG") && listed.count("far.jpg"));

  std::string path;
  int bytes = 0;
  ASSERT_EQ(engine_.PreviewFile(listed.at("x.JPG"), &path, nullptr, &bytes, nullptr, nullptr),
            kSuccess);
  EXPECT_EQ(path, ScanLogDirectory() + "/tmp.jpg");
  EXPECT_EQ(ReadBack(path), photo);
  EXPECT_EQ(bytes, 0);

  std::string failed = "unchanged";
  EXPECT_NE(engine_.PreviewFile(listed.at("far.jpg"), &failed, nullptr, &bytes, nullptr, nullptr),
            kSuccess);
  EXPECT_TRUE(failed.empty());
  EXPECT_FALSE(std::filesystem::exists(ScanLogDirectory() + "/tmp.jpg"));
}

// Damaged records of every kind: bytes flipped in valid records, handed over
// at arbitrary sectors, then folders written and every result copied out.
TEST_F(DeepNtfsRecordTest, DamagedRecordsAreSkippedNeverACrash) {
  const std::vector<SyntheticRecord> shapes = {
      {.number = 40, .flags = 3, .name = "dir"},
      {.number = 41,
       .flags = 0,
       .name = "f.txt",
       .parent = 40,
       .has_data = true,
       .resident = {1, 2, 3},
       .real_size = 3},
      {.number = 42,
       .flags = 1,
       .name = "g.bin",
       .parent = 40,
       .has_data = true,
       .runs = {{2, 100}, {1, -1}, {3, 7}},
       .real_size = 20000},
      {.number = 0,
       .flags = 1,
       .name = "$MFT",
       .has_data = true,
       .runs = {{4, 4}},
       .real_size = 16384},
  };
  for (const SyntheticRecord& shape : shapes) Put(shape);
  ASSERT_EQ(engine_.OpenImage(image_, u'X'), kSuccess);
  ASSERT_EQ(engine_.OpenDeepLog(nullptr), kSuccess);
  uint32_t state = 12345;
  auto next = [&state]() {
    state = state * 1103515245u + 12345u;
    return state >> 8;
  };
  for (int i = 0; i < 3000; ++i) {
    std::vector<uint8_t> record = BuildRecord(shapes[i % shapes.size()]);
    const int flips = 1 + static_cast<int>(next() % 6);
    for (int f = 0; f < flips; ++f) {
      // Mostly the header and the first attributes, where offsets and lengths live.
      const size_t at = next() % (next() % 4 == 0 ? record.size() : 0x120);
      record[at] = static_cast<uint8_t>(next());
    }
    std::memcpy(record.data(), "FILE", 4);
    engine_.HandleFileRecord(record, next() % (kImageBytes / 512 + 64), Pass::kFirst, 0);
  }
  EXPECT_EQ(engine_.FinishDirectories(), kSuccess);
  EXPECT_LE(engine_.MftMap().Size(), MftMap::kMaxEntries);
  ScanLogStore* store = engine_.Store();
  for (uint32_t i = 1; i <= store->GetRecordCount(); ++i) {
    ScanRecord record;
    ASSERT_EQ(store->ReadRecord(i, &record), kSuccess);
    std::string path;
    engine_.GetFullPath(record, &path);
    if (record.is_directory || record.size > (16u << 20)) continue;
    engine_.RecoverFile(record, folder_ + "/fuzz/" + std::to_string(i), 0);
  }
  EXPECT_GT(store->GetRecordCount(), 0u);
}

TEST_F(DeepNtfsRecordTest, MftLookAlikesCannotGrowTheMapWithoutEnd) {
  ASSERT_EQ(engine_.OpenImage(image_, u'X'), kSuccess);
  ASSERT_EQ(engine_.OpenDeepLog(nullptr), kSuccess);
  for (uint64_t i = 0; i < 500; ++i) {
    auto record = BuildRecord({.number = 0,
                               .flags = 1,
                               .name = "$MFT",
                               .has_data = true,
                               .runs = {{4, 1}},
                               .real_size = 4096});
    engine_.HandleFileRecord(record, 100 + i * 16, Pass::kFirst, 0);
  }
  EXPECT_EQ(engine_.MftMap().Size(), MftMap::kMaxEntries);
  EXPECT_EQ(engine_.GetRecordCount(), 0u);
}

}  // namespace
}  // namespace velmora
