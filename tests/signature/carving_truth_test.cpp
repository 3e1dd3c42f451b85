// A real FAT volume full of documents, carved sector by sector and compared with the same
// documents kept as loose files: every document must come out byte for byte.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "carve_test_support.h"
#include "signature/signature_catalogue.h"
#include "storage/error_codes.h"
#include "support/planted_image.h"
#include "support/test_env.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

TEST(CarvingTruthTest, DocumentsOfAFatVolumeComeOutWhole) {
  const std::string image = testing::SharedTestData("bulk_extractor/nps-2010-emails.raw");
  const std::string truth = testing::SharedTestData("bulk_extractor/Data__nps-2010-emails.zip");
  if (image.empty() || truth.empty()) GTEST_SKIP() << "shared test data is not present";
  if (!testing::ToolAvailable("unzip")) GTEST_SKIP() << "unzip is not installed";
  const std::string dir = testing::MakeTempDir("truth");
  ASSERT_EQ(testing::RunCommand("unzip -q -o '" + truth + "' -d '" + dir + "'"), 0);

  std::set<std::vector<uint8_t>> carved;
  for (auto& [sector, file] : testing::CarveEverySector(image)) carved.insert(std::move(file));

  const std::set<std::string> exact_kinds = {".doc", ".docx", ".xls", ".xlsx", ".pdf", ".zip"};
  // The volume holds a later myfile.zip (798-byte member) than the loose copy (26 bytes).
  const fs::path not_on_volume = fs::path("zipfiles") / "myfile.zip";
  int checked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file() || !exact_kinds.count(entry.path().extension().string())) continue;
    if (entry.path().lexically_relative(dir) == not_on_volume) continue;
    EXPECT_TRUE(carved.count(testing::ReadWholeFile(entry.path().string())))
        << entry.path().lexically_relative(dir);
    ++checked;
  }
  EXPECT_EQ(checked, 16);
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora
