// Disks made of loop devices over generated images: enumeration, monitor, locator,
// and the image command end to end. Skipped when loop devices cannot be used.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <nlohmann/json.hpp>

#include "storage/device_monitor.h"
#include "storage/disk_enumerator.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"
#include "storage/source_locator.h"
#include "support/loop_device.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::LoopDevice;
using testing::ReadWholeFile;
using testing::RunCommand;

struct Expected {
  RegionKind kind;
  uint64_t start;
  uint64_t length;
};

class LoopDisksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = testing::MakeTempDir("loop-disks");
    // 64 MiB, MBR: FAT16 at 2048, a gap of 18432 sectors, two more partitions with
    // a gap narrower than a cylinder between them, and 31072 free sectors at the end.
    mbr_image_ = dir_ + "/mbr.img";
    ASSERT_TRUE(testing::CreateSparseImage(mbr_image_, 64ull << 20));
    ASSERT_TRUE(testing::WriteMbr(
        mbr_image_, {{2048, 20480, 0x0E}, {40960, 40960, 0x83}, {90000, 10000, 0x07}}));
    if (testing::ToolAvailable("mkfs.fat")) {
      ASSERT_EQ(RunCommand("mkfs.fat --offset 2048 -n VELDATA '" + mbr_image_ + "' 10240"), 0);
    }
    if (testing::ToolAvailable("mkfs.ext4")) {
      ASSERT_EQ(RunCommand("mkfs.ext4 -q -F -L VELEXT -E offset=" + std::to_string(90000 * 512) +
                           " '" + mbr_image_ + "' 4M"),
                0);
    }
    // Some recognisable bytes in the second partition.
    {
      std::fstream file(mbr_image_, std::ios::binary | std::ios::in | std::ios::out);
      file.seekp(40960ll * 512 + 4096);
      file << "second partition payload";
    }
    bare_image_ = dir_ + "/bare.img";
    ASSERT_TRUE(testing::CreateSparseImage(bare_image_, 16ull << 20));
    // 128 MiB of 4096-byte sectors: one partition [256, 2304) and a wide tail.
    big_sector_image_ = dir_ + "/4k.img";
    ASSERT_TRUE(testing::CreateSparseImage(big_sector_image_, 128ull << 20));
    ASSERT_TRUE(testing::WriteMbr(big_sector_image_, {{256, 2048, 0x83}}));
    if (testing::ToolAvailable("mkfs.ext4")) {
      ASSERT_EQ(RunCommand("mkfs.ext4 -q -F -b 4096 -E offset=" + std::to_string(256 * 4096) +
                           " '" + big_sector_image_ + "' 8M"),
                0);
    }
  }
  void TearDown() override {
    devices_.clear();  // detach before the images go
    testing::RemoveTree(dir_);
  }

  LoopDevice* Attach(const std::string& image, uint32_t sector_size) {
    std::string why;
    auto device = LoopDevice::Attach(image, sector_size, &why);
    if (!device) {
      skip_reason_ = why;
      return nullptr;
    }
    devices_.push_back(std::move(device));
    return devices_.back().get();
  }

  static const DiskDescription* FindDisk(const DiskEnumerator& enumerator,
                                         const std::string& path) {
    for (const auto& [number, disk] : enumerator.Disks()) {
      if (disk.device_path == path) return &disk;
    }
    return nullptr;
  }

  static std::string c_entries_fs(const DiskEnumerator& enumerator, const DiskDescription* c) {
    return enumerator.Entries().at(c->number)[0].file_system_name;
  }

  static void ExpectLayout(const std::vector<PartitionEntry>& entries,
                           const std::vector<Expected>& expected) {
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      SCOPED_TRACE("entry " + std::to_string(i + 1));
      EXPECT_EQ(entries[i].kind, expected[i].kind);
      EXPECT_EQ(entries[i].start, expected[i].start);
      EXPECT_EQ(entries[i].length, expected[i].length);
    }
  }

  std::string Velmora(const std::string& arguments, int* status) {
    std::string output;
    *status = RunCommand("'" + testing::VelmoraBinary() + "' " + arguments, &output);
    return output;
  }

  std::string dir_, mbr_image_, bare_image_, big_sector_image_, skip_reason_;
  std::vector<std::unique_ptr<LoopDevice>> devices_;
};

#define ATTACH_OR_SKIP(var, image, size) \
  LoopDevice* var = Attach(image, size); \
  if (!var) GTEST_SKIP() << skip_reason_

const std::vector<Expected> kMbrLayout = {{RegionKind::kVolume, 2048, 20480},
                                          {RegionKind::kUnallocated, 22528, 18432},
                                          {RegionKind::kVolume, 40960, 40960},
                                          {RegionKind::kVolume, 90000, 10000},
                                          {RegionKind::kUnallocated, 100000, 31072}};
const std::vector<Expected> kBigSectorLayout = {{RegionKind::kVolume, 256, 2048},
                                                {RegionKind::kUnallocated, 2304, 30464}};

TEST_F(LoopDisksTest, EnumeratorListsPartitionsGapsBareDisksAndSectorSizes) {
  ATTACH_OR_SKIP(mbr, mbr_image_, 512);
  ATTACH_OR_SKIP(bare, bare_image_, 512);
  ATTACH_OR_SKIP(big, big_sector_image_, 4096);

  // First as the kernel may leave them (no partition nodes), then with partitions added:
  // the list must be the same, only device nodes are added.
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "table read by velmora" : "partitions known to the kernel");
    if (pass == 1 && !(mbr->AddPartitions() && big->AddPartitions())) {
      GTEST_SKIP() << "partx cannot add partitions here";
    }
    DiskEnumerator enumerator;
    ASSERT_TRUE(enumerator.Refresh());
    const DiskDescription* a = FindDisk(enumerator, mbr->Path());
    const DiskDescription* b = FindDisk(enumerator, bare->Path());
    const DiskDescription* c = FindDisk(enumerator, big->Path());
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(a->sectors, 131072u);
    EXPECT_EQ(a->sector_size, 512u);
    EXPECT_EQ(a->scheme, PartitionScheme::kMbr);
    EXPECT_EQ(a->backing_file, mbr_image_);
    EXPECT_EQ(c->sector_size, 4096u);
    EXPECT_EQ(c->sectors, 32768u);

    const auto& a_entries = enumerator.Entries().at(a->number);
    ExpectLayout(a_entries, kMbrLayout);
    EXPECT_EQ(a_entries[0].file_system_name, "FAT16");
    EXPECT_EQ(a_entries[0].volume_label, "VELDATA");
    EXPECT_EQ(a_entries[0].type, 6);  // FAT overrides the table's 0x0E
    EXPECT_EQ(a_entries[0].total, 20480u * 512);
    EXPECT_EQ(a_entries[2].type, 0x83);
    EXPECT_EQ(a_entries[3].type, 0x07);  // ext4 implies no type byte: the table's stays
    EXPECT_EQ(a_entries[3].file_system_name, "ext4");
    EXPECT_EQ(a_entries[3].volume_label, "VELEXT");
    EXPECT_EQ(c_entries_fs(enumerator, c), "ext4");
    EXPECT_EQ(a_entries[1].free, 18432u * 512);
    EXPECT_EQ(a_entries[1].partition, -1);
    EXPECT_EQ(a_entries[2].partition, 2);
    if (pass == 1) {
      EXPECT_EQ(a_entries[0].volume_path, mbr->Path() + "p1");
    }

    ExpectLayout(enumerator.Entries().at(b->number), {{RegionKind::kWholeDisk, 0, 32768}});
    EXPECT_EQ(enumerator.Entries().at(b->number)[0].free, 16ull << 20);

    const auto& c_entries = enumerator.Entries().at(c->number);
    ExpectLayout(c_entries, kBigSectorLayout);
    EXPECT_EQ(c_entries[0].sector_size, 4096u);
    EXPECT_EQ(c_entries[1].total, 30464ull * 4096);

    // Numbers are positions in the whole list.
    std::vector<PartitionEntry> all;
    enumerator.CopyAll(&all);
    for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i].number, i + 1);
    PartitionEntry entry;
    size_t iterated = 0;
    while (enumerator.Next(&entry)) EXPECT_EQ(entry.number, ++iterated);
    EXPECT_EQ(iterated, all.size());
  }
}

TEST_F(LoopDisksTest, VanishedEntriesAreThoseOfADetachedDiskOnly) {
  ATTACH_OR_SKIP(first, bare_image_, 512);
  ATTACH_OR_SKIP(second, mbr_image_, 512);
  DiskEnumerator before;
  ASSERT_TRUE(before.Refresh());
  std::vector<PartitionEntry> old_list;
  before.CopyAll(&old_list);
  const std::string gone = first->Path();
  first->Detach();  // disks after it move down one number
  DiskEnumerator after;
  ASSERT_TRUE(after.Refresh());
  std::vector<PartitionEntry> vanished;
  after.Vanished(old_list, &vanished);
  size_t ours = 0;
  for (const auto& entry : vanished) {
    ours += entry.disk_path == gone;
    EXPECT_NE(entry.disk_path, second->Path()) << "a disk that stayed was reported gone";
  }
  EXPECT_EQ(ours, 1u);  // the bare disk's one whole-disk entry
}

class MonitorBackendTest : public LoopDisksTest,
                           public ::testing::WithParamInterface<DeviceMonitor::Backend> {};

TEST_P(MonitorBackendTest, MonitorReportsAttachAndDetach) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<DeviceChange> seen;
  DeviceMonitor monitor(
      [&](const DeviceChange& change) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(change);
        changed.notify_all();
      },
      GetParam(), std::chrono::milliseconds(100));
  if (!monitor.Start()) GTEST_SKIP() << "this monitor backend cannot start here";
  if (GetParam() != DeviceMonitor::Backend::kAuto) {
    EXPECT_EQ(monitor.ActiveBackend(), GetParam());
  }
  auto wait_for = [&](DeviceChange::Kind kind, const std::string& name) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(30), [&] {
      return std::any_of(seen.begin(), seen.end(),
                         [&](const DeviceChange& c) { return c.kind == kind && c.device == name; });
    });
  };
  ATTACH_OR_SKIP(mbr, mbr_image_, 512);
  const std::string name = mbr->Name();
  EXPECT_TRUE(wait_for(DeviceChange::Kind::kArrival, name)) << "no arrival of " << name;
  mbr->Detach();
  EXPECT_TRUE(wait_for(DeviceChange::Kind::kRemoval, name)) << "no removal of " << name;
  monitor.Stop();
  EXPECT_FALSE(monitor.Running());
}

INSTANTIATE_TEST_SUITE_P(Backends, MonitorBackendTest,
                         ::testing::Values(DeviceMonitor::Backend::kAuto,
                                           DeviceMonitor::Backend::kUdev,
                                           DeviceMonitor::Backend::kPolling));

TEST_F(LoopDisksTest, LocatorMapsDevicesDiskEntriesAndImagePartitions) {
  ATTACH_OR_SKIP(mbr, mbr_image_, 512);
  ATTACH_OR_SKIP(big, big_sector_image_, 4096);
  SourceLocator locator;
  LocatedSource source;
  std::string error;

  ASSERT_EQ(locator.Locate(mbr->Path(), &source, &error), kSuccess) << error;
  EXPECT_EQ(source.kind, LocatedSource::Kind::kDiskRegion);
  EXPECT_EQ(source.start_sector, 0u);
  EXPECT_EQ(source.sector_count, 131072u);
  const int disk_number = source.disk_number;

  ASSERT_EQ(locator.Locate("disk:" + std::to_string(disk_number) + ":2", &source, &error), kSuccess)
      << error;
  EXPECT_EQ(source.start_sector, 22528u);  // the gap
  EXPECT_EQ(source.sector_count, 18432u);
  EXPECT_GT(source.list_number, 0u);

  if (mbr->AddPartitions() && big->AddPartitions()) {
    ASSERT_EQ(locator.Locate(mbr->Path() + "p2", &source, &error), kSuccess) << error;
    EXPECT_EQ(source.disk_number, disk_number);
    EXPECT_EQ(source.start_sector, 40960u);
    EXPECT_EQ(source.sector_count, 40960u);
    ASSERT_EQ(locator.Locate(big->Path() + "p1", &source, &error), kSuccess) << error;
    EXPECT_EQ(source.sector_size, 4096u);
    EXPECT_EQ(source.start_sector, 256u);  // sysfs counts 512-byte units: 2048
    EXPECT_EQ(source.sector_count, 2048u);
  }

  // IMG@K: the image becomes a numbered drive; engines read it through that number.
  ASSERT_EQ(locator.Locate(mbr_image_ + "@3", &source, &error), kSuccess) << error;
  EXPECT_GE(source.disk_number, kFirstImageDriveNumber);
  EXPECT_EQ(source.start_sector, 90000u);
  ASSERT_EQ(locator.Locate(mbr_image_ + "@2", &source, &error), kSuccess) << error;
  SectorReader reader;
  ASSERT_EQ(OpenPhysicalDrive(&reader, source.disk_number), kSuccess);
  std::vector<uint8_t> sector(4096 + 512);
  uint32_t read = 0;
  ASSERT_EQ(ReadSectors(&reader, 9, sector.data(), source.start_sector, 512, &read), kSuccess);
  EXPECT_EQ(0, std::memcmp(sector.data() + 4096, "second partition payload", 24));

  // A 4096-byte-sector image: its table counts 4096-byte sectors, the drive 512-byte ones.
  ASSERT_EQ(locator.Locate(big_sector_image_ + "@1", &source, &error), kSuccess) << error;
  EXPECT_EQ(source.sector_size, 512u);
  EXPECT_EQ(source.start_sector, 256u * 8);
}

TEST_F(LoopDisksTest, LocatorExplainsWhatIsWrong) {
  SourceLocator locator;
  LocatedSource source;
  std::string error;
  EXPECT_NE(locator.Locate("disk:abc", &source, &error), kSuccess);
  EXPECT_NE(error.find("disk:N, disk:N@K or disk:N:K"), std::string::npos) << error;
  EXPECT_NE(locator.Locate("disk:99999", &source, &error), kSuccess);
  EXPECT_NE(error.find("no disk 99999"), std::string::npos) << error;
  DiskEnumerator enumerator;
  if (enumerator.Refresh() && !enumerator.Disks().empty()) {
    const std::string first = std::to_string(enumerator.Disks().begin()->first);
    EXPECT_NE(locator.Locate("disk:" + first + ":9999", &source, &error), kSuccess);
    EXPECT_NE(error.find("K in disk:N:K must be"), std::string::npos) << error;
  }
  EXPECT_NE(locator.Locate(mbr_image_ + "@9", &source, &error), kSuccess);
  EXPECT_NE(error.find("has 3 partitions"), std::string::npos) << error;
  EXPECT_NE(locator.Locate(bare_image_ + "@1", &source, &error), kSuccess);
  EXPECT_NE(error.find("no partition table"), std::string::npos) << error;
  EXPECT_NE(locator.Locate(dir_ + "/missing.img", &source, &error), kSuccess);
  EXPECT_NE(error.find("No such file"), std::string::npos) << error;
  EXPECT_NE(locator.Locate(dir_, &source, &error), kSuccess);
  EXPECT_NE(error.find("is a folder"), std::string::npos) << error;
  ASSERT_EQ(locator.Locate(bare_image_, &source, &error), kSuccess);
  EXPECT_EQ(source.kind, LocatedSource::Kind::kImage);
  EXPECT_EQ(source.sector_count, 32768u);
}

TEST_F(LoopDisksTest, DisksJsonListsTheLoopDisks) {
  ATTACH_OR_SKIP(mbr, mbr_image_, 512);
  ATTACH_OR_SKIP(big, big_sector_image_, 4096);
  int status = 0;
  const std::string output = Velmora("disks --json 2>/dev/null", &status);
  ASSERT_EQ(status, 0) << output;
  const auto json = nlohmann::json::parse(output);
  int found = 0;
  for (const auto& disk : json["disks"]) {
    if (disk["device"] == mbr->Path()) {
      ++found;
      ASSERT_EQ(disk["entries"].size(), kMbrLayout.size());
      const auto& first = disk["entries"][0];
      for (const char* key : {"disk", "number", "start", "length", "sector_size", "fs", "label",
                              "size", "free", "removable", "device"}) {
        EXPECT_TRUE(first.contains(key)) << key;
      }
      EXPECT_EQ(first["fs"], "FAT16");
      EXPECT_EQ(first["label"], "VELDATA");
      EXPECT_EQ(first["start"], 2048);
      EXPECT_EQ(disk["entries"][1]["kind"], "unallocated");
      EXPECT_EQ(disk["entries"][1]["size"], 18432 * 512);
      EXPECT_EQ(disk["entries"][4]["start"], 100000);
    }
    if (disk["device"] == big->Path()) {
      ++found;
      EXPECT_EQ(disk["sector_size"], 4096);
      EXPECT_EQ(disk["entries"][0]["sector_size"], 4096);
      EXPECT_EQ(disk["entries"][1]["length"], 30464);
    }
  }
  EXPECT_EQ(found, 2);
  const std::string text = Velmora("disks", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(text.find(mbr->Path()), std::string::npos);
  EXPECT_NE(text.find("(unallocated)"), std::string::npos);
}

// Digits of `text` after `label` up to `stop` ("10 145 792 bytes free" -> 10145792).
uint64_t NumberBefore(const std::string& text, const std::string& stop) {
  const size_t end = text.find(stop);
  if (end == std::string::npos) return 0;
  size_t begin = end;
  while (begin > 0 &&
         (std::isdigit(static_cast<unsigned char>(text[begin - 1])) || text[begin - 1] == ' ')) {
    --begin;
  }
  std::string digits;
  for (size_t i = begin; i < end; ++i) {
    if (std::isdigit(static_cast<unsigned char>(text[i]))) digits += text[i];
  }
  return digits.empty() ? 0 : std::stoull(digits);
}

TEST_F(LoopDisksTest, UnmountedVolumesShowFreeSpaceFromTheirOwnRecordsAndRowsNumberedByK) {
  if (!testing::ToolAvailable("mcopy") || !testing::ToolAvailable("mkntfs")) {
    GTEST_SKIP() << "mtools or mkntfs is not installed";
  }
  // Some of the FAT16 volume in use, and a whole-disk NTFS volume.
  const std::string fat = "'" + mbr_image_ + "@@" + std::to_string(2048 * 512) + "'";
  ASSERT_EQ(RunCommand("head -c 300000 /dev/urandom > '" + dir_ + "/r' && mcopy -i " + fat + " '" +
                       dir_ + "/r' ::/r"),
            0);
  std::string listing;
  ASSERT_EQ(RunCommand("mdir -i " + fat + " ::", &listing), 0);
  const uint64_t fat_free = NumberBefore(listing, "bytes free");
  ASSERT_GT(fat_free, 0u) << listing;
  const std::string ntfs_image = dir_ + "/ntfs.img";
  ASSERT_EQ(RunCommand("truncate -s 16M '" + ntfs_image + "' && mkntfs -Q -F -q '" + ntfs_image +
                       "' >/dev/null 2>&1"),
            0);
  std::string ntfs_info;
  ASSERT_EQ(RunCommand("ntfsinfo -m '" + ntfs_image + "' 2>/dev/null", &ntfs_info), 0);
  std::smatch cluster, free_clusters;
  ASSERT_TRUE(std::regex_search(ntfs_info, cluster, std::regex("Cluster Size: (\\d+)")))
      << ntfs_info;
  ASSERT_TRUE(std::regex_search(ntfs_info, free_clusters, std::regex("Free Clusters: (\\d+)")));
  const uint64_t ntfs_free = std::stoull(cluster[1]) * std::stoull(free_clusters[1]);
  ATTACH_OR_SKIP(mbr, mbr_image_, 512);
  ATTACH_OR_SKIP(ntfs, ntfs_image, 512);

  int status = 0;
  const auto json = nlohmann::json::parse(Velmora("disks --json 2>/dev/null", &status));
  int found = 0;
  for (const auto& disk : json["disks"]) {
    if (disk["device"] == mbr->Path()) {
      ++found;
      EXPECT_EQ(disk["entries"][0]["free_from"], "allocation");
      EXPECT_EQ(disk["entries"][0]["free"], fat_free);
      EXPECT_EQ(disk["entries"][0]["used"], 20480u * 512 - fat_free);
    }
    if (disk["device"] == ntfs->Path()) {
      ++found;
      EXPECT_EQ(disk["entries"][0]["fs"], "NTFS");
      EXPECT_EQ(disk["entries"][0]["free"], ntfs_free) << ntfs_info;
    }
  }
  EXPECT_EQ(found, 2);

  // The no. column is the K of the disk:N:K beside it.
  std::istringstream text(Velmora("disks", &status));
  int rows = 0;
  for (std::string line; std::getline(text, line);) {
    std::istringstream words(line);
    std::string source, number;
    words >> source >> number;
    if (source.rfind("disk:", 0) != 0) continue;
    ++rows;
    EXPECT_EQ(source.substr(source.rfind(':') + 1) + ":", number) << line;
  }
  EXPECT_GE(rows, 6);
}

TEST_F(LoopDisksTest, ImageCommandCopiesDisksAndPartitionsByteForByte) {
  ATTACH_OR_SKIP(mbr, mbr_image_, 512);
  ATTACH_OR_SKIP(big, big_sector_image_, 4096);
  int status = 0;
  const std::string whole = dir_ + "/whole.img";
  std::string output = Velmora("image " + mbr->Path() + " --to '" + whole + "'", &status);
  ASSERT_EQ(status, 0) << output;
  EXPECT_NE(output.find("unreadable: 0 bytes"), std::string::npos) << output;
  const auto original = ReadWholeFile(mbr_image_);
  EXPECT_TRUE(ReadWholeFile(whole) == original);

  // With its map the same command goes on from it: nothing is left, the image stays.
  output = Velmora("image " + mbr->Path() + " --to '" + whole + "'", &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("went on from the map at 100%"), std::string::npos) << output;
  EXPECT_TRUE(ReadWholeFile(whole) == original);
  // An existing destination without a map is kept unless --force.
  ASSERT_EQ(::unlink((whole + ".map").c_str()), 0);
  output = Velmora("image " + mbr->Path() + " --to '" + whole + "'", &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(output.find("already exists"), std::string::npos) << output;

  SourceLocator locator;
  LocatedSource located;
  std::string error;
  ASSERT_EQ(locator.Locate(big->Path(), &located, &error), kSuccess) << error;
  const std::string part = dir_ + "/part.img";
  output = Velmora(
      "image disk:" + std::to_string(located.disk_number) + ":1 --to '" + part + "' --strict",
      &status);
  ASSERT_EQ(status, 0) << output;
  const auto big_original = ReadWholeFile(big_sector_image_);
  const std::vector<uint8_t> slice(big_original.begin() + 256 * 4096,
                                   big_original.begin() + (256 + 2048) * 4096);
  EXPECT_TRUE(ReadWholeFile(part) == slice);
  EXPECT_NE(::access((part + ".map").c_str(), F_OK), 0);  // strict mode keeps no map

  // IMG@K of a whole-disk image, as after imaging a disk.
  const std::string second = dir_ + "/second.img";
  output = Velmora("image '" + whole + "@2' --to '" + second + "'", &status);
  ASSERT_EQ(status, 0) << output;
  const std::vector<uint8_t> p2(original.begin() + 40960ll * 512, original.begin() + 81920ll * 512);
  EXPECT_TRUE(ReadWholeFile(second) == p2);
}

TEST_F(LoopDisksTest, ImageCommandRefusesDestinationsOnTheSourceDisk) {
  ATTACH_OR_SKIP(mbr, mbr_image_, 512);
  if (!mbr->AddPartitions()) GTEST_SKIP() << "partx cannot add partitions here";
  const std::string folder = dir_ + "/mnt";
  ASSERT_EQ(RunCommand("mkdir -p '" + folder + "'"), 0);
  testing::ScopedMount mount(mbr->Path() + "p3", folder, "ro,noload");
  if (!mount.Mounted()) GTEST_SKIP() << "cannot mount the ext4 partition: " << mount.Error();
  int status = 0;
  std::string output = Velmora("image " + mbr->Path() + " --to '" + folder + "/x.img'", &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(output.find("the disk being imaged"), std::string::npos) << output;
  // The mounted volume shows its mount point and its file system's sizes.
  DiskEnumerator enumerator;
  ASSERT_TRUE(enumerator.Refresh());
  const DiskDescription* disk = FindDisk(enumerator, mbr->Path());
  ASSERT_NE(disk, nullptr);
  const PartitionEntry& volume = enumerator.Entries().at(disk->number)[3];
  EXPECT_EQ(volume.mount_point, folder);
  EXPECT_LT(volume.total, 10000u * 512);  // the file system's own size, not the partition's
  EXPECT_GT(volume.free, 0u);
  EXPECT_EQ(volume.used, volume.total - volume.free);
}

TEST_F(LoopDisksTest, ImageCommandRefusesDestinationsWithoutRoom) {
  ATTACH_OR_SKIP(mbr, mbr_image_, 512);
  const std::string folder = dir_ + "/small";
  ASSERT_EQ(RunCommand("mkdir -p '" + folder + "'"), 0);
  testing::ScopedMount mount("tmpfs", folder, "size=1m");
  if (!mount.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs: " << mount.Error();
  int status = 0;
  const std::string output =
      Velmora("image " + mbr->Path() + " --to '" + folder + "/x.img'", &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(output.find("not enough free space"), std::string::npos) << output;
  EXPECT_NE(::access((folder + "/x.img").c_str(), F_OK), 0);
}

}  // namespace
}  // namespace velmora
