// `velmora list --json` writes its array one element at a time: the bytes must be those of
// the whole array dumped at once.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora {
namespace {

std::string WholeArrayDump(const std::string& streamed) {
  const auto json = nlohmann::json::parse(streamed, nullptr, false);
  if (!json.is_array()) return "not an array";
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

TEST(ListCommandTest, StreamedJsonIsByteForByteTheArrayDump) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  testing::ScopedDataDir data;
  const std::string dir = testing::MakeTempDir("list-cli");
  const std::string image = dir + "/fat.img";
  {
    testing::FatVolumeBuilder fat(image, 16, 16 << 20);
    fat.MakeDirectory("/Älbum/2024");
    fat.AddFile("/Älbum/2024/one & two; é.txt", testing::RandomText(3000, 1));
    fat.AddFile("/Älbum/two.jpg", testing::SampleContent("jpg", 9000, 2));
    fat.AddFile("/three.pdf", testing::SampleContent("pdf", 5000, 3));
    fat.Delete("/Älbum/2024/one & two; é.txt");
    fat.Delete("/Älbum/two.jpg");
    fat.Delete("/three.pdf");
    fat.Finish();
  }
  const std::string velmora = testing::VelmoraBinary() + " ";
  std::string out;
  ASSERT_EQ(testing::RunCommand(velmora + "list " + testing::ShellQuote(image) + " --json 2>/dev/null", &out), 0);
  EXPECT_EQ(out, WholeArrayDump(out));
  EXPECT_EQ(nlohmann::json::parse(out).size(), 3u) << out;

  // An empty category lists as the empty array.
  ASSERT_EQ(testing::RunCommand(velmora + "list " + testing::ShellQuote(image) +
                                    " --type audio --json 2>/dev/null",
                                &out),
            0);
  EXPECT_EQ(out, "[]\n");
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora
