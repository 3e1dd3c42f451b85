// The quick part of the carving corpus (bench/carving_corpus.py --small): real files planted
// among zeros, noise and each other must each come out byte for byte, and nothing else.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "carve_test_support.h"
#include "support/test_env.h"

namespace velmora {
namespace {

TEST(CarvingCorpusTest, EveryPlantedFileComesOutWholeAndNothingElse) {
  for (const char* tool : {"python3", "convert", "tar", "gzip", "bzip2", "xz", "zip", "sqlite3"}) {
    if (!testing::ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
  }
  const std::string dir = testing::MakeTempDir("corpus");
  std::string log;
  ASSERT_EQ(testing::RunCommand(std::string("python3 ") + VELMORA_SOURCE_DIR +
                                    "/bench/carving_corpus.py make " + dir + " --small",
                                &log),
            0)
      << log;
  const auto carved = testing::CarveEverySector(dir + "/corpus.img");
  std::ifstream truth(dir + "/truth.tsv");
  size_t planted = 0;
  for (std::string line; std::getline(truth, line); ++planted) {
    std::istringstream fields(line);
    uint64_t start = 0;
    std::string label, category, size, digest, pieces, mode, name;
    fields >> start >> label >> category >> size >> digest >> pieces >> mode >> name;
    const auto found = carved.find(start);
    ASSERT_NE(found, carved.end()) << name << " at sector " << start;
    EXPECT_EQ(found->second, testing::ReadWholeFile(dir + "/files/" + name))
        << name << " followed by " << mode;
  }
  EXPECT_GE(planted, 10u);
  EXPECT_EQ(carved.size(), planted) << "outputs that are no planted file";
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora
