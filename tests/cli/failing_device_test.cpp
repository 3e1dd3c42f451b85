// Recovering from a medium with scattered bad sectors: every file gives its readable bytes
// with zeros and a reported range where the medium fails, the same from a block device as
// from the file behind it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <nlohmann/json.hpp>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/faulty_image_mount.h"
#include "support/loop_device.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

struct Recovered {
  int status = -1;
  std::string output;
  // By source path: the bytes written and the unreadable source ranges reported.
  std::map<std::string, std::vector<uint8_t>> bytes;
  std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> unreadable;
  std::set<std::string> failed;
};

Recovered Recover(const std::string& source, const std::string& dest) {
  Recovered r;
  const std::string json_file = dest + ".json";
  r.status = RunCommand(VelmoraBinary() + " recover " + ShellQuote(source) + " --to " +
                            ShellQuote(dest) + " --json 2>&1 >" + ShellQuote(json_file),
                        &r.output);
  std::ifstream in(json_file);
  const std::string text((std::istreambuf_iterator<char>(in)), {});
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.contains("files")) return r;
  for (const auto& line : json["files"]) {
    const std::string path = "/" + line.value("source_path", "");
    if (!line["error"].is_null()) {
      r.failed.insert(path);
      continue;
    }
    if (line["output"].is_string())
      r.bytes[path] = ReadWholeFile(line["output"].get<std::string>());
    if (line.contains("unreadable")) {
      for (const auto& range : line["unreadable"])
        r.unreadable[path].emplace_back(range[0].get<uint64_t>(), range[1].get<uint64_t>());
    }
  }
  return r;
}

// A volume whose deleted files are read through a FUSE file that fails chosen sectors, and
// through a loop device over that file where the machine allows it.
class FailingDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = MakeTempDir("failing-device"); }
  void TearDown() override {
    loop_.reset();  // the loop device holds the FUSE file open
    mount_.reset();
    RemoveTree(dir_);
  }

  // Files 0, 2, 4 and 6 get bad sectors inside (one, two apart, two touching, the last);
  // the rest none. Also bad: free space no recovery reads.
  void Plan(const VolumeTruth& truth, const std::vector<std::string>& paths) {
    for (size_t i = 0; i < paths.size(); ++i) {
      const TruthEntry* entry = truth.Find(paths[i]);
      ASSERT_NE(entry, nullptr) << paths[i];
      ASSERT_EQ(entry->extents.size(), 1u) << paths[i];
      const ImageExtent& extent = entry->extents[0];
      ASSERT_EQ(extent.offset % 512, 0u);
      const uint64_t first = extent.offset / 512;
      const uint64_t last = (extent.offset + entry->size - 1) / 512;
      std::vector<uint64_t> in_file;
      if (i == 0) in_file = {first + 5};
      if (i == 2) in_file = {first + 1, first + 9};
      if (i == 4) in_file = {first + 20, first + 21};
      if (i == 6) in_file = {last};
      for (const uint64_t s : in_file) bad_.insert(s);
      const auto content = ReadWholeFile(truth.image_path);
      std::vector<uint8_t> want(
          content.begin() + static_cast<std::ptrdiff_t>(extent.offset),
          content.begin() + static_cast<std::ptrdiff_t>(extent.offset + entry->size));
      for (const uint64_t s : in_file) {
        const uint64_t from = s * 512 - extent.offset;
        std::fill(
            want.begin() + static_cast<std::ptrdiff_t>(from),
            want.begin() + static_cast<std::ptrdiff_t>(std::min<uint64_t>(from + 512, want.size())),
            0);
        ranges_[paths[i]].emplace_back(s * 512, 512);
      }
      // Touching sectors are reported as one range.
      auto& list = ranges_[paths[i]];
      for (size_t k = 1; k < list.size();) {
        if (list[k - 1].first + list[k - 1].second == list[k].first) {
          list[k - 1].second += list[k].second;
          list.erase(list.begin() + static_cast<std::ptrdiff_t>(k));
        } else {
          ++k;
        }
      }
      if (list.empty()) ranges_.erase(paths[i]);
      expected_[paths[i]] = std::move(want);
    }
  }

  void Check(const Recovered& got, const char* what) {
    EXPECT_EQ(got.status, 1) << what << ": partial, as some bytes could not be read\n"
                             << got.output;
    EXPECT_TRUE(got.failed.empty()) << what << ": " << got.output;
    for (const auto& [path, want] : expected_) {
      const auto found = got.bytes.find(path);
      ASSERT_NE(found, got.bytes.end()) << what << ": " << path << " not recovered\n" << got.output;
      EXPECT_TRUE(found->second == want) << what << ": " << path << " differs";
    }
    EXPECT_EQ(got.unreadable, ranges_) << what;
  }

  void Mount(const std::string& image) {
    const std::string folder = dir_ + "/fuse";
    ::mkdir(folder.c_str(), 0755);
    mount_ = FaultyImageMount::Start(image, bad_, folder, &skip_);
  }

  void RecoverBothWays() {
    const Recovered from_file = Recover(mount_->FilePath(), dir_ + "/from-file");
    Check(from_file, "file");
    loop_ = LoopDevice::Attach(mount_->FilePath(), 512, &skip_);
    if (!loop_) GTEST_SKIP() << "no loop device over the failing file: " << skip_;
    const Recovered from_device = Recover(loop_->Path(), dir_ + "/from-device");
    Check(from_device, "block device");
    EXPECT_TRUE(from_device.bytes == from_file.bytes)
        << "the device gave other bytes than its file";
  }

  std::string dir_, skip_;
  std::set<uint64_t> bad_;
  std::map<std::string, std::vector<uint8_t>> expected_;
  std::map<std::string, std::vector<std::pair<uint64_t, uint64_t>>> ranges_;
  std::unique_ptr<FaultyImageMount> mount_;
  std::unique_ptr<LoopDevice> loop_;
};

TEST_F(FailingDeviceTest, FatFilesComeBackWithTheirReadableBytesFromFileAndDevice) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  ScopedDataDir data;
  const std::string image = dir_ + "/card.img";
  std::vector<std::string> paths;
  VolumeTruth truth;
  {
    FatVolumeBuilder fat(image, 16, 16 << 20);
    for (int i = 0; i < 8; ++i) {
      paths.push_back("/File" + std::to_string(i) + ".bin");
      fat.AddFile(paths.back(), RandomBytes(20000 + 3001 * static_cast<size_t>(i), 40 + i));
    }
    for (const auto& path : paths) fat.Delete(path);
    truth = fat.Finish();
  }
  Plan(truth, paths);
  bad_.insert({30000, 30001, 31000});  // free space near the end
  Mount(image);
  if (!mount_) GTEST_SKIP() << skip_;
  RecoverBothWays();
}

TEST_F(FailingDeviceTest, NtfsFilesComeBackWithTheirReadableBytesFromFileAndDevice) {
  if (!NtfsBuilderAvailable()) GTEST_SKIP() << "libntfs-3g or mkntfs is not available";
  ScopedDataDir data;
  const std::string image = dir_ + "/disk.img";
  std::vector<std::string> paths;
  VolumeTruth truth;
  {
    NtfsVolumeBuilder ntfs(image, 32 << 20);
    for (int i = 0; i < 8; ++i) {
      paths.push_back("/File" + std::to_string(i) + ".bin");
      ntfs.AddFile(paths.back(), RandomBytes(20000 + 3001 * static_cast<size_t>(i), 60 + i));
    }
    for (const auto& path : paths) ntfs.Delete(path);
    truth = ntfs.Finish();
  }
  Plan(truth, paths);
  Mount(image);
  if (!mount_) GTEST_SKIP() << skip_;
  RecoverBothWays();
}

// Unreadable sectors counted by a deep scan, or -1 when it printed no count.
int64_t DeepScanUnreadable(const std::string& source, std::string* output) {
  RunCommand(VelmoraBinary() + " scan " + ShellQuote(source) + " --deep --fresh --json 2>/dev/null",
             output);
  const auto json = nlohmann::json::parse(*output, nullptr, false);
  if (json.is_discarded() || !json.contains("unreadable_sectors")) return -1;
  return json["unreadable_sectors"].get<int64_t>();
}

// Bad sectors scattered over the free space, single and in runs, several inside one page:
// the deep scan counts each one once, from the device as from its file.
TEST_F(FailingDeviceTest, DeepScanCountsEachUnreadableSectorOnce) {
  if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
  ScopedDataDir data;
  const std::string image = dir_ + "/card.img";
  {
    FatVolumeBuilder fat(image, 16, 16 << 20);
    fat.AddFile("/Kept.bin", RandomBytes(30000, 5));
    fat.Finish();
  }
  for (uint64_t s = 2000; s < 32000; s += 397) bad_.insert(s);
  for (uint64_t s = 9000; s < 9013; ++s) bad_.insert(s);
  bad_.insert({12001, 12003, 12005, 12007});
  Mount(image);
  if (!mount_) GTEST_SKIP() << skip_;
  std::string output;
  EXPECT_EQ(DeepScanUnreadable(mount_->FilePath(), &output), static_cast<int64_t>(bad_.size()))
      << output;
  loop_ = LoopDevice::Attach(mount_->FilePath(), 512, &skip_);
  if (!loop_) GTEST_SKIP() << "no loop device over the failing file: " << skip_;
  EXPECT_EQ(DeepScanUnreadable(loop_->Path(), &output), static_cast<int64_t>(bad_.size()))
      << output;
}

}  // namespace
}  // namespace velmora::testing
