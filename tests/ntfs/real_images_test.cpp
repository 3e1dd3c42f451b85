// The engine on NTFS volumes made by other systems, checked against The Sleuth Kit.
#include <gtest/gtest.h>

#include "ntfs/quick_ntfs_recovery.h"
#include "ntfs_test_helpers.h"
#include "storage/error_codes.h"
#include "storage/platform_device.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

class RealImageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!ToolAvailable("fls") || !ToolAvailable("icat"))
      GTEST_SKIP() << "The Sleuth Kit is not installed";
    work_ = MakeTempDir("ntfs-real");
  }
  void TearDown() override {
    if (!work_.empty()) RemoveTree(work_);
  }

  // Deleted files TSK finds with a name (its nameless "OrphanFile-N" entries are
  // MFT records without any $FILE_NAME, which carry nothing to recover).
  static std::vector<std::string> NamedDeletedFiles(const std::string& listing) {
    std::vector<std::string> names;
    std::istringstream lines(ReadWholeFile(listing));
    std::string line;
    while (std::getline(lines, line)) {
      const size_t tab = line.find('\t');
      if (tab == std::string::npos || line.find("r ") == std::string::npos) continue;
      const std::string path = line.substr(tab + 1);
      if (path.rfind("$OrphanFiles/OrphanFile-", 0) == 0) continue;
      names.push_back(path);
    }
    return names;
  }

  // Scans, compares the deleted files with TSK's listing, then copies every
  // allocated file and stream out by its MFT record and compares it with icat.
  void CheckImage(CFastNtfsRecovery* engine, const std::string& image, uint64_t offset,
                  const std::string& fls_deleted, size_t* compared) {
    ASSERT_EQ(engine->Scan(nullptr), 0);
    std::vector<std::string> listed;
    for (const ListedFile& file : WalkTree(engine)) listed.push_back(file.Path());
    std::sort(listed.begin(), listed.end());
    std::vector<std::string> expected = NamedDeletedFiles(fls_deleted);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected);

    *compared = 0;
    for (const auto& [path, address] : SleuthKitAllocatedFiles(image, offset)) {
      const uint32_t number = static_cast<uint32_t>(std::stoul(address));
      const ScanRecord record = RecordForMftEntry(*engine, number, BaseName(path));
      const std::string ours = work_ + "/ours-" + std::to_string(offset) + "-" + BaseName(image) +
                               "-" + std::to_string((*compared)++);
      ASSERT_EQ(engine->RecoverFile(record, ours, 0), 0) << path;
      const std::string theirs = work_ + "/icat.bin";
      ASSERT_EQ(RunCommand("icat -o " + std::to_string(offset) + " '" + image + "' " + address +
                           " > '" + theirs + "'"),
                0);
      EXPECT_EQ(Md5Of(ours), Md5Of(theirs)) << path;
    }
  }

  std::string work_;
};

TEST_F(RealImageTest, VelociraptorImageWithCompressedFileAndStreams) {
  const std::string image = SharedTestData("velociraptor/test.ntfs.dd");
  if (image.empty()) GTEST_SKIP() << "shared test data not present";
  ScopedDataDir data;
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'I'), 0);
  size_t compared = 0;
  CheckImage(&engine, image, 0, image + ".E01.fls-deleted.txt", &compared);
  EXPECT_GE(compared, 5u);

  // ones.bin is LZNT1-compressed and spread over two extension records.
  const ScanRecord ones = RecordForMftEntry(engine, 38, "ones.bin");
  std::string preview;
  int bytes = 0;
  ASSERT_EQ(engine.PreviewFile(ones, &preview, nullptr, &bytes, nullptr, nullptr), 0);
  EXPECT_EQ(Md5Of(preview), "b6ca6d9c1986ff7fcd0467cf50b5be85");
  std::vector<uint8_t> memory(100000, 0xEE);
  bytes = static_cast<int>(memory.size());
  ASSERT_EQ(engine.PreviewFile(ones, nullptr, memory.data(), &bytes, nullptr, nullptr), 0);
  EXPECT_EQ(bytes, 100000);
}

TEST_F(RealImageTest, RustCrateTestVolume) {
  const std::string image = SharedTestData("ntfs-rust-crate/testfs1");
  if (image.empty()) GTEST_SKIP() << "shared test data not present";
  ScopedDataDir data;
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'I'), 0);
  size_t compared = 0;
  CheckImage(&engine, image, 0, image + ".fls-deleted.txt", &compared);
  EXPECT_GE(compared, 3u);
}

// Whole-disk images: the volume starts at sector 128, reached through a registered drive.
TEST_F(RealImageTest, SampleDisksWithPartitionTables) {
  const std::string folder = SharedTestData("ntfs-samples");
  if (folder.empty()) GTEST_SKIP() << "shared test data not present";
  ScopedDataDir data;
  const std::pair<const char*, uint64_t> disks[] = {{"ntfs-lastaccess", 518144},
                                                    {"ntfs-si-vs-fn", 2091008},
                                                    {"ntfs-ptrn", 2091008},
                                                    {"ntfs-ramslack", 2091008}};
  for (const auto& [name, sectors] : disks) {
    SCOPED_TRACE(name);
    const std::string disk = work_ + "/" + name + ".raw";
    ASSERT_EQ(RunCommand("gunzip -c '" + folder + "/" + name +
                         ".raw.gz' | cp --sparse=always /dev/stdin '" + disk + "'"),
              0);
    constexpr int kDrive = 77;
    platform::RegisterPhysicalDrive(kDrive, disk);
    CFastNtfsRecovery engine;
    ASSERT_EQ(engine.OpenPartition(kDrive, 128, sectors, u'D'), 0);
    EXPECT_EQ(engine.Volume().PartitionStart(), 128u);
    size_t compared = 0;
    CheckImage(&engine, disk, 128, folder + "/" + name + ".raw-from-gz.o128.fls-deleted.txt",
               &compared);
    EXPECT_GE(compared, 1u);
    platform::ForgetPhysicalDrive(kDrive);
    RemoveTree(disk);
  }
}

// The sparse 64 GiB disk whose volume starts at sector 2048.
TEST_F(RealImageTest, LargeSparseDiskOpenedAsAnImageRegion) {
  const std::string archive = SharedTestData("ntfs-samples/ntfs.tgz");
  if (archive.empty()) GTEST_SKIP() << "shared test data not present";
  ScopedDataDir data;
  ASSERT_EQ(RunCommand("tar xzf '" + archive + "' -C '" + work_ + "'"), 0);
  const std::string disk = work_ + "/ntfs.raw";
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImageRegion(disk, 2048, 0, u'I'), 0);
  size_t compared = 0;
  CheckImage(&engine, disk, 2048,
             SharedTestData("ntfs-samples/ntfs.raw-from-gz.o2048.fls-deleted.txt"), &compared);
  EXPECT_GE(compared, 1u);
}

// Not a file system TSK can read either: opening or scanning fails cleanly or finds nothing.
TEST_F(RealImageTest, TwoMegabyteSampleDoesNotConfuseTheEngine) {
  const std::string archive = SharedTestData("ntfs-samples/ntfs-2m.raw.gz");
  if (archive.empty()) GTEST_SKIP() << "shared test data not present";
  ScopedDataDir data;
  const std::string disk = work_ + "/2m.raw";
  ASSERT_EQ(
      RunCommand("gunzip -c '" + archive + "' | cp --sparse=always /dev/stdin '" + disk + "'"), 0);
  CFastNtfsRecovery engine;
  if (engine.OpenImageRegion(disk, 128, 0, u'I') != 0) return;
  engine.Scan(nullptr);
  EXPECT_TRUE(WalkTree(&engine).empty());
}

}  // namespace
}  // namespace velmora::testing
