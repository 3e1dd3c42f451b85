// EWF evidence sets (.E01, .E02...) read as the media they hold, made by ewfacquire at test time.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::RunCommand;
using testing::ShellQuote;

class EwfEvidenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ToolAvailable("ewfacquire"))
      GTEST_SKIP() << "ewfacquire (ewf-tools) is not installed";
    if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    dir_ = testing::MakeTempDir("ewf");
    testing::FatBuildOptions options;
    options.sectors_per_cluster = 2;
    testing::FatVolumeBuilder fat(dir_ + "/volume.img", 16, 6 << 20, options);
    fat.MakeDirectory("/DCIM/100CAM");
    fat.AddFile("/DCIM/100CAM/Holiday Photo.jpg", testing::SampleContent("jpg", 400000, 1));
    fat.AddFragmentedFile("/notes.txt", testing::RandomText(90000, 2), 2);
    fat.AddFile("/Random Data.bin", testing::RandomBytes(1500000, 3));
    fat.Delete("/notes.txt");
    fat.Delete("/Random Data.bin");
    fat.DeleteTree("/DCIM");
    truth_ = fat.Finish();
  }
  void TearDown() override {
    if (!dir_.empty()) testing::RemoveTree(dir_);
  }

  // ewfacquire without questions; `segment` splits the set into files of that size.
  void Acquire(const std::string& target, const std::string& segment) {
    const std::string command =
        "ewfacquire -u -q -c fast " + (segment.empty() ? "" : "-S " + segment + " ") + "-t " +
        ShellQuote(target) + " " + ShellQuote(truth_.image_path) + " >/dev/null 2>&1";
    ASSERT_EQ(RunCommand(command), 0) << command;
  }
  int Velmora(const std::string& args, std::string* output = nullptr) {
    return RunCommand(ShellQuote(testing::VelmoraBinary()) + " " + args, output);
  }
  // path -> size of every file `list` shows.
  std::map<std::string, uint64_t> Listing(const std::string& source, const std::string& mode) {
    std::string out;
    EXPECT_EQ(Velmora("list " + ShellQuote(source) + " " + mode + " --json 2>/dev/null", &out), 0);
    std::map<std::string, uint64_t> files;
    const auto json = nlohmann::json::parse(out, nullptr, false);
    if (!json.is_array()) return files;
    for (const auto& f : json) {
      if (!f["is_dir"].get<bool>())
        files[f["path"].get<std::string>() + f["name"].get<std::string>()] = f["size"];
    }
    return files;
  }
  static std::map<std::string, std::string> TreeMd5(const std::string& root) {
    std::map<std::string, std::string> sums;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      // The manifest names the source it came from; only the recovered files must agree.
      if (!entry.is_regular_file() || entry.path().extension() == ".json") continue;
      std::string out;
      RunCommand("md5sum " + ShellQuote(entry.path().string()), &out);
      sums[fs::relative(entry.path(), root).string()] = out.substr(0, 32);
    }
    return sums;
  }

  testing::ScopedDataDir data_;
  std::string dir_;
  testing::VolumeTruth truth_;
};

TEST_F(EwfEvidenceTest, SplitSetScansListsRecoversAndImagesLikeTheRawVolume) {
  Acquire(dir_ + "/card", "1MiB");
  ASSERT_TRUE(fs::exists(dir_ + "/card.E02")) << "the set must be split to test segments";
  const std::string evidence = dir_ + "/card.E01";

  std::string info;
  ASSERT_EQ(Velmora("info " + ShellQuote(evidence) + " --json", &info), 0);
  const auto values = nlohmann::json::parse(info, nullptr, false);
  EXPECT_EQ(values["kind"], "FAT");
  EXPECT_EQ(values["size"], 6 << 20) << "the media size, not a segment's";
  EXPECT_EQ(values["container"], "EWF");

  for (const std::string mode : {"--quick", "--deep"}) {
    SCOPED_TRACE(mode);
    const auto raw = Listing(truth_.image_path, mode);
    const auto ewf = Listing(evidence, mode);
    EXPECT_FALSE(raw.empty());
    EXPECT_EQ(ewf, raw);
    const std::string from_raw = dir_ + "/raw" + mode;
    const std::string from_ewf = dir_ + "/ewf" + mode;
    EXPECT_EQ(Velmora("recover " + ShellQuote(truth_.image_path) + " " + mode +
                      " --keep-paths --to " + ShellQuote(from_raw) + " >/dev/null 2>&1"),
              0);
    EXPECT_EQ(Velmora("recover " + ShellQuote(evidence) + " " + mode + " --keep-paths --to " +
                      ShellQuote(from_ewf) + " >/dev/null 2>&1"),
              0);
    const auto raw_sums = TreeMd5(from_raw);
    EXPECT_EQ(TreeMd5(from_ewf), raw_sums);
    // The deleted photo comes back byte for byte from the evidence set.
    bool photo = false;
    for (const auto& [path, md5] : TreeMd5(from_ewf)) {
      photo = photo || md5 == truth_.Find("/DCIM/100CAM/Holiday Photo.jpg")->md5;
    }
    EXPECT_TRUE(photo);
  }

  const std::string copy = dir_ + "/copy.img";
  ASSERT_EQ(
      Velmora("image " + ShellQuote(evidence) + " --to " + ShellQuote(copy) + " >/dev/null 2>&1"),
      0);
  EXPECT_EQ(RunCommand("cmp -s " + ShellQuote(copy) + " " + ShellQuote(truth_.image_path)), 0)
      << "E01 to raw gives back the acquired bytes";
}

TEST_F(EwfEvidenceTest, RecognisedBySignatureAndDamagedSetsAreRefused) {
  Acquire(dir_ + "/single", "");
  // Named like anything else, the set is still evidence by its first bytes.
  fs::rename(dir_ + "/single.E01", dir_ + "/evidence.bin");
  std::string out;
  ASSERT_EQ(Velmora("info " + ShellQuote(dir_ + "/evidence.bin") + " --json", &out), 0);
  EXPECT_EQ(nlohmann::json::parse(out, nullptr, false)["container"], "EWF");

  // Cut short, missing its second segment, and a bare signature followed by garbage.
  Acquire(dir_ + "/split", "1MiB");
  const uint64_t first = fs::file_size(dir_ + "/split.E01");
  fs::copy_file(dir_ + "/split.E01", dir_ + "/cut.E01");
  fs::resize_file(dir_ + "/cut.E01", first - 1000);
  fs::copy_file(dir_ + "/split.E02", dir_ + "/cut.E02");
  fs::remove(dir_ + "/split.E02");
  std::vector<uint8_t> garbage = testing::RandomBytes(70000, 9);
  const uint8_t signature[8] = {'E', 'V', 'F', 0x09, 0x0d, 0x0a, 0xff, 0x00};
  std::copy(std::begin(signature), std::end(signature), garbage.begin());
  std::ofstream(dir_ + "/garbage.E01", std::ios::binary)
      .write(reinterpret_cast<const char*>(garbage.data()),
             static_cast<std::streamsize>(garbage.size()));
  for (const char* name : {"cut.E01", "split.E01", "garbage.E01"}) {
    SCOPED_TRACE(name);
    const std::string path = ShellQuote(dir_ + "/" + name);
    EXPECT_EQ(Velmora("scan " + path + " 2>&1", &out), 2);
    EXPECT_NE(out.find("evidence"), std::string::npos) << out;
    EXPECT_EQ(Velmora("image " + path + " --to " + ShellQuote(dir_ + "/x.img") + " 2>&1", &out), 2);
  }
}

// Real evidence files from elsewhere: the media velmora reads is what libewf's own export gives.
TEST_F(EwfEvidenceTest, SharedEvidenceImagesMatchTheirExport) {
  const std::string evidence = testing::SharedTestData("bulk_extractor/Images__kml_samples.E01");
  if (evidence.empty())
    GTEST_SKIP() << "shared test data bulk_extractor/Images__kml_samples.E01 is absent";
  if (!testing::ToolAvailable("ewfexport"))
    GTEST_SKIP() << "ewfexport (ewf-tools) is not installed";
  ASSERT_EQ(RunCommand("ewfexport -u -q -f raw -t " + ShellQuote(dir_ + "/export") + " " +
                       ShellQuote(evidence) + " >/dev/null 2>&1"),
            0);
  const std::string copy = dir_ + "/copy.img";
  ASSERT_EQ(
      Velmora("image " + ShellQuote(evidence) + " --to " + ShellQuote(copy) + " >/dev/null 2>&1"),
      0);
  EXPECT_EQ(RunCommand("cmp -s " + ShellQuote(copy) + " " + ShellQuote(dir_ + "/export.raw")), 0);
  std::string info;
  ASSERT_EQ(Velmora("info " + ShellQuote(evidence) + " --json", &info), 0);
  EXPECT_EQ(nlohmann::json::parse(info, nullptr, false)["fat_type"], "FAT12");
}

}  // namespace
}  // namespace velmora
