#include "storage/partition_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "support/test_env.h"

namespace velmora {
namespace {

using testing::SharedTestData;

// An in-memory medium for the parser.
struct Medium {
  std::vector<uint8_t> bytes;
  explicit Medium(size_t size) : bytes(size, 0) {}
  ByteReader Reader() const {
    return [this](uint64_t offset, void* buffer, size_t length) {
      if (offset > bytes.size() || length > bytes.size() - offset) return false;
      std::memcpy(buffer, bytes.data() + offset, length);
      return true;
    };
  }
  void Put32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<uint8_t>(v >> (8 * i));
  }
  void Put64(size_t at, uint64_t v) {
    Put32(at, static_cast<uint32_t>(v));
    Put32(at + 4, static_cast<uint32_t>(v >> 32));
  }
  void Entry(size_t sector_offset, int slot, uint8_t type, uint32_t start, uint32_t count) {
    const size_t e = sector_offset + 446 + 16 * slot;
    bytes[e + 4] = type;
    Put32(e + 8, start);
    Put32(e + 12, count);
    bytes[sector_offset + 510] = 0x55;
    bytes[sector_offset + 511] = 0xAA;
  }
  PartitionTable Read(uint32_t sector_size = 0) const {
    return ReadPartitionTable(Reader(), bytes.size(), sector_size);
  }
};

uint32_t Crc32(const uint8_t* data, size_t length) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc & 1) ? 0xEDB88320u ^ (crc >> 1) : crc >> 1;
  }
  return crc ^ 0xFFFFFFFFu;
}

// Writes a GPT header at `header_lba` whose array of `entry_count` entries of 128 bytes is at
// `entries_lba`; partition i goes into entry `indices[i]` (0-based; i itself when not given).
void WriteGpt(Medium* m, uint32_t ss, uint64_t header_lba, uint64_t entries_lba,
              const std::vector<std::pair<uint64_t, uint64_t>>& parts, uint32_t entry_count = 4,
              const std::vector<uint32_t>& indices = {}) {
  const size_t entries = entries_lba * ss;
  static const uint8_t kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                         0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
  for (size_t i = 0; i < parts.size(); ++i) {
    const size_t e = entries + 128 * (indices.empty() ? i : indices[i]);
    std::memcpy(&m->bytes[e], kBasicData, 16);
    m->bytes[e + 16] = static_cast<uint8_t>(i + 1);
    m->Put64(e + 32, parts[i].first);
    m->Put64(e + 40, parts[i].second);
    const char16_t name[] = u"Daten\u00e9";
    for (size_t c = 0; c < 6; ++c) {
      m->bytes[e + 56 + 2 * c] = static_cast<uint8_t>(name[c]);
      m->bytes[e + 57 + 2 * c] = static_cast<uint8_t>(name[c] >> 8);
    }
  }
  const size_t h = header_lba * ss;
  std::memcpy(&m->bytes[h], "EFI PART", 8);
  m->Put32(h + 8, 0x00010000);
  m->Put32(h + 12, 92);
  m->Put64(h + 24, header_lba);
  m->Put64(h + 72, entries_lba);
  m->Put32(h + 80, entry_count);
  m->Put32(h + 84, 128);
  m->Put32(h + 88, Crc32(&m->bytes[entries], size_t{entry_count} * 128));
  m->Put32(h + 16, 0);
  m->Put32(h + 16, Crc32(&m->bytes[h], 92));
}

TEST(PartitionTableMbr, SleuthKitImageMatchesMmls) {
  const std::string gz = SharedTestData("sleuthkit/imageformat_mmls_1.raw.gz");
  if (gz.empty()) GTEST_SKIP() << "shared test data sleuthkit/imageformat_mmls_1.raw.gz is absent";
  const std::string dir = testing::MakeTempDir("mmls");
  const std::string raw = dir + "/mmls_1.raw";
  ASSERT_EQ(testing::RunCommand("gzip -dc '" + gz + "' > '" + raw + "'"), 0);
  std::ifstream file(raw, std::ios::binary);
  Medium m(0);
  m.bytes.assign(std::istreambuf_iterator<char>(file), {});
  testing::RemoveTree(dir);
  ASSERT_EQ(m.bytes.size(), 62915072u);

  const PartitionTable table = m.Read();
  // mmls: 000:000 128-55423 NTFS (0x07), 000:001 55424-116863 NTFS (0x07).
  EXPECT_EQ(table.scheme, PartitionScheme::kMbr);
  ASSERT_EQ(table.partitions.size(), 2u);
  EXPECT_EQ(table.partitions[0].start_sector, 128u);
  EXPECT_EQ(table.partitions[0].sector_count, 55296u);
  EXPECT_EQ(table.partitions[0].mbr_type, 0x07);
  EXPECT_EQ(table.partitions[1].start_sector, 55424u);
  EXPECT_EQ(table.partitions[1].sector_count, 61440u);
  EXPECT_TRUE(table.warnings.empty());
}

TEST(PartitionTableMbr, PlasoExtendedPartitionMatchesMmls) {
  const std::string path = SharedTestData("plaso/tsk_volume_system.raw");
  if (path.empty()) GTEST_SKIP() << "shared test data plaso/tsk_volume_system.raw is absent";
  std::ifstream file(path, std::ios::binary);
  Medium m(0);
  m.bytes.assign(std::istreambuf_iterator<char>(file), {});
  const PartitionTable table = m.Read();
  // mmls: 000:000 1-350 Linux (0x83); extended 351-2879; 001:000 352-2879 Linux (0x83).
  ASSERT_EQ(table.partitions.size(), 2u);
  EXPECT_EQ(table.partitions[0].start_sector, 1u);
  EXPECT_EQ(table.partitions[0].sector_count, 350u);
  EXPECT_FALSE(table.partitions[0].logical);
  EXPECT_EQ(table.partitions[1].start_sector, 352u);
  EXPECT_EQ(table.partitions[1].sector_count, 2528u);
  EXPECT_EQ(table.partitions[1].mbr_type, 0x83);
  EXPECT_TRUE(table.partitions[1].logical);
  EXPECT_EQ(table.partitions[1].slot, 5u);
  EXPECT_EQ(table.container_starts, std::vector<uint64_t>{351});
}

TEST(PartitionTableMbr, LogicalChainLoopAndEscapesAreStopped) {
  Medium m(4096 * 512);
  m.Entry(0, 0, 0x05, 100, 3000);          // extended partition [100, 3100)
  m.Entry(100 * 512, 0, 0x83, 10, 50);     // logical at 110
  m.Entry(100 * 512, 1, 0x05, 500, 100);   // next EBR at 600
  m.Entry(600 * 512, 0, 0x83, 10, 50);     // logical at 610
  m.Entry(600 * 512, 1, 0x05, 1000, 100);  // next EBR at 1100
  m.Entry(1100 * 512, 0, 0x83, 1, 1);      // logical at 1101
  m.Entry(1100 * 512, 1, 0x05, 500, 100);  // back to the EBR at 600: a loop
  PartitionTable table = m.Read();
  ASSERT_EQ(table.partitions.size(), 3u);
  EXPECT_EQ(table.partitions[0].start_sector, 110u);
  EXPECT_EQ(table.partitions[1].start_sector, 610u);
  EXPECT_EQ(table.partitions[2].start_sector, 1101u);
  EXPECT_EQ(table.partitions[2].slot, 7u);
  ASSERT_FALSE(table.warnings.empty());
  EXPECT_NE(table.warnings.back().find("loops"), std::string::npos);

  m.Entry(1100 * 512, 1, 0x05, 5000, 100);  // a link outside the extended partition
  table = m.Read();
  EXPECT_EQ(table.partitions.size(), 3u);
  ASSERT_FALSE(table.warnings.empty());
  EXPECT_NE(table.warnings.back().find("outside"), std::string::npos);
}

TEST(PartitionTableMbr, EntriesPastTheEndAreCutOrDropped) {
  Medium m(1000 * 512);
  m.Entry(0, 0, 0x83, 100, 2000);  // runs past the end
  m.Entry(0, 1, 0x83, 5000, 10);   // starts past the end
  m.Entry(0, 2, 0x83, 0, 10);      // starts at the table itself
  const PartitionTable table = m.Read();
  ASSERT_EQ(table.partitions.size(), 1u);
  EXPECT_EQ(table.partitions[0].sector_count, 900u);
  EXPECT_TRUE(table.partitions[0].truncated);
  EXPECT_EQ(table.warnings.size(), 3u);
}

TEST(PartitionTableMbr, VolumeBootSectorsAndNoiseAreNoTable) {
  Medium m(64 * 512);
  EXPECT_EQ(m.Read().scheme, PartitionScheme::kNone);  // no signature
  m.Entry(0, 0, 0x07, 63, 20);
  m.bytes[446] = 0x12;  // boot flag neither 0 nor 0x80
  EXPECT_EQ(m.Read().scheme, PartitionScheme::kNone);
  m.bytes[446] = 0;
  EXPECT_EQ(m.Read().scheme, PartitionScheme::kMbr);
  // The same bytes inside an NTFS boot sector are boot code, not a table.
  m.bytes[0] = 0xEB;
  m.bytes[1] = 0x52;
  m.bytes[2] = 0x90;
  std::memcpy(&m.bytes[3], "NTFS    ", 8);
  EXPECT_EQ(m.Read().scheme, PartitionScheme::kNone);
}

TEST(PartitionTableGpt, ReadsEntriesNamesAndFallsBackToTheBackupHeader) {
  constexpr uint32_t kSectors = 2048;
  Medium m(kSectors * 512);
  m.Entry(0, 0, 0xEE, 1, kSectors - 1);
  WriteGpt(&m, 512, 1, 2, {{34, 1033}, {1034, 2000}});
  WriteGpt(&m, 512, kSectors - 1, kSectors - 33, {{34, 1033}, {1034, 2000}});
  PartitionTable table = m.Read();
  ASSERT_EQ(table.scheme, PartitionScheme::kGpt);
  ASSERT_EQ(table.partitions.size(), 2u);
  EXPECT_EQ(table.partitions[0].start_sector, 34u);
  EXPECT_EQ(table.partitions[0].sector_count, 1000u);
  EXPECT_EQ(table.partitions[0].name, "Daten\xC3\xA9");
  EXPECT_EQ(PartitionTypeName(table.partitions[0]), "Basic data");
  EXPECT_EQ(table.partitions[1].sector_count, 967u);
  EXPECT_TRUE(table.warnings.empty());

  m.bytes[512 + 40] ^= 0xFF;  // damages the primary header: its checksum fails
  table = m.Read();
  ASSERT_EQ(table.scheme, PartitionScheme::kGpt);
  EXPECT_EQ(table.partitions.size(), 2u);
  ASSERT_FALSE(table.warnings.empty());
  EXPECT_NE(table.warnings[0].find("backup"), std::string::npos);

  m.bytes[(kSectors - 33) * 512 + 40] ^= 0xFF;  // and the backup's entry array
  table = m.Read();
  EXPECT_EQ(table.scheme, PartitionScheme::kMbr);  // only the protective entry remains
  EXPECT_FALSE(table.warnings.empty());
}

TEST(PartitionTableGpt, FindsA4096ByteSectorTableInAnImage) {
  constexpr uint32_t kSectors = 512;
  Medium m(kSectors * 4096);
  m.Entry(0, 0, 0xEE, 1, kSectors - 1);
  WriteGpt(&m, 4096, 1, 2, {{6, 261}});
  const PartitionTable table = m.Read();
  ASSERT_EQ(table.scheme, PartitionScheme::kGpt);
  EXPECT_EQ(table.sector_size, 4096u);
  ASSERT_EQ(table.partitions.size(), 1u);
  EXPECT_EQ(table.partitions[0].start_sector, 6u);
  // Told that the sectors are 512 bytes, the same medium has no GPT.
  EXPECT_EQ(m.Read(512).scheme, PartitionScheme::kMbr);
}

// Links and data entries in other slots than 1 and 2, as some tools and repairs leave them:
// the same six logical partitions as with the usual layout (mmls finds these six too).
TEST(PartitionTableMbr, LogicalLinksAndDataInAnySlotAreFollowed) {
  Medium m(1400 * 512);
  m.Entry(0, 0, 0x0C, 20, 60);
  m.Entry(0, 1, 0x05, 100, 1200);  // extended partition [100, 1300)
  // (data slot, link slot) per record; records every 100 sectors, data 10 sectors in.
  const int layout[6][2] = {{0, 2}, {0, 3}, {1, 0}, {0, 2}, {3, 1}, {0, -1}};
  for (int i = 0; i < 6; ++i) {
    const size_t ebr = (100 + 100 * static_cast<size_t>(i)) * 512;
    m.Entry(ebr, layout[i][0], static_cast<uint8_t>(i % 2 ? 0x83 : 0x07), 10, 50);
    if (layout[i][1] >= 0) {
      m.Entry(ebr, layout[i][1], 0x05, 100 * static_cast<uint32_t>(i + 1), 100);
    }
  }
  const PartitionTable table = m.Read();
  EXPECT_TRUE(table.warnings.empty()) << table.warnings.front();
  ASSERT_EQ(table.partitions.size(), 7u);
  for (size_t i = 1; i < 7; ++i) {
    EXPECT_TRUE(table.partitions[i].logical);
    EXPECT_EQ(table.partitions[i].slot, i + 4);
    EXPECT_EQ(table.partitions[i].start_sector, 100 * i + 10);
    EXPECT_EQ(table.partitions[i].sector_count, 50u);
  }
}

TEST(PartitionTableMbr, DamagedLogicalChainIsToldAbout) {
  Medium m(1400 * 512);
  m.Entry(0, 0, 0x05, 100, 1200);
  m.Entry(100 * 512, 0, 0x83, 10, 50);    // logical at 110
  m.Entry(100 * 512, 2, 0x83, 10, 50);    // the same again: listed once
  m.Entry(100 * 512, 3, 0x83, 5000, 10);  // stale bytes beyond the extended partition
  m.Entry(100 * 512, 1, 0x05, 100, 100);  // next record at 200
  m.Entry(200 * 512, 0, 0x83, 1, 80);     // logical at 201, reaching into the next record
  m.Entry(200 * 512, 1, 0x05, 150, 100);  // next record at 250, inside that partition
  m.Entry(250 * 512, 0, 0x83, 10, 20);    // logical at 260: overlaps the one at 201
  m.Entry(250 * 512, 1, 0x05, 300, 100);  // next record at 400, which has no signature
  PartitionTable table = m.Read();
  ASSERT_EQ(table.partitions.size(), 3u);
  EXPECT_EQ(table.partitions[0].start_sector, 110u);
  EXPECT_EQ(table.partitions[1].start_sector, 201u);
  EXPECT_EQ(table.partitions[2].start_sector, 260u);
  const auto told = [&](const char* words) {
    return std::any_of(table.warnings.begin(), table.warnings.end(),
                       [&](const std::string& w) { return w.find(words) != std::string::npos; });
  };
  EXPECT_TRUE(told("repeats partition 5; listed once"));
  EXPECT_TRUE(told("outside the extended partition; left out"));
  EXPECT_TRUE(told("record at sector 250 lies inside partition 6"));
  EXPECT_TRUE(told("overlaps partition 6"));
  EXPECT_TRUE(told("sector 400 has no signature"));
  EXPECT_EQ(table.warnings.size(), 5u);
}

TEST(PartitionTableGpt, EntryCountAndSizeComeFromTheHeader) {
  // 256 entries: partitions in entries 1, 130 and 256, as sfdisk's table-length 256 makes them.
  Medium m(2048 * 512);
  m.Entry(0, 0, 0xEE, 1, 2047);
  WriteGpt(&m, 512, 1, 2, {{100, 199}, {200, 299}, {300, 399}}, 256, {0, 129, 255});
  PartitionTable table = m.Read();
  ASSERT_EQ(table.scheme, PartitionScheme::kGpt);
  ASSERT_EQ(table.partitions.size(), 3u);
  EXPECT_EQ(table.partitions[1].slot, 130u);
  EXPECT_EQ(table.partitions[2].slot, 256u);
  EXPECT_EQ(table.partitions[2].start_sector, 300u);
  EXPECT_TRUE(table.warnings.empty());
}

TEST(PartitionTableGpt, EntryArraysUpToFourMiBAreRead) {
  constexpr uint32_t kMostEntries = 4 * 1024 * 1024 / 128;
  Medium m(10000 * 512);
  m.Entry(0, 0, 0xEE, 1, 9999);
  WriteGpt(&m, 512, 1, 2, {{9000, 9099}}, kMostEntries, {kMostEntries - 1});
  PartitionTable table = m.Read();
  ASSERT_EQ(table.scheme, PartitionScheme::kGpt);
  ASSERT_EQ(table.partitions.size(), 1u);
  EXPECT_EQ(table.partitions[0].slot, kMostEntries);

  WriteGpt(&m, 512, 1, 2, {{9000, 9099}}, kMostEntries + 1, {kMostEntries});
  table = m.Read();
  EXPECT_NE(table.scheme, PartitionScheme::kGpt);
  ASSERT_FALSE(table.warnings.empty());
  EXPECT_NE(table.warnings.front().find("32769 entries of 128 bytes, more than 4 MiB"),
            std::string::npos)
      << table.warnings.front();
}

TEST(PartitionTableGpt, HugeEntryArraysAreRefused) {
  Medium m(2048 * 512);
  m.Entry(0, 0, 0xEE, 1, 2047);
  WriteGpt(&m, 512, 1, 2, {{34, 100}});
  m.Put32(512 + 80, 0x10000000);  // 268 million entries
  m.Put32(512 + 16, 0);
  m.Put32(512 + 16, Crc32(&m.bytes[512], 92));
  EXPECT_NE(m.Read().scheme, PartitionScheme::kGpt);
}

}  // namespace
}  // namespace velmora
