// velmora-make-samples demo|corpus|smoke FOLDER [--testdata DIR]
// Writes the sample images of a set and their ground truth (FOLDER/truth.json).
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>

#include "support/test_env.h"
#include "tools/sample_sets.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: velmora-make-samples demo|corpus|smoke FOLDER [--testdata DIR]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 && argc != 5) return Usage();
  const std::string set_name = argv[1];
  const std::string folder = argv[2];
  std::string testdata = velmora::testing::SharedTestData("");
  if (argc == 5) {
    if (std::string(argv[3]) != "--testdata") return Usage();
    testdata = argv[4];
  }
  try {
    std::filesystem::create_directories(folder);
    velmora::tools::SampleSet set;
    if (set_name == "demo") {
      set = velmora::tools::BuildDemoSet(folder);
    } else if (set_name == "corpus") {
      set = velmora::tools::BuildCorpus(folder, testdata);
    } else if (set_name == "smoke") {
      set = velmora::tools::BuildSmokeSet(folder);
    } else {
      return Usage();
    }
    for (const auto& image : set.images) {
      size_t expected = 0;
      for (const auto& file : image.files) expected += file.Expected() ? 1 : 0;
      std::printf("%-26s %-6s %3zu files, %3zu lost and intact  %s\n", image.image.c_str(),
                  image.file_system.c_str(), image.files.size(), expected,
                  image.description.c_str());
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velmora-make-samples: %s\n", error.what());
    return 1;
  }
  return 0;
}
