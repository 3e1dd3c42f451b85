// A saved result belongs to the contents it was made of: another card of the same
// size at the same place, or an image rewritten in place with its old time, is
// scanned anew and never shows the old names.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/fat_volume_builder.h"
#include "support/content_gen.h"
#include "support/partition_image.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

class SavedResultIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    dir_ = MakeTempDir("saved-identity");
    // Two cards of one geometry: same size, same label, other files.
    for (const char* name : {"alpha", "bravo"}) {
      FatVolumeBuilder fat(dir_ + "/" + name + ".img", 16, 16 << 20);
      fat.AddFile(std::string("/") + name + " notes.txt", RandomText(3000, 1));
      fat.Delete(std::string("/") + name + " notes.txt");
      fat.Finish();
    }
  }
  void TearDown() override { RemoveTree(dir_); }

  // Puts `card`'s bytes into `target` in place and gives it back its old time.
  void Swap(const std::string& card, const std::string& target) {
    ASSERT_EQ(RunCommand("touch -r " + ShellQuote(target) + " " + ShellQuote(dir_ + "/stamp") +
                         " && cat " + ShellQuote(card) + " > " + ShellQuote(target) +
                         " && touch -r " + ShellQuote(dir_ + "/stamp") + " " + ShellQuote(target)),
              0);
  }
  std::string Velmora(const std::string& args, std::string* err = nullptr) {
    std::string out;
    RunCommand(VelmoraBinary() + " " + args + " 2>" + ShellQuote(dir_ + "/err.txt"), &out);
    if (err) {
      std::ifstream in(dir_ + "/err.txt");
      *err = std::string(std::istreambuf_iterator<char>(in), {});
    }
    return out;
  }

  ScopedDataDir data_;
  std::string dir_;
};

TEST_F(SavedResultIdentityTest, OtherCardInTheSameImageIsScannedAnewQuickAndDeep) {
  const std::string card = dir_ + "/card.img";
  ASSERT_EQ(RunCommand("cp " + ShellQuote(dir_ + "/alpha.img") + " " + ShellQuote(card)), 0);
  ASSERT_NE(Velmora("list " + ShellQuote(card)).find("alpha notes.txt"), std::string::npos);
  Velmora("scan --deep " + ShellQuote(card));
  // Reopened unchanged: the saved results serve, without a word.
  std::string err;
  EXPECT_NE(Velmora("list " + ShellQuote(card), &err).find("alpha notes.txt"), std::string::npos);
  EXPECT_EQ(err.find("scanned anew"), std::string::npos) << err;

  Swap(dir_ + "/bravo.img", card);
  for (const char* mode : {"", " --deep"}) {
    SCOPED_TRACE(mode);
    const std::string listing = Velmora("list " + ShellQuote(card) + mode, &err);
    EXPECT_EQ(listing.find("alpha"), std::string::npos) << listing;
    EXPECT_NE(listing.find("bravo notes.txt"), std::string::npos) << listing;
    EXPECT_NE(err.find("scanned anew"), std::string::npos) << err;
  }
}

TEST_F(SavedResultIdentityTest, OtherVolumeInTheSamePartitionIsScannedAnew) {
  const std::string disk = dir_ + "/disk.img";
  WriteMbrDisk(disk, 65536, {{2048, 0, kMbrTypeFat16Lba, dir_ + "/alpha.img"}});
  const std::string source = ShellQuote(disk + "@1");
  ASSERT_NE(Velmora("list " + source).find("alpha notes.txt"), std::string::npos);
  WriteMbrDisk(dir_ + "/other.img", 65536, {{2048, 0, kMbrTypeFat16Lba, dir_ + "/bravo.img"}});
  Swap(dir_ + "/other.img", disk);
  std::string err;
  const std::string listing = Velmora("list " + source, &err);
  EXPECT_EQ(listing.find("alpha"), std::string::npos) << listing;
  EXPECT_NE(listing.find("bravo notes.txt"), std::string::npos) << listing;
}

}  // namespace
}  // namespace velmora::testing
