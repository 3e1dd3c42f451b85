#include "ntfs/attribute_stream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "ntfs/ntfs_volume.h"
#include "storage/sector_reader.h"
#include "support/test_env.h"

namespace velmora::ntfs {
namespace {

constexpr uint32_t kCluster = 1024;
constexpr uint32_t kClusters = 64;

// A 64-cluster volume: a boot sector, then cluster c filled with the byte c.
class AttributeStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("ntfs-stream");
    const std::string image = dir_ + "/volume.img";
    std::vector<uint8_t> bytes(kCluster * kClusters);
    for (uint32_t c = 0; c < kClusters; ++c) std::memset(bytes.data() + c * kCluster, c, kCluster);
    uint8_t* boot = bytes.data();
    std::memset(boot, 0, 512);
    std::memcpy(boot + 3, "NTFS    ", 8);
    boot[0x0C] = 2;  // 512 bytes per sector
    boot[0x0D] = 2;  // 2 sectors per cluster
    const uint64_t sectors = bytes.size() / 512;
    std::memcpy(boot + 0x28, &sectors, 8);
    boot[0x30] = 4;
    boot[0x40] = 0xF6;
    boot[0x1FE] = 0x55;
    boot[0x1FF] = 0xAA;
    std::ofstream(image, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    SectorReader reader;
    ASSERT_EQ(OpenImageFile(&reader, image), 0);
    ASSERT_EQ(volume_.Open(std::move(reader), 0, 0, false), 0);
  }
  void TearDown() override { testing::RemoveTree(dir_); }

  int Copy(const NtfsStream& stream, uint64_t limit, std::vector<uint8_t>* out) {
    out->clear();
    return CopyStreamData(volume_, stream, limit, [&](const uint8_t* d, size_t n) {
      EXPECT_LE(n, 65536u);
      out->insert(out->end(), d, d + n);
      return 0;
    });
  }

  static NtfsStream Stream(std::vector<DataRun> runs, uint64_t size) {
    NtfsStream s;
    s.runs = std::move(runs);
    s.real_size = s.initialized_size = size;
    return s;
  }

  std::string dir_;
  NtfsVolume volume_;
};

TEST_F(AttributeStreamTest, HolesReadAsZerosNotAsNeighbouringClusters) {
  const NtfsStream stream = Stream({{0, 2, 10, RunKind::kAllocated},
                                    {2, 3, 0, RunKind::kSparse},
                                    {5, 1, 20, RunKind::kAllocated}},
                                   5 * kCluster + 100);
  std::vector<uint8_t> out;
  ASSERT_EQ(Copy(stream, UINT64_MAX, &out), 0);
  ASSERT_EQ(out.size(), 5 * kCluster + 100);
  EXPECT_EQ(out[0], 10);
  EXPECT_EQ(out[kCluster], 11);
  for (uint32_t i = 2 * kCluster; i < 5 * kCluster; ++i) ASSERT_EQ(out[i], 0) << i;
  EXPECT_EQ(out[5 * kCluster], 20);
  EXPECT_EQ(out.back(), 20);
}

TEST_F(AttributeStreamTest, OutputStopsAtTheSizeAndZeroesPastTheInitializedSize) {
  NtfsStream stream = Stream({{0, 4, 30, RunKind::kAllocated}}, 3 * kCluster + 1);
  stream.initialized_size = kCluster + 10;
  std::vector<uint8_t> out;
  ASSERT_EQ(Copy(stream, UINT64_MAX, &out), 0);
  ASSERT_EQ(out.size(), 3 * kCluster + 1);  // the last run's tail is not copied
  EXPECT_EQ(out[kCluster + 9], 31);
  EXPECT_EQ(out[kCluster + 10], 0);
  EXPECT_EQ(out.back(), 0);
  ASSERT_EQ(Copy(stream, 100, &out), 0);
  EXPECT_EQ(out.size(), 100u);
}

TEST_F(AttributeStreamTest, MissingRunsAndRunsOffTheVolumeAreErrorsNotSilentSuccess) {
  std::vector<uint8_t> out;
  // The second extent (clusters 2-3) is missing.
  const NtfsStream gap =
      Stream({{0, 2, 10, RunKind::kAllocated}, {4, 1, 12, RunKind::kAllocated}}, 5 * kCluster);
  EXPECT_EQ(Copy(gap, UINT64_MAX, &out), kNtfsRunsIncomplete);
  EXPECT_EQ(out.size(), 2u * kCluster);  // what could be read was delivered
  const NtfsStream outside = Stream({{0, 4, kClusters - 2, RunKind::kAllocated}}, 4 * kCluster);
  EXPECT_NE(Copy(outside, UINT64_MAX, &out), 0);
}

TEST_F(AttributeStreamTest, CompressionUnitsMixStoredCompressedAndEmptyUnits) {
  // Unit size 2^1 = 2 clusters. Unit 0 stored (both clusters allocated), unit 1 empty
  // (a hole), unit 2 compressed in one cluster that holds an LZNT1 chunk.
  std::vector<uint8_t> chunk = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x03, 0x20, 0x00, 0x00};
  std::vector<uint8_t> cluster(kCluster, 0);
  std::memcpy(cluster.data(), chunk.data(), chunk.size());
  {
    std::fstream f(dir_ + "/volume.img", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(40 * kCluster);
    f.write(reinterpret_cast<const char*>(cluster.data()), cluster.size());
  }
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, dir_ + "/volume.img"), 0);
  ASSERT_EQ(volume_.Open(std::move(reader), 0, 0, false), 0);
  NtfsStream stream = Stream({{0, 2, 10, RunKind::kAllocated},
                              {2, 2, 0, RunKind::kSparse},
                              {4, 1, 40, RunKind::kAllocated},
                              {5, 1, 0, RunKind::kSparse}},
                             6 * kCluster);
  stream.compressed = true;
  stream.compression_unit = 1;
  std::vector<uint8_t> out;
  ASSERT_EQ(Copy(stream, UINT64_MAX, &out), 0);
  ASSERT_EQ(out.size(), 6u * kCluster);
  EXPECT_EQ(out[0], 10);
  EXPECT_EQ(out[2 * kCluster - 1], 11);
  EXPECT_EQ(out[2 * kCluster], 0);
  EXPECT_EQ(std::string(out.begin() + 4 * kCluster, out.begin() + 4 * kCluster + 9), "abcabcabc");
  EXPECT_EQ(out[4 * kCluster + 9], 0);
}

}  // namespace
}  // namespace velmora::ntfs
