#include <gtest/gtest.h>

#include <string>

#include "fat/deep_fat_recovery.h"
#include "fat/quick_fat_recovery.h"
#include "ntfs/deep_ntfs_recovery.h"
#include "ntfs/quick_ntfs_recovery.h"
#include "signature/file_type_recovery.h"
#include "storage/error_codes.h"

namespace velmora {
namespace {

// What every engine answers before it has a scan log: the same for all of them.
template <typename Engine>
class EngineContractTest : public ::testing::Test {
 protected:
  Engine engine_;
};

using StoreBackedEngines =
    ::testing::Types<CFastFatRecovery, CFastNtfsRecovery, CProfessionalFatRecovery,
                     CProfessionalNtfsRecovery, CFileTypeRecovery>;
TYPED_TEST_SUITE(EngineContractTest, StoreBackedEngines);

TYPED_TEST(EngineContractTest, WithoutAStoreQueriesAreEmptyAndBadArgumentsAre87) {
  auto& engine = this->engine_;
  ScanRecordList list;
  EXPECT_EQ(engine.GetChildren(nullptr, 0, &list), kSuccess);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(engine.GetChildren(nullptr, 1, &list), kErrInvalidParameter);
  EXPECT_EQ(engine.GetChildren(nullptr, 0, nullptr), kErrInvalidParameter);

  int count = 7;
  EXPECT_EQ(engine.CountFiles(nullptr, 0, &count), kSuccess);
  EXPECT_EQ(count, 0);
  EXPECT_EQ(engine.CountFiles(nullptr, 1, &count), kErrInvalidParameter);
  EXPECT_EQ(engine.CountFiles(nullptr, 0, nullptr), kErrInvalidParameter);

  EXPECT_EQ(engine.GetRecordCount(), 0u);
  EXPECT_EQ(engine.GetFilesByType("", &list), kSuccess);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(engine.GetFilesByType("", nullptr), kErrInvalidParameter);

  ScanRecord record{};
  std::string path;
  EXPECT_EQ(engine.GetFullPath(record, &path), kSuccess);
  EXPECT_TRUE(path.empty());
  EXPECT_EQ(engine.SetRecoverCallback(nullptr, nullptr), kSuccess);
  EXPECT_EQ(engine.SetScanCallback(nullptr, nullptr, nullptr, 100), kSuccess);
}

}  // namespace
}  // namespace velmora
