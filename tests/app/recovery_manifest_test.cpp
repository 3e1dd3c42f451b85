// The manifest is written through a temporary file of its own and a rename; a link planted
// under the manifest's name is replaced, never written through, and other files are kept.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "app/recovery_manifest.h"
#include "support/test_env.h"

namespace velmora::app {
namespace {

namespace fs = std::filesystem;

TEST(RecoveryManifestTest, PlantedLinksAreReplacedAndEntriesRoundTrip) {
  const std::string dir = testing::MakeTempDir("manifest");
  const std::string dest = dir + "/dest";
  fs::create_directories(dest);
  { std::ofstream(dir + "/victim") << "keep"; }
  fs::create_symlink(dir + "/victim", dest + "/" + kManifestName);
  fs::create_symlink(dir + "/victim", dest + "/" + std::string(kManifestName) + ".tmp");
  { std::ofstream(dest + "/a.jpg") << "abc"; }
  fs::create_directories(dest + "/sub");
  fs::create_symlink(dest + "/a.jpg", dest + "/sub/link.jpg");

  const int fd = ::open(dest.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(fd, 0);
  RecoveryManifest manifest;
  manifest.Load(fd);  // a link is no manifest
  EXPECT_TRUE(manifest.Entries().empty());
  const std::string abc_sha = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  EXPECT_EQ(Sha256OfFile(fd, "a.jpg"), abc_sha);
  EXPECT_EQ(Sha256OfFile(fd, "sub/link.jpg"), "");  // links are not followed
  EXPECT_EQ(Sha256OfFile(fd, "../dest/a.jpg"), "");
  manifest.Put({"card.img", 7, "DCIM/a.jpg", "a.jpg", 3, abc_sha, "intact", "", {}, ""});
  // Failed, with what could be read kept under a name of its own.
  manifest.Put({"card.img",
                8,
                "DCIM/b.jpg",
                "",
                9,
                "",
                "",
                "The parameter is incorrect.",
                {},
                "photo/b.jpg.partial"});
  // Written over a bad spot: kept, with the ranges that read as zeros.
  manifest.Put({"card.img",
                9,
                "DCIM/c.jpg",
                "c.jpg",
                4096,
                abc_sha,
                "",
                "",
                {{1024, 512}, {4096, 1024}},
                ""});
  ASSERT_EQ(manifest.Save(fd), 0);

  std::ifstream victim(dir + "/victim");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "keep");
  EXPECT_FALSE(fs::is_symlink(dest + "/" + kManifestName));
  // A temporary file this run did not make is left as it is; its own is gone.
  EXPECT_TRUE(fs::is_symlink(dest + "/" + std::string(kManifestName) + ".tmp"));
  size_t temporaries = 0;
  for (const auto& entry : fs::directory_iterator(dest)) {
    temporaries += entry.path().extension() == ".tmp";
  }
  EXPECT_EQ(temporaries, 1u);

  RecoveryManifest again;
  again.Load(fd);
  ASSERT_EQ(again.Entries().size(), 3u);
  ASSERT_NE(again.Recovered("card.img", 9, "DCIM/c.jpg"), nullptr);
  EXPECT_EQ(again.Recovered("card.img", 9, "DCIM/c.jpg")->unreadable,
            (std::vector<std::pair<uint64_t, uint64_t>>{{1024, 512}, {4096, 1024}}));
  EXPECT_TRUE(again.Recovered("card.img", 7, "DCIM/a.jpg")->unreadable.empty());
  ASSERT_NE(again.Recovered("card.img", 7, "DCIM/a.jpg"), nullptr);
  EXPECT_EQ(again.Recovered("card.img", 7, "DCIM/a.jpg")->sha256, abc_sha);
  EXPECT_EQ(again.Recovered("card.img", 8, "DCIM/b.jpg"), nullptr);  // failed: not recovered
  ASSERT_NE(again.Partial("card.img", 8, "DCIM/b.jpg"), nullptr);
  EXPECT_EQ(again.Partial("card.img", 8, "DCIM/b.jpg")->partial, "photo/b.jpg.partial");
  EXPECT_EQ(again.Partial("card.img", 7, "DCIM/a.jpg"), nullptr);
  EXPECT_EQ(again.Recovered("other.img", 7, "DCIM/a.jpg"), nullptr);
  ::close(fd);
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora::app
