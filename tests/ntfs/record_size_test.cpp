// Volumes whose MFT records are not 1024 bytes, made with mkntfs and ntfscp; the
// file is then deleted the way NTFS marks it: the in-use flag of its record cleared.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "ntfs/quick_ntfs_recovery.h"
#include "ntfs_test_helpers.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

void ClearInUseFlag(const std::string& image, uint64_t record_offset) {
  std::fstream f(image, std::ios::in | std::ios::out | std::ios::binary);
  uint16_t flags = 0;
  f.seekg(record_offset + 0x16);
  f.read(reinterpret_cast<char*>(&flags), 2);
  flags &= ~uint16_t{1};
  f.seekp(record_offset + 0x16);
  f.write(reinterpret_cast<const char*>(&flags), 2);
}

class RecordSizeTest : public ::testing::TestWithParam<int> {};

TEST_P(RecordSizeTest, DeletedFileIsFoundAndRecoveredWhateverTheRecordSize) {
  if (!ToolAvailable("mkntfs") || !ToolAvailable("ntfscp")) GTEST_SKIP() << "ntfs-3g tools missing";
  const int sector_size = GetParam();
  const std::string dir = MakeTempDir("ntfs-record-size");
  const std::string image = dir + "/volume.img";
  const std::string payload = dir + "/payload.bin";
  ASSERT_EQ(RunCommand("truncate -s 64M '" + image + "' && mkntfs -F -q -Q -s " +
                       std::to_string(sector_size) + " '" + image + "'"),
            0);
  ASSERT_EQ(RunCommand("head -c 300000 /dev/urandom > '" + payload + "' && ntfscp '" + image +
                       "' '" + payload + "' 'gelöscht.bin'"),
            0);
  ScopedDataDir data;
  uint64_t record_offset = 0;
  {
    CFastNtfsRecovery probe;
    ASSERT_EQ(probe.OpenImage(image, u'I'), 0);
    EXPECT_EQ(probe.Volume().Geometry().mft_record_size, sector_size == 4096 ? 4096u : 1024u);
    record_offset = probe.Volume().MftRecordToSector(64) * 512;
  }
  ClearInUseFlag(image, record_offset);

  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'I'), 0);
  ASSERT_EQ(engine.Scan(nullptr), 0);
  const auto files = WalkTree(&engine);
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(files[0].Path(), "gelöscht.bin");
  EXPECT_EQ(uint64_t{files[0].record.size}, 300000u);
  EXPECT_EQ(uint32_t{files[0].record.object_id}, 64u);
  ASSERT_EQ(engine.RecoverFile(files[0].record, dir + "/out/gelöscht.bin", 0), 0);
  EXPECT_EQ(Md5Of(dir + "/out/gelöscht.bin"), Md5Of(payload));
  RemoveTree(dir);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, RecordSizeTest, ::testing::Values(512, 4096));

}  // namespace
}  // namespace velmora::testing
