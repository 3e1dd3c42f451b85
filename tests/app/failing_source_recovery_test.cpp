// The recovery run over a source whose chosen sectors fail, in process: what the faces share
// gives every readable byte, zeros where the medium fails, and the exact failing ranges.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "app/recovery_workflow.h"
#include "app/result_browsing.h"
#include "app/scan_workflow.h"
#include "app_test_support.h"
#include "engine/record_text.h"
#include "support/content_gen.h"
#include "support/failing_source.h"
#include "support/fat_volume_builder.h"
#include "support/loop_device.h"  // ReadWholeFile

namespace velmora::testing {
namespace {

class FailingSourceRecoveryTest : public AppWorkflowTest {};

TEST_F(FailingSourceRecoveryTest, FatFilesKeepTheirReadableBytesAndNameTheRest) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  const std::string image = work_ + "/card.img";
  std::map<std::string, std::vector<uint8_t>> contents;
  VolumeTruth truth;
  {
    FatVolumeBuilder fat(image, 16, 16 << 20);
    for (int i = 0; i < 4; ++i) {
      const std::string path = "/Part" + std::to_string(i) + ".bin";
      contents[path] = RandomBytes(9000 + 2000 * static_cast<size_t>(i), 80 + i);
      fat.AddFile(path, contents[path]);
    }
    for (const auto& [path, content] : contents) fat.Delete(path);
    truth = fat.Finish();
  }
  // Part0: its first sector; Part2: two touching sectors and one of its last bytes.
  const uint64_t part0 = truth.Find("/Part0.bin")->extents.at(0).offset / 512;
  const TruthEntry* entry2 = truth.Find("/Part2.bin");
  const uint64_t part2 = entry2->extents.at(0).offset / 512;
  const uint64_t part2_last = (entry2->extents.at(0).offset + entry2->size - 1) / 512;
  const std::set<uint64_t> bad = {part0, part2 + 3, part2 + 4, part2_last};
  NamedSource named(MakeFailingSectorsSource(ReadWholeFile(image), bad));

  app::SourceList sources;
  app::ScanSource* source = &sources.AddImage(named.Name());
  app::ScanWorkflow scan(messages_);
  ASSERT_EQ(scan.Run({source}, app::ScanMode::kQuick, observer_, cancel_),
            app::RunResult::kFinished);
  ScanRecordList found;
  app::SearchSources({source}, app::TypeChoices().Filter(), messages_, &found, observer_, cancel_);
  ASSERT_EQ(found.size(), 4u);
  app::RecoveryWorkflow recovery(sources, messages_);
  ASSERT_EQ(recovery.Run(found, work_ + "/out", observer_, cancel_), app::RunResult::kFinished);
  EXPECT_EQ(recovery.Counts().failed, 0);

  std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> ranges;
  for (const app::RecoveryLine& line : recovery.Lines()) {
    const std::string path = "/" + line.source_path;
    ASSERT_TRUE(contents.count(path)) << path;
    std::vector<uint8_t> want = contents[path];
    const uint64_t at = truth.Find(path)->extents.at(0).offset;
    for (const uint64_t sector : bad) {
      if (sector * 512 < at || sector * 512 >= at + want.size()) continue;
      const uint64_t from = sector * 512 - at;
      std::fill(
          want.begin() + static_cast<std::ptrdiff_t>(from),
          want.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(from + 512, want.size())),
          0);
    }
    EXPECT_TRUE(ReadWholeFile(line.target) == want) << path;
    for (const auto& range : line.unreadable) ranges[path].emplace_back(range.offset, range.length);
  }
  using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;
  EXPECT_EQ(ranges, (std::map<std::string, Ranges>{
                        {"/Part0.bin", {{part0 * 512, 512}}},
                        {"/Part2.bin", {{(part2 + 3) * 512, 1024}, {part2_last * 512, 512}}}}));
}

}  // namespace
}  // namespace velmora::testing
