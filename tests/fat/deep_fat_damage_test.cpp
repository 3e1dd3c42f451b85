// The FAT deep engine on damaged directories: loops in ".." links and randomly
// corrupted directory sectors must neither hang nor crash the pass, nor let
// recovered files leave their destination.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "engine/record_text.h"
#include "fat/deep_fat_recovery.h"
#include "fat/fat_deep_scan_driver.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::RunCommand;

std::vector<uint8_t> ReadImage(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteImage(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

class DamagedFatDirectories : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ToolAvailable("mkfs.fat") || !testing::ToolAvailable("mcopy")) {
      GTEST_SKIP() << "mkfs.fat and mtools are needed to build FAT volumes";
    }
    folder_ = testing::MakeTempDir("fatdeep-damage");
    image_ = folder_ + "/fat16.img";
    const std::string payload = folder_ + "/payload";
    std::ofstream(payload) << std::string(5000, 'x');
    const std::string i = " -i '" + image_ + "' ";
    const std::string script = "export MTOOLS_SKIP_CHECK=1; set -e; mkfs.fat -F 16 -s 2 -C '" +
                               image_ + "' 8192 >/dev/null; mmd" + i + "::Docs; mmd" + i +
                               "::Docs/Sub; mmd" + i + "::Docs/Sub/Deep; mcopy" + i + "'" +
                               payload + "' '::Docs/Sub/Deep/deep file.txt'; mcopy" + i + "'" +
                               payload + "' '::Docs/report with a long name.txt'; mcopy" + i + "'" +
                               payload + "' ::Docs/Sub/b.txt";
    ASSERT_EQ(RunCommand(script + " 2>&1"), 0);
  }
  void TearDown() override {
    if (!folder_.empty()) testing::RemoveTree(folder_);
  }

  // Runs the pass, lists everything and recovers every file; returns the number
  // of records written.
  size_t ScanListAndRecover(const std::string& image, const std::string& label) {
    CProfessionalFatRecovery engine;
    EXPECT_EQ(engine.OpenImage(image, u'Z'), 0);
    EXPECT_EQ(testing::RunFatDeepPass(&engine, image, folder_ + "/log-" + label), 0);
    std::vector<std::pair<ScanRecord, int>> pending{{ScanRecord{}, 0}};
    size_t listed = 0;
    for (size_t i = 0; i < pending.size() && i < 10000; ++i) {
      ScanRecordList children;
      engine.GetChildren(i == 0 ? nullptr : &pending[i].first, pending[i].second, &children);
      for (const ScanRecord& child : children) {
        ++listed;
        std::string path;
        EXPECT_EQ(engine.GetFullPath(child, &path), 0);
        if (child.is_directory) {
          pending.push_back({child, pending[i].second + 1});
        } else {
          engine.RecoverFile(child, folder_ + "/out-" + label + "/" + std::to_string(listed), 0);
        }
      }
    }
    // Everything written stays below the destination.
    std::string stray;
    RunCommand("find '" + folder_ + "' -type f -not -path '" + folder_ + "/out-*' -not -path '" +
                   folder_ + "/log-*' -not -name '*.img' -not -name payload",
               &stray);
    EXPECT_EQ(stray, "") << label;
    return engine.GetRecordCount();
  }

  std::string folder_;
  std::string image_;
  testing::ScopedDataDir data_dir_;
};

uint32_t DotCluster(const uint8_t* sector) {
  return static_cast<uint32_t>(sector[26] | (sector[27] << 8));
}

TEST_F(DamagedFatDirectories, LoopedParentLinksEndTheWalk) {
  std::vector<uint8_t> bytes = ReadImage(image_);
  // Find the first sectors of Docs and of Deep, then point Docs' ".." at Deep.
  size_t docs = 0, deep = 0;
  for (size_t offset = 0; offset + 512 <= bytes.size(); offset += 512) {
    const uint8_t* sector = bytes.data() + offset;
    if (!IsDirectoryStartSector(sector, 512)) continue;
    for (int e = 2; e < 16; ++e) {
      if (std::memcmp(sector + 32 * e, "SUB        ", 11) == 0) docs = offset;
      if (std::memcmp(sector + 32 * e + 8, "TXT", 3) == 0 && sector[32 * e + 11] == 0x20 &&
          std::memcmp(sector + 32 * e, "DEEPFI", 6) == 0) {
        deep = offset;
      }
    }
  }
  ASSERT_NE(docs, 0u);
  ASSERT_NE(deep, 0u);
  const uint32_t deep_cluster = DotCluster(bytes.data() + deep);
  bytes[docs + 32 + 26] = static_cast<uint8_t>(deep_cluster);
  bytes[docs + 32 + 27] = static_cast<uint8_t>(deep_cluster >> 8);
  // Lose the boot sector and the root region, so the loop is all that names
  // the parent of Docs.
  const size_t reserved = bytes[14] | (bytes[15] << 8);
  const size_t fat_size = bytes[22] | (bytes[23] << 8);
  std::memset(bytes.data() + (reserved + 2 * fat_size) * 512, 0, 32 * 512);
  std::memset(bytes.data(), 0, 512);
  const std::string looped = folder_ + "/looped.img";
  WriteImage(looped, bytes);
  EXPECT_GT(ScanListAndRecover(looped, "loop"), 0u);
}

TEST_F(DamagedFatDirectories, RandomlyCorruptedDirectorySectorsAreSurvived) {
  const std::vector<uint8_t> original = ReadImage(image_);
  std::vector<size_t> directory_sectors;
  for (size_t offset = 0; offset + 512 <= original.size(); offset += 512) {
    const uint8_t* sector = original.data() + offset;
    if (IsDirectoryStartSector(sector, 512) || IsDirectorySector(sector, 512)) {
      directory_sectors.push_back(offset);
    }
  }
  ASSERT_GE(directory_sectors.size(), 4u);
  std::mt19937 random(1234);
  const std::string damaged = folder_ + "/damaged.img";
  for (int round = 0; round < 40; ++round) {
    std::vector<uint8_t> bytes = original;
    for (size_t offset : directory_sectors) {
      const int changes = 1 + static_cast<int>(random() % 12);
      for (int c = 0; c < changes; ++c) {
        // Cluster words, sizes and dates are what the engine follows.
        static const int kFields[] = {0, 11, 13, 20, 21, 26, 27, 28, 29, 30, 31, 52, 58};
        const size_t entry = random() % 16;
        const size_t field = kFields[random() % (sizeof(kFields) / sizeof(kFields[0]))];
        bytes[offset + entry * 32 + field % 32] = static_cast<uint8_t>(random());
      }
    }
    WriteImage(damaged, bytes);
    ScanListAndRecover(damaged, "round" + std::to_string(round));
    testing::RemoveTree(folder_ + "/out-round" + std::to_string(round));
  }
}

}  // namespace
}  // namespace velmora
