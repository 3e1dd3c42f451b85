// A whole quick scan and recovery run on a volume held in memory, as fuzzers and tests do.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "fat_scan_helpers.h"
#include "storage/byte_source.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"

namespace velmora::testing {
namespace {

TEST(MemorySourceScanTest, QuickScanFromMemoryListsAndRecoversWhatTheFileDoes) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  ScopedDataDir data_dir;
  const std::string work = MakeTempDir("fat-memory");
  VolumeTruth truth;
  {
    FatVolumeBuilder fat(work + "/volume.img", 16, 16 << 20);
    fat.MakeDirectory("/docs/old");
    fat.AddFile("/docs/old/Report 2024.txt", RandomText(9000, 1));
    fat.AddFragmentedFile("/clip.bin", RandomBytes(70000, 2), 3);
    fat.AddFile("/keep.txt", RandomText(500, 3));
    fat.Delete("/clip.bin");
    fat.DeleteTree("/docs");
    truth = fat.Finish();
  }
  std::ifstream in(truth.image_path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());

  auto from_file = ScanFatImage(truth.image_path, work + "/log-file");
  NamedSource memory(MakeMemorySource(std::move(bytes)));
  auto from_memory = ScanFatImage(memory.Name(), work + "/log-memory");
  ASSERT_TRUE(from_file && from_memory);
  const auto file_tree = ListTree(from_file.get());
  const auto memory_tree = ListTree(from_memory.get());
  ASSERT_FALSE(file_tree.empty());
  ASSERT_EQ(file_tree.size(), memory_tree.size());
  for (const auto& [path, record] : file_tree) {
    ASSERT_TRUE(memory_tree.count(path)) << path;
    EXPECT_EQ(static_cast<uint64_t>(memory_tree.at(path).size), static_cast<uint64_t>(record.size))
        << path;
  }
  // Short 8.3 names lose their first letter on deletion; the long name survives.
  const std::string report = "!ocs/!ld/Report 2024.txt";
  ASSERT_TRUE(memory_tree.count(report));
  const std::string recovered = work + "/Report 2024.txt";
  ASSERT_EQ(from_memory->RecoverFile(memory_tree.at(report), recovered, 0), 0);
  std::ifstream got(recovered, std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(got)),
                            std::istreambuf_iterator<char>());
  const std::vector<uint8_t> expected = RandomText(9000, 1);
  EXPECT_EQ(content, std::string(expected.begin(), expected.end()));
  RemoveTree(work);
}

}  // namespace
}  // namespace velmora::testing
