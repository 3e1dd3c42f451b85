// An NTFS volume whose image was cut short.
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "ntfs/ntfs_volume.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

// Reads of a volume whose image was cut: up to the cut they work, past it they say the
// source ends there, and past the volume's own end they are invalid as ever.
TEST(NtfsCutShortVolumeTest, ReadsPastTheCutSayTheSourceEndsThere) {
  if (!NtfsBuilderAvailable()) GTEST_SKIP() << "mkntfs or libntfs-3g is not available";
  const std::string work = MakeTempDir("ntfs-cut");
  const std::string image = work + "/ntfs.img";
  NtfsVolumeBuilder(image, 8 << 20).Finish();
  ASSERT_EQ(::truncate(image.c_str(), 4 << 20), 0);
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, image), kSuccess);
  ntfs::NtfsVolume volume;
  ASSERT_EQ(volume.Open(std::move(reader), 0, 0, true), kSuccess);
  EXPECT_TRUE(volume.CutShort());
  EXPECT_EQ(volume.VolumeBytes(), 4u << 20);
  const uint64_t declared = volume.DeclaredBytes();
  EXPECT_EQ(declared, (8u << 20) - 512);  // mkntfs leaves the last sector for the boot copy
  std::vector<uint8_t> buffer(4096);
  EXPECT_EQ(volume.ReadVolume((4 << 20) - 4096, buffer.data(), 4096), kSuccess);
  EXPECT_EQ(volume.ReadVolume((4 << 20) - 512, buffer.data(), 1024), kErrBeyondSourceEnd);
  EXPECT_EQ(volume.ReadVolume(declared - 512, buffer.data(), 512), kErrBeyondSourceEnd);
  EXPECT_EQ(volume.ReadVolume(declared, buffer.data(), 512), kErrInvalidParameter);
  RemoveTree(work);
}

}  // namespace
}  // namespace velmora::testing
