// The deep scan lists each deleted file once, although the quick phase, the FAT
// deep engine and carving can each find it.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "deep/deep_recovery.h"
#include "deep/engine_factory.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "support/deleted_folders_card.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

TEST(DeepListingDuplicatesTest, DeletedFoldersAreListedOnceFileByFile) {
  if (!FatBuilderAvailable() || !ToolAvailable("mdeltree")) {
    GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  }
  ScopedDataDir data_dir;
  const std::string work = MakeTempDir("deep-duplicates");
  DeletedFoldersCard card;
  std::string error;
  ASSERT_TRUE(MakeDeletedFoldersCard(work, "-F 16 -s 4", 32ull << 20, 4, 100, &card, &error))
      << error;

  std::unique_ptr<IFileRecoveryParse> engine = CreateEngineForImage(card.image, u'Q', true);
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(engine->Scan(nullptr), 0);
  std::string filter;
  FilterForCategories("all", &filter);
  ScanRecordList records;
  engine->GetFilesByType(filter, &records);

  std::map<std::string, int> times_listed;
  for (const ScanRecord& record : records) {
    std::string path;
    engine->GetFullPath(record, &path);
    if (path.size() > 1 && path[0] == '!') path = "f" + path.substr(1);
    ++times_listed[path + std::string(RecordName(record))];
  }
  EXPECT_EQ(records.size(), card.files.size());
  int in_place = 0;
  for (const auto& [path, count] : times_listed) {
    EXPECT_EQ(count, 1) << path;
    in_place += card.files.count(path) ? 1 : 0;
  }
  EXPECT_EQ(in_place, static_cast<int>(card.files.size()));
  engine.reset();
  RemoveTree(work);
}

}  // namespace
}  // namespace velmora::testing
