// Every seed and every crash the fuzzers saved goes through the same entry functions,
// in every build: a mended crash stays mended, and the sanitizer build checks the seeds.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "fuzz_target.h"

namespace velmora::fuzz {
namespace {

namespace fs = std::filesystem;

const fs::path kFuzzFolder = VELMORA_FUZZ_FOLDER;

std::vector<fs::path> InputsOf(const std::string& target) {
  std::vector<fs::path> files;
  for (const char* kind : {"corpus", "regressions"}) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(kFuzzFolder / kind / target, ec)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::string> TargetNames() {
  std::vector<std::string> names;
  for (const Target& target : Targets()) names.push_back(target.name);
  return names;
}

class Replay : public ::testing::TestWithParam<std::string> {};

TEST_P(Replay, EverySavedInputRunsThrough) {
  const auto& targets = Targets();
  const auto target = std::find_if(targets.begin(), targets.end(),
                                   [&](const Target& t) { return GetParam() == t.name; });
  ASSERT_NE(target, targets.end());
  const std::vector<fs::path> inputs = InputsOf(GetParam());
  ASSERT_FALSE(inputs.empty()) << "no seed corpus for " << GetParam();
  for (const fs::path& input : inputs) {
    SCOPED_TRACE(input.string());
    std::ifstream in(input, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    // A finding aborts the process (sanitizer report or failed property).
    target->entry(bytes.data(), bytes.size());
  }
}

INSTANTIATE_TEST_SUITE_P(Fuzz, Replay, ::testing::ValuesIn(TargetNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

TEST(ReplayFolders, EachFolderNamesATarget) {
  std::set<std::string> names;
  for (const Target& target : Targets()) {
    EXPECT_TRUE(names.insert(target.name).second) << "two targets named " << target.name;
  }
  EXPECT_GE(names.size(), 15u);
  for (const char* kind : {"corpus", "regressions"}) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(kFuzzFolder / kind, ec)) {
      EXPECT_TRUE(names.count(entry.path().filename().string()))
          << entry.path() << " belongs to no fuzz target";
    }
  }
}

}  // namespace
}  // namespace velmora::fuzz
