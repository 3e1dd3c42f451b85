// What is left of a deleted NTFS file: the share of its data runs' clusters that
// $Bitmap now marks in use.
#include <gtest/gtest.h>

#include <map>

#include "engine/overwrite_estimate.h"
#include "ntfs/quick_ntfs_recovery.h"
#include "ntfs_test_helpers.h"
#include "support/content_gen.h"
#include "support/ntfs_volume_builder.h"

namespace velmora::testing {
namespace {

TEST(NtfsOverwriteEstimateTest, RunsAreMeasuredAgainstTheBitmap) {
  if (!NtfsBuilderAvailable()) GTEST_SKIP() << "libntfs-3g is not available";
  ScopedDataDir data;
  const std::string dir = MakeTempDir("ntfs-overwrite-estimate");
  {
    NtfsVolumeBuilder ntfs(dir + "/ntfs.img", 32 << 20);
    // The spares' records are freed first, so the new file takes one of them and
    // the deleted files keep theirs.
    ntfs.AddFile("/spare one.bin", RandomBytes(5000, 1));
    ntfs.AddFile("/spare two.bin", RandomBytes(5000, 2));
    ntfs.AddFile("/Half taken.bin", RandomBytes(4 * 4096, 3));
    ntfs.AddFile("/Kept intact.bin", RandomBytes(3 * 4096, 4));
    ntfs.AddFile("/Tiny.txt", RandomText(200, 5));  // resident
    ntfs.Delete("/spare one.bin");
    ntfs.Delete("/spare two.bin");
    ntfs.Delete("/Half taken.bin");
    ntfs.Delete("/Kept intact.bin");
    ntfs.Delete("/Tiny.txt");
    ntfs.AddFileOverDeleted("/Half taken.bin", "/over.bin", RandomBytes(2 * 4096, 6));
    ntfs.Finish();
  }
  CFastNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(dir + "/ntfs.img", u'N'), 0);
  ASSERT_EQ(engine.Scan(nullptr), 0);
  std::map<std::string, std::string> states;
  for (const ListedFile& file : WalkTree(&engine)) {
    OverwriteEstimate estimate;
    const std::string name(RecordName(file.record));
    if (name.find("spare") == std::string::npos &&
        engine.EstimateOverwrite(file.record, &estimate)) {
      states[file.Path()] = OverwriteStateText(estimate);
    }
  }
  EXPECT_EQ(states,
            (std::map<std::string, std::string>{{"Half taken.bin", "partly overwritten 50%"},
                                                {"Kept intact.bin", "intact"},
                                                {"Tiny.txt", "intact"}}));
  RemoveTree(dir);
}

}  // namespace
}  // namespace velmora::testing
