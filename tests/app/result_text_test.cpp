#include <gtest/gtest.h>

#include "app/error_text.h"
#include "fat/fat_volume.h"
#include "ntfs/ntfs_volume.h"
#include "storage/error_codes.h"

namespace velmora::app {
namespace {

// The engines' own codes are told here, not by storage, which knows nothing of them.
TEST(ResultTextTest, EngineCodesHaveASentenceStorageCodesKeepTheirs) {
  for (int code : {ntfs::kNtfsNotRecord, ntfs::kNtfsAttributeMissing, ntfs::kNtfsRunsIncomplete,
                   ntfs::kNtfsNotNtfs, kErrClusterOfLiveFile}) {
    const std::string text = ResultText(code);
    EXPECT_EQ(text.find("unexpected"), std::string::npos) << code << ": " << text;
    EXPECT_NE(text, DescribeErrorCode(code)) << code;
  }
  EXPECT_EQ(ResultText(kErrReadFault), DescribeErrorCode(kErrReadFault));
  EXPECT_NE(ResultText(-4242).find("-4242"), std::string::npos);
  EXPECT_EQ(ErrorText(ntfs::kNtfsRunsIncomplete).front(), 'T');
}

}  // namespace
}  // namespace velmora::app
