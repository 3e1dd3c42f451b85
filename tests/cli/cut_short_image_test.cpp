// An image cut short (truncate): info says the volume is larger than its source, STATE
// tells the files whose data lies past the end, and recover names that as the reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>
#include <string>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora {
namespace {

// Share of the file's data extents that lie at or past `end`, in whole percent, the way
// the listing rounds it (0 and 100 only when none or all).
int PercentPast(const testing::TruthEntry& file, uint64_t end) {
  uint64_t total = 0;
  uint64_t past = 0;
  for (const testing::ImageExtent& extent : file.extents) {
    if (extent.hole) continue;
    total += extent.length;
    if (extent.offset >= end) {
      past += extent.length;
    } else if (extent.offset + extent.length > end) {
      past += extent.offset + extent.length - end;
    }
  }
  if (past == 0 || total == 0) return 0;
  if (past >= total) return 100;
  return static_cast<int>(std::clamp<uint64_t>(past * 100 / total, 1, 99));
}

class CutShortImageTest : public ::testing::Test {
 protected:
  void SetUp() override { work_ = testing::MakeTempDir("cut-short"); }
  void TearDown() override { testing::RemoveTree(work_); }

  std::string Run(const std::string& arguments, int* status = nullptr) {
    std::string out;
    const int rc = testing::RunCommand(testing::VelmoraBinary() + " " + arguments, &out);
    if (status != nullptr) *status = rc;
    return out;
  }

  // Cuts the image to `keep` bytes and checks info, list and recover against the truth.
  void CheckCut(const testing::VolumeTruth& truth, const std::string& image, uint64_t keep) {
    ASSERT_EQ(::truncate(image.c_str(), static_cast<off_t>(keep)), 0);
    const std::string quoted = testing::ShellQuote(image);
    const auto info = nlohmann::json::parse(Run("info " + quoted + " --json 2>/dev/null"));
    EXPECT_EQ(info.value("cut_short", false), true) << info.dump();
    EXPECT_GT(info.value("volume_bytes", uint64_t{0}), keep);
    EXPECT_NE(Run("info " + quoted + " 2>/dev/null").find("the volume is larger than its source"),
              std::string::npos);
    // The Sleuth Kit sees the same volume size ("Total Sector Range: 0 - N" on NTFS,
    // "Total Range: 0 - N" in the sector layout on FAT).
    std::string fsstat;
    if (testing::ToolAvailable("fsstat") && testing::RunCommand("fsstat " + quoted, &fsstat) == 0) {
      for (const char* label : {"Total Sector Range: 0 - ", "Total Range: 0 - "}) {
        const size_t at = fsstat.find(label);
        if (at == std::string::npos) continue;
        const uint64_t last = std::stoull(fsstat.substr(at + std::string(label).size()));
        EXPECT_EQ(info.value("volume_bytes", uint64_t{0}), (last + 1) * 512);
        break;
      }
    }

    const auto listed = nlohmann::json::parse(Run("list " + quoted + " --json 2>/dev/null"));
    std::map<std::string, nlohmann::json> by_name;
    for (const auto& item : listed) by_name[item["name"].get<std::string>()] = item;
    int intact = 0;
    int past = 0;
    for (const testing::TruthEntry* file : truth.Files()) {
      if (!file->deleted) continue;
      const auto found = by_name.find(file->name);
      ASSERT_NE(found, by_name.end()) << file->path;
      const int percent = PercentPast(*file, keep);
      EXPECT_EQ(found->second["beyond_source_percent"], percent) << file->path;
      const std::string state = found->second["state"];
      if (percent == 0) {
        EXPECT_EQ(state, "intact") << file->path;
        ++intact;
      } else {
        EXPECT_EQ(state, percent == 100 ? "beyond source end"
                                        : std::to_string(percent) + "% beyond source end")
            << file->path;
        ++past;
        int status = 0;
        const std::string out =
            Run("recover " + quoted + " --name " + testing::ShellQuote(file->name) + " --to " +
                    testing::ShellQuote(work_ + "/out") + " 2>&1",
                &status);
        EXPECT_NE(status, 0) << out;
        EXPECT_NE(out.find("lies past the end of the source"), std::string::npos) << out;
      }
    }
    EXPECT_GT(intact, 0);
    EXPECT_GT(past, 0);
    // --state picks them out.
    const auto chosen =
        nlohmann::json::parse(Run("list " + quoted + " --state beyond-end --json 2>/dev/null"));
    EXPECT_EQ(static_cast<int>(chosen.size()), past);
  }

  std::string work_;
};

TEST_F(CutShortImageTest, NtfsImageCutInHalf) {
  if (!testing::NtfsBuilderAvailable()) GTEST_SKIP() << "mkntfs or libntfs-3g is not available";
  testing::ScopedDataDir data;
  const std::string image = work_ + "/ntfs.img";
  testing::VolumeTruth truth;
  {
    testing::NtfsVolumeBuilder ntfs(image, 32 << 20);
    for (int i = 1; i <= 10; ++i) {
      const std::string path = "/f" + std::to_string(i) + ".bin";
      ntfs.AddFile(path, testing::RandomBytes(static_cast<size_t>(i) * 400000, i));
    }
    for (int i = 1; i <= 10; ++i) ntfs.Delete("/f" + std::to_string(i) + ".bin");
    truth = ntfs.Finish();
  }
  CheckCut(truth, image, 16 << 20);
}

TEST_F(CutShortImageTest, FatImageCutInHalf) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  testing::ScopedDataDir data;
  const std::string image = work_ + "/fat.img";
  testing::VolumeTruth truth;
  {
    testing::FatVolumeBuilder fat(image, 16, 32 << 20);
    for (int i = 1; i <= 5; ++i) {
      fat.AddFile("/long name " + std::to_string(i) + ".bin",
                  testing::RandomBytes(static_cast<size_t>(i) * 2000000, i));
    }
    for (int i = 1; i <= 5; ++i) fat.Delete("/long name " + std::to_string(i) + ".bin");
    truth = fat.Finish();
  }
  CheckCut(truth, image, 16 << 20);
}

}  // namespace
}  // namespace velmora
