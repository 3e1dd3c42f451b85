#include "fat/deep_fat_recovery.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>

#include "engine/record_text.h"
#include "fat/fat_deep_scan_driver.h"
#include "support/content_gen.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::MakeTempDir;
using testing::RunCommand;

// A file put on a test volume: its path inside the volume and its bytes.
struct VolumeFile {
  std::string path;
  std::string content;
};

std::string RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

// A JPEG the signature catalogue accepts, so the listing does not hide it.
std::string JpegBytes(size_t size, uint64_t seed) {
  const std::vector<uint8_t> bytes = testing::SampleContent("jpg", size, seed);
  return std::string(bytes.begin(), bytes.end());
}

// Folders and files of the test volumes: nested folders, long names, a folder
// whose long names cross a sector boundary, files of several clusters.
std::vector<VolumeFile> SampleFiles() {
  std::vector<VolumeFile> files = {
      {"Docs/report.txt", RandomBytes(3000, 1)},
      {"Docs/Sub/Deep/holiday photo.jpg", JpegBytes(20000, 2)},
      {"Docs/A folder with a long name/notes about the recovery test.txt", RandomBytes(700, 3)},
      {"Music/song with a long name.mp3", RandomBytes(70000, 4)},
      {"readme.txt", RandomBytes(100, 5)},
  };
  for (int i = 1; i <= 12; ++i) {
    char name[64];
    std::snprintf(name, sizeof(name), "Many/long name file number %02d.bin", i);
    files.push_back({name, RandomBytes(600 + i, 10 + i)});
  }
  return files;
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return out.good();
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

// mkfs.fat `format_options` over a new image of `kib` KiB, then the files via mtools.
bool BuildVolume(const std::string& folder, const std::string& image,
                 const std::string& format_options, int kib, const std::vector<VolumeFile>& files) {
  if (!testing::ToolAvailable("mkfs.fat") || !testing::ToolAvailable("mcopy")) return false;
  std::string script = "export MTOOLS_SKIP_CHECK=1; set -e; mkfs.fat " + format_options + " -C " +
                       Quote(image) + " " + std::to_string(kib) + " >/dev/null";
  std::set<std::string> made;
  int counter = 0;
  for (const VolumeFile& file : files) {
    for (size_t slash = file.path.find('/'); slash != std::string::npos;
         slash = file.path.find('/', slash + 1)) {
      const std::string dir = file.path.substr(0, slash);
      if (made.insert(dir).second) script += "; mmd -i " + Quote(image) + " " + Quote("::" + dir);
    }
    const std::string local = folder + "/payload" + std::to_string(counter++);
    if (!WriteFile(local, file.content)) return false;
    script += "; mcopy -i " + Quote(image) + " " + Quote(local) + " " + Quote("::" + file.path);
  }
  return RunCommand(script + " 2>&1") == 0;
}

struct FoundTree {
  std::map<std::string, ScanRecord> by_path;  // "folder/.../name", folders end in "/"
};

FoundTree ListTree(IFileRecoveryParse* engine) {
  FoundTree tree;
  struct Level {
    ScanRecord record;
    bool root;
    int depth;
  };
  std::vector<Level> pending{{ScanRecord{}, true, 0}};
  for (size_t i = 0; i < pending.size() && i < 100000; ++i) {
    const Level level = pending[i];
    ScanRecordList children;
    EXPECT_EQ(engine->GetChildren(level.root ? nullptr : &level.record, level.depth, &children), 0);
    for (const ScanRecord& child : children) {
      std::string folder;
      engine->GetFullPath(child, &folder);
      std::string key = folder + std::string(RecordName(child));
      if (child.is_directory) {
        key += "/";
        pending.push_back({child, false, level.depth + 1});
      }
      tree.by_path.emplace(key, child);
    }
  }
  return tree;
}

// The path of the listed file whose path matches `pattern`, or "".
std::string FindPath(const FoundTree& tree, const std::string& pattern) {
  const std::regex re(pattern);
  for (const auto& [path, record] : tree.by_path) {
    if (std::regex_match(path, re)) return path;
  }
  return "";
}

class ProfessionalFatRecoveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = MakeTempDir("fatdeep");
    if (!testing::ToolAvailable("mkfs.fat") || !testing::ToolAvailable("mcopy")) {
      GTEST_SKIP() << "mkfs.fat and mtools are needed to build FAT volumes";
    }
  }
  void TearDown() override { testing::RemoveTree(folder_); }

  // Runs the deep pass over `image` and lists what it found.
  FoundTree Scan(const std::string& image) {
    EXPECT_EQ(engine_.OpenImage(image, u'Z'), 0);
    EXPECT_EQ(testing::RunFatDeepPass(&engine_, image, folder_ + "/log"), 0);
    FoundTree tree = ListTree(&engine_);
    if (std::getenv("FATDEEP_DEBUG")) {
      for (const auto& [path, record] : tree.by_path) std::printf("  %s\n", path.c_str());
    }
    return tree;
  }

  // Recovers the file at `path` of the listing and returns its bytes.
  std::string Recover(const FoundTree& tree, const std::string& path) {
    auto it = tree.by_path.find(path);
    if (it == tree.by_path.end()) return "<not listed>";
    const std::string destination = folder_ + "/out/" + std::to_string(recovered_++) + "/file";
    const int result = engine_.RecoverFile(it->second, destination, 0);
    if (result != 0) return "<error " + std::to_string(result) + ">";
    return ReadWholeFile(destination);
  }

  std::string folder_;
  testing::ScopedDataDir data_dir_;
  CProfessionalFatRecovery engine_;
  int recovered_ = 0;
};

TEST_F(ProfessionalFatRecoveryTest, IntactFat32FindsEveryFileWithItsPathAndBytes) {
  const std::string image = folder_ + "/fat32.img";
  const auto files = SampleFiles();
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 32 -s 1 -n DEEPTEST", 65536, files));
  const FoundTree tree = Scan(image);
  ASSERT_GE(engine_.Geometries().Count(), 1);
  EXPECT_TRUE(engine_.Geometries().At(0).from_boot_sector);
  EXPECT_EQ(engine_.RootCluster(), 2u);
  for (const VolumeFile& file : files) {
    const std::string& path = file.path;
    EXPECT_TRUE(Recover(tree, path) == file.content) << path;
  }
  EXPECT_EQ(tree.by_path.count("Docs/Sub/Deep/"), 1u);
  EXPECT_EQ(FindPath(tree, "LostFolder.*"), "") << "every folder has its entry";
}

TEST_F(ProfessionalFatRecoveryTest, LaterClustersOfALiveFolderStayInTheFolder) {
  // 40 short names fill three 1-sector clusters of the folder; the file data
  // written in between puts those clusters apart, so only the FAT links them.
  const std::string image = folder_ + "/fat32.img";
  std::vector<VolumeFile> files;
  for (int i = 0; i < 40; ++i) {
    files.push_back({"Big/F" + std::to_string(i) + ".BIN", RandomBytes(700, 100 + i)});
  }
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 32 -s 1", 65536, files));
  const FoundTree tree = Scan(image);
  for (const VolumeFile& file : files) {
    EXPECT_TRUE(Recover(tree, file.path) == file.content) << file.path;
  }
  EXPECT_EQ(FindPath(tree, "LostFolder.*"), "");
}

TEST_F(ProfessionalFatRecoveryTest, Fat32ReformattedWithOtherClusterSizeInfersTheOldLayout) {
  const std::string image = folder_ + "/fat32.img";
  const auto files = SampleFiles();
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 32 -s 1", 65536, files));
  std::string first_boot = ReadWholeFile(image).substr(0, 512);
  ASSERT_EQ(RunCommand("mkfs.fat -F 32 -s 8 " + Quote(image) + " >/dev/null 2>&1"), 0);

  const FoundTree tree = Scan(image);
  // The new boot sector describes 8 sectors per cluster; the old directories
  // give back the old layout of 1 sector per cluster.
  const uint16_t reserved =
      static_cast<uint8_t>(first_boot[14]) | (static_cast<uint8_t>(first_boot[15]) << 8);
  const uint32_t fat_size = static_cast<uint8_t>(first_boot[36]) |
                            (static_cast<uint8_t>(first_boot[37]) << 8) |
                            (static_cast<uint8_t>(first_boot[38]) << 16);
  const uint64_t old_data_start = reserved + 2ull * fat_size;
  bool old_layout = false;
  for (const DeepFatGeometry& g : engine_.Geometries().All()) {
    old_layout |=
        !g.from_boot_sector && g.sectors_per_cluster == 1 && g.first_data_sector == old_data_start;
  }
  EXPECT_TRUE(old_layout) << "old data area at sector " << old_data_start;
  for (const VolumeFile& file : files) {
    const std::string& path = file.path;
    const std::string found = FindPath(
        tree, "(LostFolder[0-9]+/)?" + std::regex_replace(path, std::regex(R"([.()])"), R"(\$&)"));
    ASSERT_NE(found, "") << file.path;
    EXPECT_TRUE(Recover(tree, found) == file.content) << found;
  }
}

TEST_F(ProfessionalFatRecoveryTest, Fat16ReformattedPutsFoldersWithoutEntryUnderLostFolders) {
  const std::string image = folder_ + "/fat16.img";
  const auto files = SampleFiles();
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 16 -s 4", 32768, files));
  // Same layout again: the new root region hides the old top-level entries.
  ASSERT_EQ(RunCommand("mkfs.fat -F 16 -s 4 " + Quote(image) + " >/dev/null 2>&1"), 0);

  const FoundTree tree = Scan(image);
  for (const VolumeFile& file : files) {
    if (file.path == "readme.txt") continue;  // its entry was in the old root
    const size_t slash = file.path.find('/');
    const std::string below_top = file.path.substr(slash + 1);
    const std::string found =
        FindPath(tree, "LostFolder[0-9]+/" +
                           std::regex_replace(below_top, std::regex(R"([.()])"), R"(\$&)"));
    ASSERT_NE(found, "") << file.path;
    EXPECT_TRUE(Recover(tree, found) == file.content) << found;
  }
  // Folders whose entry survived keep their names below the lost folder.
  EXPECT_NE(FindPath(tree, "LostFolder[0-9]+/Sub/Deep/"), "");
  EXPECT_NE(FindPath(tree, "LostFolder[0-9]+/A folder with a long name/"), "");
}

TEST_F(ProfessionalFatRecoveryTest, ZeroedBootSectorGeometryComesFromTwoDirectoryStarts) {
  const std::string image = folder_ + "/fat16.img";
  const auto files = SampleFiles();
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 16 -s 4 -n NOBOOT", 32768, files));
  const std::string boot = ReadWholeFile(image).substr(0, 512);
  ASSERT_EQ(
      RunCommand("dd if=/dev/zero of=" + Quote(image) + " bs=512 count=1 conv=notrunc status=none"),
      0);

  const FoundTree tree = Scan(image);
  const uint16_t reserved = static_cast<uint8_t>(boot[14]) | (static_cast<uint8_t>(boot[15]) << 8);
  const uint16_t fat_size = static_cast<uint8_t>(boot[22]) | (static_cast<uint8_t>(boot[23]) << 8);
  ASSERT_GE(engine_.Geometries().Count(), 1);
  const DeepFatGeometry& inferred = engine_.Geometries().At(0);
  EXPECT_FALSE(inferred.from_boot_sector);
  EXPECT_EQ(inferred.sectors_per_cluster, 4u);
  EXPECT_EQ(inferred.first_data_sector, reserved + 2u * fat_size + 32u);
  // The root region sits in front of the inferred data area, so even the root's
  // own files and folders come back with their names.
  for (const VolumeFile& file : files) {
    const std::string& path = file.path;
    EXPECT_TRUE(Recover(tree, path) == file.content) << path;
  }
}

TEST_F(ProfessionalFatRecoveryTest, LongNamesCrossingSectorsAreRebuiltWhole) {
  // 4 entries per name after "." and "..": the fourth name starts in the first
  // sector of the folder and ends in the second, inside one 4-sector cluster.
  const std::string image = folder_ + "/fat16.img";
  const auto files = SampleFiles();
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 16 -s 4", 32768, files));
  const FoundTree tree = Scan(image);
  int many = 0;
  for (const auto& [path, record] : tree.by_path) {
    many += path.rfind("Many/long name file number ", 0) == 0;
  }
  EXPECT_EQ(many, 12);
  EXPECT_TRUE(Recover(tree, "Many/long name file number 03.bin") == files[5 + 2].content);
  EXPECT_EQ(FindPath(tree, "Many/long.*~.*"), "") << "no short alias instead of a long name";
}

TEST_F(ProfessionalFatRecoveryTest, LongestNamesOfNineteenAndTwentyPiecesAreKept) {
  // 235 characters take 19 pieces; 255, the most a name holds, take 20.
  const std::string nineteen = std::string(231, 'n') + ".txt";
  const std::string twenty = std::string(251, 'w') + ".txt";
  const std::vector<VolumeFile> files = {{"Long/" + nineteen, RandomBytes(900, 41)},
                                         {"Long/" + twenty, RandomBytes(1300, 42)}};
  const std::string image = folder_ + "/fat16.img";
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 16", 32768, files));
  const FoundTree tree = Scan(image);
  EXPECT_TRUE(Recover(tree, "Long/" + nineteen) == files[0].content);
  EXPECT_TRUE(Recover(tree, "Long/" + twenty) == files[1].content);
}

TEST_F(ProfessionalFatRecoveryTest, NamesFromTheDiskCannotLeaveTheDestination) {
  const std::string image = folder_ + "/fat32.img";
  const std::vector<VolumeFile> files = {{"Top/QQ_escape.txt", "inside"}};
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 32 -s 1", 65536, files));
  // Turn the long name's first three characters into "../".
  std::string bytes = ReadWholeFile(image);
  const std::string from("Q\0Q\0_\0", 6), to(".\0.\0/\0", 6);
  const size_t at = bytes.find(from);
  ASSERT_NE(at, std::string::npos);
  bytes.replace(at, 6, to);
  ASSERT_TRUE(WriteFile(image, bytes));

  const FoundTree tree = Scan(image);
  auto top = tree.by_path.find("Top/");
  ASSERT_NE(top, tree.by_path.end());
  const std::string destination = folder_ + "/out/deep/Top";
  EXPECT_EQ(engine_.RecoverFile(top->second, destination, 0), 0);
  struct stat info {};
  EXPECT_NE(::stat((folder_ + "/out/deep/escape.txt").c_str(), &info), 0) << "escaped one level";
  EXPECT_NE(::stat((folder_ + "/out/escape.txt").c_str(), &info), 0);
  std::string listing;
  RunCommand("ls -A " + Quote(destination), &listing);
  EXPECT_NE(listing.find("escape.txt"), std::string::npos) << listing;
}

TEST_F(ProfessionalFatRecoveryTest, ReopenedLogListsTheSameTreeWithoutAnotherPass) {
  const std::string image = folder_ + "/fat16.img";
  const auto files = SampleFiles();
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 16 -s 4", 32768, files));
  const FoundTree first = Scan(image);
  ASSERT_NE(engine_.Store(), nullptr);
  const std::string log_name = engine_.Store()->LogName();
  const uint64_t records = engine_.GetRecordCount();

  // A resumed scan with nothing left to read: reset with the saved name, then finish.
  CProfessionalFatRecovery reopened;
  ASSERT_EQ(reopened.OpenImage(image, u'Z'), 0);
  ASSERT_EQ(reopened.ResetForScanIn(folder_ + "/log", log_name.c_str()), 0);
  EXPECT_EQ(reopened.LoadBootGeometry(), 0);
  EXPECT_EQ(reopened.FinishScan(), 0);
  EXPECT_EQ(reopened.GetRecordCount(), records);
  const FoundTree second = ListTree(&reopened);
  ASSERT_EQ(second.by_path.size(), first.by_path.size());
  for (const auto& [path, record] : first.by_path)
    EXPECT_EQ(second.by_path.count(path), 1u) << path;
  const std::string destination = folder_ + "/out/reopened.bin";
  auto it = second.by_path.find("Many/long name file number 07.bin");
  ASSERT_NE(it, second.by_path.end());
  ASSERT_EQ(reopened.RecoverFile(it->second, destination, 0), 0);
  EXPECT_TRUE(ReadWholeFile(destination) == files[5 + 6].content);
}

TEST_F(ProfessionalFatRecoveryTest, RecoveredFilesHaveExactLengthAndAreNeverOverwritten) {
  const std::string image = folder_ + "/fat16.img";
  const std::vector<VolumeFile> files = {{"D/short.bin", RandomBytes(10, 9)}};
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 16 -s 8", 32768, files));
  const FoundTree tree = Scan(image);
  auto it = tree.by_path.find("D/short.bin");
  ASSERT_NE(it, tree.by_path.end());
  const std::string destination = folder_ + "/out/short.bin";
  ASSERT_EQ(engine_.RecoverFile(it->second, destination, 0), 0);
  ASSERT_EQ(engine_.RecoverFile(it->second, destination, 0), 0);
  EXPECT_TRUE(ReadWholeFile(destination) == files[0].content) << "one cluster read, 10 bytes kept";
  EXPECT_TRUE(ReadWholeFile(folder_ + "/out/short(1).bin") == files[0].content);
}

TEST_F(ProfessionalFatRecoveryTest, RunsPastTheVolumeEndAreRefused) {
  const std::string image = folder_ + "/fat16.img";
  const std::vector<VolumeFile> files = {{"D/a.bin", RandomBytes(3000, 9)}};
  ASSERT_TRUE(BuildVolume(folder_, image, "-F 16 -s 4", 32768, files));
  const FoundTree tree = Scan(image);
  auto it = tree.by_path.find("D/a.bin");
  ASSERT_NE(it, tree.by_path.end());
  ScanRecord record = it->second;
  record.size = 1ull << 40;  // a damaged size field
  EXPECT_NE(engine_.RecoverFile(record, folder_ + "/out/huge.bin", 0), 0);
  record = it->second;
  record.object_id = 0x0FFFFFF0;  // first cluster far past the end
  EXPECT_EQ(engine_.RecoverFile(record, folder_ + "/out/far.bin", 0), 87);
  record = it->second;
  record.cluster_size = 300 << 20;
  EXPECT_EQ(engine_.RecoverFile(record, folder_ + "/out/big.bin", 0), 29);
}

// Sectors that look like directories but fit no layout are kept only up to a bound.
TEST(ProfessionalFatRecoveryBounds, UnplacedSectorsStayWithinTheirBound) {
  const std::string folder = MakeTempDir("fatdeep-bounds");
  testing::ScopedDataDir data_dir;
  const std::string image = folder + "/blank.img";
  ASSERT_EQ(RunCommand("truncate -s 1M " + Quote(image)), 0);
  CProfessionalFatRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'Z'), 0);
  ASSERT_EQ(engine.ResetForScanIn(folder + "/log", nullptr), 0);
  engine.LoadBootGeometry();
  // One file entry dated 2020-01-01 in an otherwise empty sector.
  uint8_t sector[512] = {};
  std::memcpy(sector, "FILE    TXT", 11);
  sector[11] = 0x20;
  const uint16_t date = static_cast<uint16_t>(((2020 - 1980) << 9) | (1 << 5) | 1);
  for (int offset : {16, 18, 24}) {
    sector[offset] = static_cast<uint8_t>(date);
    sector[offset + 1] = static_cast<uint8_t>(date >> 8);
  }
  sector[26] = 5;
  sector[28] = 10;
  ASSERT_TRUE(IsDirectorySector(sector, sizeof(sector)));
  const size_t limit = CProfessionalFatRecovery::kMaxUnplacedBytes / 512;
  for (uint64_t n = 0; n < limit + 1000; ++n) engine.AddDirectorySector(sector, 1000000 + n);
  EXPECT_EQ(engine.UnplacedSectorCount(), limit);
  EXPECT_EQ(engine.DroppedItems(), 1000u);
  EXPECT_EQ(engine.FinishScan(), 0);
  EXPECT_EQ(engine.GetRecordCount(), 0u) << "no layout, nothing written";
  EXPECT_EQ(engine.UnplacedSectorCount(), 0u);
  testing::RemoveTree(folder);
}

}  // namespace
}  // namespace velmora
