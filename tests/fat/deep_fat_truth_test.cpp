// The FAT deep engine against the ground truth of built volumes: deleted
// folder trees come back with their long names and, where their data is intact
// and in one piece, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "engine/record_text.h"
#include "fat/deep_fat_recovery.h"
#include "fat/fat_deep_scan_driver.h"
#include "fat/fat_scan_helpers.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora {
namespace {

std::map<std::string, ScanRecord> ListDeep(CProfessionalFatRecovery* engine) {
  std::map<std::string, ScanRecord> found;
  std::vector<std::pair<ScanRecord, int>> pending{{ScanRecord{}, 0}};
  for (size_t i = 0; i < pending.size() && i < 100000; ++i) {
    ScanRecordList children;
    engine->GetChildren(i == 0 ? nullptr : &pending[i].first, pending[i].second, &children);
    for (const ScanRecord& child : children) {
      std::string path;
      engine->GetFullPath(child, &path);
      path = "/" + path + std::string(RecordName(child));
      if (child.is_directory) pending.push_back({child, pending[i].second + 1});
      found.emplace(path, child);
    }
  }
  return found;
}

// A deleted entry without a long name lost its first character, which reads '!'.
bool SamePathAfterDeletion(const std::string& found, const std::string& truth) {
  size_t f = 0, t = 0;
  while (f <= found.size() && t <= truth.size()) {
    const size_t f_end = std::min(found.find('/', f), found.size());
    const size_t t_end = std::min(truth.find('/', t), truth.size());
    const std::string a = found.substr(f, f_end - f), b = truth.substr(t, t_end - t);
    const bool same = a == b || (a.size() == b.size() && !a.empty() && a[0] == '!' &&
                                 a.compare(1, std::string::npos, b, 1, std::string::npos) == 0);
    if (!same) return false;
    if (f_end == found.size() || t_end == truth.size()) {
      return f_end == found.size() && t_end == truth.size();
    }
    f = f_end + 1;
    t = t_end + 1;
  }
  return false;
}

class DeepFatTruth : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat and mtools are needed";
    folder_ = testing::MakeTempDir("fatdeep-truth");
  }
  void TearDown() override {
    if (!folder_.empty()) testing::RemoveTree(folder_);
  }
  std::string folder_;
  testing::ScopedDataDir data_dir_;
};

TEST_P(DeepFatTruth, DeletedFolderTreeComesBackWithLongNames) {
  const int fat_bits = GetParam();
  const uint64_t size = fat_bits == 32   ? (64ull << 20)
                        : fat_bits == 16 ? (16ull << 20)
                                         : (4ull << 20);
  testing::FatVolumeBuilder builder(folder_ + "/fat.img", fat_bits, size);
  builder.MakeDirectory("/Photos/2024/Summer holiday");
  builder.AddFile("/Photos/2024/Grüße aus dem Urlaub.jpg", testing::SampleContent("jpg", 30000, 1));
  builder.AddFile("/Photos/2024/Summer holiday/beach at sunset.png",
                  testing::SampleContent("png", 9000, 2));
  builder.AddFile("/Photos/index of all pictures.txt", testing::RandomText(2500, 3));
  builder.AddFile("/keep.txt", testing::RandomText(400, 4));
  builder.DeleteTree("/Photos");
  const testing::VolumeTruth truth = builder.Finish();

  CProfessionalFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(truth.image_path, u'Z'), 0);
  ASSERT_EQ(testing::RunFatDeepPass(&engine, truth.image_path, folder_ + "/log"), 0);
  const auto found = ListDeep(&engine);
  if (std::getenv("FATDEEP_DEBUG")) {
    for (const auto& [path, record] : found) std::printf("  %s\n", path.c_str());
  }

  int checked = 0;
  for (const testing::TruthEntry* file : truth.Files()) {
    auto it = found.find(file->path);
    if (it == found.end() && file->deleted) {
      for (it = found.begin(); it != found.end(); ++it) {
        if (SamePathAfterDeletion(it->first, file->path)) break;
      }
    }
    ASSERT_NE(it, found.end()) << file->path << (file->deleted ? " (deleted)" : "");
    const uint64_t listed_size = it->second.size;  // packed field: copy before binding
    EXPECT_EQ(listed_size, file->size) << file->path;
    // Without a FAT only data in one piece can be rebuilt.
    if (!file->data_intact || file->extents.size() > 1) continue;
    const std::string out = folder_ + "/out/" + std::to_string(checked++);
    ASSERT_EQ(engine.RecoverFile(it->second, out, 0), 0) << file->path;
    EXPECT_EQ(testing::Md5Of(out), file->md5) << file->path;
  }
  EXPECT_GE(checked, 3);
}

INSTANTIATE_TEST_SUITE_P(FatWidths, DeepFatTruth, ::testing::Values(12, 16, 32),
                         [](const auto& info) { return "Fat" + std::to_string(info.param); });

}  // namespace
}  // namespace velmora
