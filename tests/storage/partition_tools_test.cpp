// Partition tables written by sfdisk, parted and sgdisk, read back and compared with what
// The Sleuth Kit's mmls (or the writing tool itself) reports.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "storage/partition_table.h"
#include "support/loop_device.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::RunCommand;
using testing::ShellQuote;

struct Extent {
  uint64_t start = 0;
  uint64_t length = 0;
  bool operator==(const Extent&) const = default;
};

PartitionTable ReadTable(const std::string& path) {
  const std::vector<uint8_t> bytes = testing::ReadWholeFile(path);
  const ByteReader read = [&bytes](uint64_t offset, void* buffer, size_t length) {
    if (offset > bytes.size() || length > bytes.size() - offset) return false;
    std::memcpy(buffer, bytes.data() + offset, length);
    return true;
  };
  return ReadPartitionTable(read, bytes.size(), 0);
}

std::vector<Extent> Extents(const PartitionTable& table) {
  std::vector<Extent> out;
  for (const TablePartition& p : table.partitions) out.push_back({p.start_sector, p.sector_count});
  return out;
}

// mmls rows of data partitions ("002:  000:001   0000020480 ..."), in its order (by start).
std::vector<Extent> MmlsExtents(const std::string& image) {
  std::string text;
  EXPECT_EQ(RunCommand("mmls " + ShellQuote(image), &text), 0) << text;
  std::vector<Extent> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string row, slot;
    uint64_t start = 0, end = 0, length = 0;
    if (!(words >> row >> slot >> start >> end >> length)) continue;
    if (slot.find(':') == std::string::npos) continue;  // Meta and unallocated rows
    out.push_back({start, length});
  }
  return out;
}

class PartitionToolsTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("partition-tools"); }
  void TearDown() override { testing::RemoveTree(dir_); }
  std::string dir_;
};

// Moves the entries of every extended boot record of the chain that starts at `extended`:
// record i gets its data entry into slot data[i] and its link into slot link[i] (0-based).
void MoveEbrEntries(const std::string& image, uint64_t extended, const std::vector<int>& data,
                    const std::vector<int>& link) {
  std::fstream file(image, std::ios::binary | std::ios::in | std::ios::out);
  uint64_t ebr = extended;
  for (size_t i = 0; i < data.size(); ++i) {
    uint8_t sector[512];
    file.seekg(static_cast<std::streamoff>(ebr * 512));
    file.read(reinterpret_cast<char*>(sector), 512);
    uint8_t entries[4][16] = {};
    std::memcpy(entries[data[i]], sector + 446, 16);
    std::memcpy(entries[link[i]], sector + 462, 16);
    uint32_t next = 0;
    std::memcpy(&next, sector + 462 + 8, 4);
    std::memcpy(sector + 446, entries, sizeof entries);
    file.seekp(static_cast<std::streamoff>(ebr * 512));
    file.write(reinterpret_cast<const char*>(sector), 512);
    if (next == 0) break;
    ebr = extended + next;
  }
  ASSERT_TRUE(file.good());
}

TEST_F(PartitionToolsTest, LogicalPartitionsMatchMmlsWithLinksInAnySlot) {
  if (!testing::ToolAvailable("sfdisk")) GTEST_SKIP() << "sfdisk is not installed";
  if (!testing::ToolAvailable("mmls")) GTEST_SKIP() << "mmls (sleuthkit) is not installed";
  const std::string image = dir_ + "/logical.img";
  ASSERT_TRUE(testing::CreateSparseImage(image, 64ull << 20));
  std::string layout = "label: dos\nstart=2048, size=8192, type=c\nstart=10240, type=5\n";
  for (int i = 0; i < 9; ++i) layout += "size=6144, type=" + std::string(i % 2 ? "83" : "7") + "\n";
  std::string out;
  ASSERT_EQ(
      RunCommand("printf %s " + ShellQuote(layout) + " | sfdisk -q " + ShellQuote(image), &out), 0)
      << out;
  PartitionTable table = ReadTable(image);
  ASSERT_EQ(table.partitions.size(), 10u);
  EXPECT_EQ(Extents(table), MmlsExtents(image));

  // Links in slots 3, 4, 1, 3, 2 ... and data entries in slots 1, 2 and 4.
  MoveEbrEntries(image, 10240, {0, 0, 1, 0, 3, 0, 0, 1, 0}, {2, 3, 0, 2, 1, 1, 3, 2, 1});
  table = ReadTable(image);
  EXPECT_TRUE(table.warnings.empty()) << table.warnings.front();
  EXPECT_EQ(table.partitions.size(), 10u);
  EXPECT_EQ(Extents(table), MmlsExtents(image));
}

TEST_F(PartitionToolsTest, PartedLogicalPartitionsMatchMmls) {
  if (!testing::ToolAvailable("parted")) GTEST_SKIP() << "parted is not installed";
  if (!testing::ToolAvailable("mmls")) GTEST_SKIP() << "mmls (sleuthkit) is not installed";
  const std::string image = dir_ + "/parted.img";
  ASSERT_TRUE(testing::CreateSparseImage(image, 96ull << 20));
  std::string script = "mklabel msdos mkpart primary fat32 1MiB 9MiB mkpart extended 9MiB 95MiB";
  for (int i = 0; i < 12; ++i) {
    script += " mkpart logical " + std::to_string(10 + 7 * i) + "MiB " +
              std::to_string(16 + 7 * i) + "MiB";
  }
  std::string out;
  ASSERT_EQ(RunCommand("parted -s " + ShellQuote(image) + " " + script, &out), 0) << out;
  const PartitionTable table = ReadTable(image);
  EXPECT_EQ(table.partitions.size(), 13u);
  EXPECT_EQ(table.partitions.back().slot, 16u);
  EXPECT_EQ(Extents(table), MmlsExtents(image));
}

// mmls numbers GPT entries past 128 wrongly and leaves the last out, so the writing tool's own
// listing is the answer here.
TEST_F(PartitionToolsTest, GptWith256EntriesMatchesSfdisk) {
  if (!testing::ToolAvailable("sfdisk")) GTEST_SKIP() << "sfdisk is not installed";
  const std::string image = dir_ + "/gpt256.img";
  ASSERT_TRUE(testing::CreateSparseImage(image, 64ull << 20));
  const std::string layout =
      "label: gpt\ntable-length: 256\n" + image + "1 : start=2048, size=4096, type=L\n" + image +
      "130 : start=6144, size=4096, type=L\n" + image +
      "256 : start=10240, size=8192, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n";
  std::string out;
  ASSERT_EQ(
      RunCommand("printf %s " + ShellQuote(layout) + " | sfdisk -q " + ShellQuote(image), &out), 0)
      << out;
  ASSERT_EQ(RunCommand("sfdisk -J " + ShellQuote(image), &out), 0) << out;
  const nlohmann::json dumped = nlohmann::json::parse(out, nullptr, false);
  ASSERT_TRUE(dumped.is_object()) << out;
  std::vector<Extent> expected;
  std::vector<uint32_t> slots;
  for (const auto& p : dumped["partitiontable"]["partitions"]) {
    expected.push_back({p["start"].get<uint64_t>(), p["size"].get<uint64_t>()});
    const std::string node = p["node"].get<std::string>();
    slots.push_back(static_cast<uint32_t>(std::stoul(node.substr(image.size()))));
  }
  ASSERT_EQ(expected.size(), 3u);
  const PartitionTable table = ReadTable(image);
  ASSERT_EQ(table.scheme, PartitionScheme::kGpt);
  EXPECT_TRUE(table.warnings.empty());
  EXPECT_EQ(Extents(table), expected);
  std::vector<uint32_t> read_slots;
  for (const TablePartition& p : table.partitions) read_slots.push_back(p.slot);
  EXPECT_EQ(read_slots, slots);
  EXPECT_EQ(PartitionTypeName(table.partitions[2]), "Basic data");

  if (testing::ToolAvailable("sgdisk")) {
    // sgdisk grows the array to 512 entries and puts a partition into the last one.
    ASSERT_EQ(RunCommand("sgdisk --resize-table=512 -n 512:20480:+4M " + ShellQuote(image), &out),
              0)
        << out;
    const PartitionTable grown = ReadTable(image);
    ASSERT_EQ(grown.partitions.size(), 4u);
    EXPECT_EQ(grown.partitions.back().slot, 512u);
    EXPECT_EQ(grown.partitions.back().start_sector, 20480u);
    EXPECT_EQ(grown.partitions.back().sector_count, 8192u);
  }
}

}  // namespace
}  // namespace velmora
