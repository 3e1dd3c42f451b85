// What is left of a deleted file: the share of its clusters the FAT now gives to
// live files.
#include <gtest/gtest.h>

#include "engine/overwrite_estimate.h"
#include "fat_scan_helpers.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"

namespace velmora::testing {
namespace {

TEST(OverwriteEstimateTest, StateTextsAtTheirBoundaries) {
  EXPECT_EQ(OverwriteStateText({0, 0}), "intact");  // empty or resident data
  EXPECT_EQ(OverwriteStateText({4, 0}), "intact");
  EXPECT_EQ(OverwriteStateText({1000, 1}), "partly overwritten 1%");
  EXPECT_EQ(OverwriteStateText({4, 1}), "partly overwritten 25%");
  EXPECT_EQ(OverwriteStateText({1000, 999}), "partly overwritten 99%");
  EXPECT_EQ(OverwriteStateText({4, 4}), "overwritten");
}

TEST(OverwriteEstimateTest, FatFilesAreIntactPartlyOrWhollyOverwritten) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  ScopedDataDir data;
  const std::string dir = MakeTempDir("overwrite-estimate");
  uint32_t cluster = 0;
  {
    FatBuildOptions options;
    options.sectors_per_cluster = 1;
    FatVolumeBuilder fat(dir + "/card.img", 16, 16 << 20, options);
    cluster = fat.ClusterSize();
    fat.MakeDirectory("/new");  // new entries go there, the deleted ones keep their slots
    fat.AddFile("/Kept intact.bin", RandomBytes(3 * cluster, 1));
    fat.AddFile("/Half taken.bin", RandomBytes(4 * cluster, 2));
    fat.AddFile("/All taken.bin", RandomBytes(2 * cluster, 3));
    fat.Delete("/Kept intact.bin");
    fat.Delete("/Half taken.bin");
    fat.Delete("/All taken.bin");
    fat.AddFileOverDeleted("/Half taken.bin", "/new/half.bin", RandomBytes(2 * cluster, 4));
    fat.AddFileOverDeleted("/All taken.bin", "/new/all.bin", RandomBytes(2 * cluster, 5));
    fat.Finish();
  }
  auto engine = ScanFatImage(dir + "/card.img", dir + "/log");
  ASSERT_NE(engine, nullptr);
  std::map<std::string, std::string> states;
  for (const auto& [key, record] : ListTree(engine.get())) {
    OverwriteEstimate estimate;
    if (!record.is_directory && engine->EstimateOverwrite(record, &estimate)) {
      states[key] = OverwriteStateText(estimate);
    }
  }
  EXPECT_EQ(states,
            (std::map<std::string, std::string>{{"Kept intact.bin", "intact"},
                                                {"Half taken.bin", "partly overwritten 50%"},
                                                {"All taken.bin", "overwritten"}}));
  ScanRecord carved{};
  carved.source_kind = kSourceSignature;
  OverwriteEstimate unknown;
  EXPECT_FALSE(engine->EstimateOverwrite(carved, &unknown));
  engine.reset();
  RemoveTree(dir);
}

}  // namespace
}  // namespace velmora::testing
