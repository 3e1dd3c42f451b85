// `velmora list --json` writes its array one element at a time: the bytes must be those of
// the whole array dumped at once.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "support/content_gen.h"
#include "support/loop_device.h"
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
  ASSERT_EQ(testing::RunCommand(
                velmora + "list " + testing::ShellQuote(image) + " --json 2>/dev/null", &out),
            0);
  EXPECT_EQ(out, WholeArrayDump(out));
  EXPECT_EQ(nlohmann::json::parse(out).size(), 3u) << out;

  // An empty category lists as the empty array.
  ASSERT_EQ(testing::RunCommand(
                velmora + "list " + testing::ShellQuote(image) + " --type audio --json 2>/dev/null",
                &out),
            0);
  EXPECT_EQ(out, "[]\n");
  testing::RemoveTree(dir);
}

// Files whose content the catalogue identifies list by that content: a real gzip is not
// "differs", a JPEG named .hmm is a photo (the JSON keeps the name's category beside it).
TEST(ListCommandTest, ContentGivesTheCategoryWhereTheNameCannot) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  if (std::system("command -v gzip >/dev/null 2>&1") != 0) GTEST_SKIP() << "gzip missing";
  testing::ScopedDataDir data;
  const std::string dir = testing::MakeTempDir("list-content");
  const std::string image = dir + "/fat.img";
  const std::string plain = dir + "/notes.txt";
  std::string out;
  {
    std::ofstream(plain) << std::string(
        reinterpret_cast<const char*>(testing::RandomText(40000, 4).data()), 40000);
    // gzip at its default level writes XFL 0, the case the original gzip row refuses.
    ASSERT_EQ(testing::RunCommand("gzip -6 -k -c " + testing::ShellQuote(plain) + " > " +
                                      testing::ShellQuote(dir + "/notes.gz"),
                                  &out),
              0);
    const std::vector<uint8_t> gz = testing::ReadWholeFile(dir + "/notes.gz");
    testing::FatVolumeBuilder fat(image, 16, 16 << 20);
    fat.AddFile("/backup.tar.gz", gz);
    fat.AddFile("/backup.tgz", gz);
    fat.AddFile("/file7.hmm", testing::SampleContent("jpg", 9000, 2));
    fat.AddFile("/shot.jpg", testing::SampleContent("png", 7000, 3));
    for (const char* name : {"/backup.tar.gz", "/backup.tgz", "/file7.hmm", "/shot.jpg"}) {
      fat.Delete(name);
    }
    fat.Finish();
  }
  const std::string velmora = testing::VelmoraBinary() + " ";
  ASSERT_EQ(testing::RunCommand(
                velmora + "list " + testing::ShellQuote(image) + " --json 2>/dev/null", &out),
            0);
  std::map<std::string, nlohmann::json> by_name;
  for (const auto& item : nlohmann::json::parse(out)) by_name[item["name"]] = item;
  ASSERT_EQ(by_name.size(), 4u) << out;
  for (const char* name : {"backup.tar.gz", "!ackup.tgz"}) {
    EXPECT_EQ(by_name[name]["content_check"], 1) << name;
    EXPECT_EQ(by_name[name]["category"], "archive") << name;
  }
  EXPECT_EQ(by_name["!ile7.hmm"]["category"], "photo");
  EXPECT_EQ(by_name["!ile7.hmm"]["name_category"], "others");
  EXPECT_EQ(by_name["!ile7.hmm"]["content_type"], "jpg");
  EXPECT_EQ(by_name["!hot.jpg"]["content_check"], 0);
  EXPECT_EQ(by_name["!hot.jpg"]["content_type"], "png");

  ASSERT_EQ(testing::RunCommand(
                velmora + "list " + testing::ShellQuote(image) + " --type photo --json 2>/dev/null",
                &out),
            0);
  std::set<std::string> photos;
  for (const auto& item : nlohmann::json::parse(out)) photos.insert(item["name"]);
  EXPECT_EQ(photos, (std::set<std::string>{"!ile7.hmm", "!hot.jpg"}));
  ASSERT_EQ(testing::RunCommand(velmora + "list " + testing::ShellQuote(image) +
                                    " --type others --json 2>/dev/null",
                                &out),
            0);
  EXPECT_EQ(out, "[]\n");

  // Recovered into the content's category folder, and not reported as "differs".
  const std::string to = dir + "/out";
  ASSERT_EQ(testing::RunCommand(velmora + "recover " + testing::ShellQuote(image) + " --to " +
                                    testing::ShellQuote(to) + " 2>&1",
                                &out),
            0)
      << out;
  EXPECT_EQ(out.find("overwritten"), std::string::npos) << out;
  // Deleted 8.3 names lose their first letter.
  EXPECT_EQ(testing::ReadWholeFile(to + "/photo/!ile7.hmm"),
            testing::SampleContent("jpg", 9000, 2));
  EXPECT_EQ(testing::ReadWholeFile(to + "/archive/!ackup.tgz"),
            testing::ReadWholeFile(dir + "/notes.gz"));
  EXPECT_EQ(testing::ReadWholeFile(to + "/archive/backup.tar.gz"),
            testing::ReadWholeFile(dir + "/notes.gz"));
  testing::RemoveTree(dir);
}

// A deleted photo whose first clusters a live file took: recover keeps none of the live
// file's bytes (no ".partial" holding them) and says why.
TEST(RecoverCommandTest, ClustersALiveFileTookAreNotTakenForTheDeletedFile) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  testing::ScopedDataDir data;
  const std::string dir = testing::MakeTempDir("reused-clusters");
  const std::string image = dir + "/fat.img";
  const std::vector<uint8_t> live = testing::RandomBytes(100000, 8);
  {
    testing::FatVolumeBuilder fat(image, 16, 16 << 20);
    fat.MakeDirectory("/keep");  // the live file's entry lands there, not in the photo's slot
    fat.AddFile("/holiday.jpg", testing::SampleContent("jpg", 300000, 7));
    fat.Delete("/holiday.jpg");
    fat.AddFile("/keep/live.bin", live);  // FAT16: the lowest free clusters, the photo's first
    fat.Finish();
  }
  const std::string velmora = testing::VelmoraBinary() + " ";
  const std::string to = dir + "/out";
  std::string out;
  for (int run = 0; run < 2; ++run) {
    testing::RunCommand(velmora + "recover " + testing::ShellQuote(image) + " --to " +
                            testing::ShellQuote(to) + " 2>&1",
                        &out);
    EXPECT_NE(out.find("!oliday.jpg"), std::string::npos) << out;
    EXPECT_NE(out.find("uses the file's clusters"), std::string::npos) << out;
  }
  // Nothing under the photo's name, whole or partial, and no leftovers.
  std::string listing;
  testing::RunCommand("ls -A " + testing::ShellQuote(to) + "/photo 2>/dev/null", &listing);
  EXPECT_EQ(listing, "") << listing;
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora
