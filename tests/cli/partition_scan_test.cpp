// Sources with a partition table (card dumps, disk images) are scanned partition by partition.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/loop_device.h"
#include "support/partition_image.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::RunCommand;
using testing::ShellQuote;

class PartitionScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    dir_ = testing::MakeTempDir("partition-scan");
    MakeVolume("first.img", 16, "/Report One.txt", 1);
    MakeVolume("second.img", 12, "/Holiday Two.txt", 2);
  }
  void TearDown() override {
    if (!dir_.empty()) testing::RemoveTree(dir_);
  }
  void MakeVolume(const std::string& name, int bits, const std::string& deleted, uint64_t seed) {
    testing::FatVolumeBuilder fat(dir_ + "/" + name, bits, bits == 16 ? 16 << 20 : 4 << 20);
    fat.AddFile("/keep.txt", testing::RandomText(700, seed + 10));
    fat.AddFile(deleted, testing::RandomText(20000, seed));
    fat.Delete(deleted);
    truths_[name] = fat.Finish();
  }
  int Velmora(const std::string& arguments, std::string* output) {
    return RunCommand(ShellQuote(testing::VelmoraBinary()) + " " + arguments, output);
  }

  testing::ScopedDataDir data_;
  std::string dir_;
  std::map<std::string, testing::VolumeTruth> truths_;
};

TEST_F(PartitionScanTest, MbrAndGptImagesAreScannedAndListedPerPartition) {
  const std::string mbr = dir_ + "/card.img";
  testing::WriteMbrDisk(mbr, 65536,
                        {{2048, 0, testing::kMbrTypeFat16Lba, dir_ + "/first.img"},
                         {40960, 0, testing::kMbrTypeFat12, dir_ + "/second.img"}});
  const std::string gpt = dir_ + "/disk.img";
  testing::WriteGptDisk(
      gpt, 65536, {{2048, 0, "one", dir_ + "/first.img"}, {40960, 0, "two", dir_ + "/second.img"}});
  for (const std::string& image : {mbr, gpt}) {
    SCOPED_TRACE(image);
    std::string out;
    ASSERT_EQ(Velmora("scan " + ShellQuote(image) + " 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("holds 2 partitions"), std::string::npos) << out;
    ASSERT_EQ(Velmora("scan " + ShellQuote(image) + " --json 2>/dev/null", &out), 0);
    const auto scanned = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(scanned.is_object()) << out;
    ASSERT_EQ(scanned["partitions"].size(), 2u);
    EXPECT_EQ(scanned["partitions"][1]["partition"], 2);
    EXPECT_EQ(scanned["partitions"][1]["files"], 1);

    ASSERT_EQ(Velmora("list " + ShellQuote(image) + " --json 2>/dev/null", &out), 0);
    const auto listed = nlohmann::json::parse(out, nullptr, false);
    ASSERT_TRUE(listed.is_array()) << out;
    std::map<std::string, int> partition_of;
    for (const auto& file : listed) partition_of[file["name"]] = file["partition"];
    EXPECT_EQ(partition_of["Report One.txt"], 1);
    EXPECT_EQ(partition_of["Holiday Two.txt"], 2);
    ASSERT_EQ(Velmora("list " + ShellQuote(image) + " 2>/dev/null", &out), 0);
    // The id leads, so a script taking the first column takes ids; the partition follows.
    EXPECT_EQ(out.rfind("ID ", 0), 0u) << out;
    const size_t row = out.rfind('\n', out.find("Holiday Two.txt"));
    ASSERT_NE(row, std::string::npos) << out;
    std::istringstream fields(out.substr(row + 1));
    std::string id, part;
    fields >> id >> part;
    EXPECT_EQ(part, "2") << out;
  }
  // The partition named as IMG@K gives the file back byte for byte.
  const std::string to = dir_ + "/out";
  std::string out;
  ASSERT_EQ(
      Velmora("recover " + ShellQuote(mbr + "@2") + " --to " + ShellQuote(to) + " 2>&1", &out), 0)
      << out;
  ASSERT_EQ(RunCommand("md5sum " + ShellQuote(to + "/document/Holiday Two.txt"), &out), 0) << out;
  EXPECT_EQ(out.substr(0, 32), truths_["second.img"].Find("/Holiday Two.txt")->md5);
}

// A disk made by sfdisk with logical partitions whose links sit in slots 3 and 4, a FAT
// volume in the last of them: scanned per partition, then each partition's saved result is
// what IMG@K, /dev/loopN@K and disk:N@K open, and the commands that need one file system
// ask for the partition by name.
class LogicalDiskTest : public PartitionScanTest {
 protected:
  void SetUp() override {
    PartitionScanTest::SetUp();
    if (IsSkipped()) return;
    if (!testing::ToolAvailable("sfdisk")) GTEST_SKIP() << "sfdisk is not installed";
    {
      testing::FatVolumeBuilder fat(dir_ + "/third.img", 12, 4 << 20);
      fat.AddFile("/keep.txt", testing::RandomText(700, 30));
      fat.AddFile("/Holiday Two.txt", testing::RandomText(20000, 2));
      fat.AddFile("/Notes Three.txt", testing::RandomText(9000, 3));
      fat.Delete("/Holiday Two.txt");
      fat.Delete("/Notes Three.txt");
      truths_["third.img"] = fat.Finish();
    }
    disk_ = dir_ + "/logical.img";
    ASSERT_TRUE(testing::CreateSparseImage(disk_, 64ull << 20));
    const std::string layout =
        "label: dos\nstart=2048, size=34816, type=e\nstart=36864, type=5\n"
        "size=4096, type=83\nsize=4096, type=83\nstart=51200, size=8192, type=1\n";
    std::string out;
    ASSERT_EQ(
        RunCommand("printf %s " + ShellQuote(layout) + " | sfdisk -q " + ShellQuote(disk_), &out),
        0)
        << out;
    // Links moved from slot 2 to slots 3 and 4, as some tools leave them.
    MoveLink(36864, 2);
    MoveLink(36864 + 6144, 3);
    ASSERT_EQ(RunCommand("dd if=" + ShellQuote(dir_ + "/first.img") + " of=" + ShellQuote(disk_) +
                         " bs=512 seek=2048 conv=notrunc status=none && dd if=" +
                         ShellQuote(dir_ + "/third.img") + " of=" + ShellQuote(disk_) +
                         " bs=512 seek=51200 conv=notrunc status=none"),
              0);
  }
  void MoveLink(uint64_t ebr, int slot) {
    std::fstream file(disk_, std::ios::binary | std::ios::in | std::ios::out);
    char entries[64];
    file.seekg(static_cast<std::streamoff>(ebr * 512 + 446));
    file.read(entries, 64);
    std::memcpy(entries + 16 * slot, entries + 16, 16);
    std::memset(entries + 16, 0, 16);
    file.seekp(static_cast<std::streamoff>(ebr * 512 + 446));
    file.write(entries, 64);
    ASSERT_TRUE(file.good());
  }
  // The disk:N of a loop device in `velmora disks`; -1 when it is not listed.
  int DiskNumberOf(const std::string& device) {
    std::string out;
    if (Velmora("disks --json 2>/dev/null", &out) != 0) return -1;
    const auto listed = nlohmann::json::parse(out, nullptr, false);
    if (!listed.is_object()) return -1;
    for (const auto& disk : listed["disks"]) {
      if (disk["device"] == device) return disk["disk"].get<int>();
    }
    return -1;
  }
  std::string disk_;
};

TEST_F(LogicalDiskTest, ImagePartitionsAreScannedOnceAndNamedForRecovery) {
  std::string out;
  // Partitions 2 and 3 hold no file system: the scan is partial (status 1), not failed.
  ASSERT_EQ(Velmora("scan " + ShellQuote(disk_) + " --json 2>/dev/null", &out), 1) << out;
  const auto scanned = nlohmann::json::parse(out, nullptr, false);
  ASSERT_TRUE(scanned.is_object()) << out;
  ASSERT_EQ(scanned["partitions"].size(), 4u);  // mmls: 2048, 38912, 45056, 51200
  EXPECT_EQ(scanned["partitions"][3]["files"], 2);

  // The whole-disk scan saved partition 4's result: IMG@4 uses it instead of scanning again.
  ASSERT_EQ(Velmora("list " + ShellQuote(disk_ + "@4") + " 2>&1", &out), 0) << out;
  EXPECT_NE(out.find("Using the saved quick scan"), std::string::npos) << out;
  EXPECT_NE(out.find("Holiday Two.txt"), std::string::npos) << out;

  // The ids of the whole listing lead to their partition where they are unique in it.
  ASSERT_EQ(Velmora("list " + ShellQuote(disk_) + " --json 2>/dev/null", &out), 1) << out;
  const auto listed = nlohmann::json::parse(out, nullptr, false);
  ASSERT_TRUE(listed.is_array()) << out;
  std::map<std::string, std::pair<int, uint64_t>> found;  // name -> partition, id
  for (const auto& file : listed) found[file["name"]] = {file["partition"], file["id"]};
  ASSERT_EQ(found.size(), 3u) << out;
  const uint64_t report = found["Report One.txt"].second;
  const uint64_t holiday = found["Holiday Two.txt"].second;
  const uint64_t notes = found["Notes Three.txt"].second;
  EXPECT_EQ(found["Notes Three.txt"].first, 4);
  ASSERT_EQ(report, holiday) << "each partition's first deleted file was expected to share an id";
  ASSERT_NE(notes, report);
  EXPECT_EQ(Velmora("cat " + ShellQuote(disk_) + " --id " + std::to_string(notes) +
                        " 2>/dev/null | md5sum",
                    &out),
            0);
  EXPECT_EQ(out.substr(0, 32), truths_["third.img"].Find("/Notes Three.txt")->md5);
  EXPECT_EQ(Velmora("cat " + ShellQuote(disk_) + " --id " + std::to_string(report) + " 2>&1", &out),
            2);
  EXPECT_NE(out.find("id " + std::to_string(report) + " is in partitions 1 and 4 of"),
            std::string::npos)
      << out;
  const std::string to = dir_ + "/out";
  ASSERT_EQ(Velmora("recover " + ShellQuote(disk_) + " --id " + std::to_string(notes) + " --to " +
                        ShellQuote(to) + " 2>&1",
                    &out),
            0)
      << out;
  EXPECT_NE(out.find("the ids are in partition 4; reading " + disk_ + "@4"), std::string::npos)
      << out;
  ASSERT_EQ(RunCommand("md5sum " + ShellQuote(to + "/document/Notes Three.txt"), &out), 0) << out;
  EXPECT_EQ(out.substr(0, 32), truths_["third.img"].Find("/Notes Three.txt")->md5);

  // Everything at once: the partition has to be named.
  EXPECT_EQ(Velmora("recover " + ShellQuote(disk_) + " --to " + ShellQuote(to) + " 2>&1", &out), 2);
  EXPECT_NE(out.find("holds 4 partitions and no file system of its own; name a partition: " +
                     disk_ + "@K (K = 1 to 4"),
            std::string::npos)
      << out;
  EXPECT_EQ(Velmora("preview " + ShellQuote(disk_) + " --id 999 2>&1", &out), 2);
  EXPECT_NE(out.find("no file with id 999 in any partition"), std::string::npos) << out;
}

TEST_F(LogicalDiskTest, LoopDiskPartitionsAreSourcesByDiskNumber) {
  std::string why;
  auto loop = testing::LoopDevice::Attach(disk_, 512, &why);
  if (!loop) GTEST_SKIP() << "no loop device: " << why;
  const int number = DiskNumberOf(loop->Path());
  if (number < 0) GTEST_SKIP() << loop->Path() << " is not in velmora disks";
  const std::string disk = "disk:" + std::to_string(number);

  std::string out;
  ASSERT_EQ(Velmora("info " + disk + " 2>&1", &out), 0) << out;
  EXPECT_NE(out.find("(select one as " + disk + "@K)"), std::string::npos) << out;
  ASSERT_EQ(Velmora("scan " + disk + " 2>&1", &out), 1) << out;
  EXPECT_NE(out.find("holds 4 partitions"), std::string::npos) << out;
  EXPECT_NE(out.find("Quick scan of " + disk + "@4: "), std::string::npos) << out;

  // disk:N@K and /dev/loopN@K name one region: the result saved by the scan serves both.
  for (const std::string& source : {disk + "@4", loop->Path() + "@4"}) {
    SCOPED_TRACE(source);
    ASSERT_EQ(Velmora("list " + source + " 2>&1", &out), 0) << out;
    EXPECT_NE(out.find("Using the saved quick scan"), std::string::npos) << out;
    EXPECT_NE(out.find("Holiday Two.txt"), std::string::npos) << out;
  }
  const std::string to = dir_ + "/out";
  ASSERT_EQ(Velmora("recover " + disk + "@4 --to " + ShellQuote(to) + " 2>&1", &out), 0) << out;
  ASSERT_EQ(RunCommand("md5sum " + ShellQuote(to + "/document/Holiday Two.txt"), &out), 0) << out;
  EXPECT_EQ(out.substr(0, 32), truths_["third.img"].Find("/Holiday Two.txt")->md5);
  EXPECT_EQ(Velmora("info " + disk + "@5 2>&1", &out), 2);
  EXPECT_NE(out.find("has 4 partitions; @5 does not exist"), std::string::npos) << out;
}

TEST_F(LogicalDiskTest, ABrokenChainIsToldByInfoAndDisks) {
  {
    std::fstream file(disk_, std::ios::binary | std::ios::in | std::ios::out);
    file.seekp(49152 * 512 + 510);
    file.write("\0\0", 2);  // the third record loses its signature
  }
  const std::string told =
      "warning: extended boot record at sector 49152 has no signature; the logical partitions "
      "it held are lost";
  std::string out;
  ASSERT_EQ(Velmora("info " + ShellQuote(disk_) + " 2>&1", &out), 0) << out;
  EXPECT_NE(out.find(told), std::string::npos) << out;
  std::string why;
  auto loop = testing::LoopDevice::Attach(disk_, 512, &why);
  if (!loop) GTEST_SKIP() << "no loop device: " << why;
  ASSERT_EQ(Velmora("disks 2>&1", &out), 0) << out;
  const size_t at = out.find(loop->Path());
  ASSERT_NE(at, std::string::npos) << out;
  EXPECT_NE(out.find(told, at), std::string::npos) << out;
}

}  // namespace
}  // namespace velmora
