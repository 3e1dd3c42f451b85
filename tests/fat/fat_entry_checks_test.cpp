#include "fat/fat_entry_checks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/test_env.h"

namespace velmora {
namespace {

using Sector = std::vector<uint8_t>;
constexpr size_t kSectorSize = 512;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t FatDate(int year, int month, int day) {
  return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
uint16_t FatTime(int hour, int minute, int second) {
  return static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

// A live archive file entry dated 2020-06-15 12:30:10.
uint8_t* MakeFileEntry(uint8_t* entry, const char* name11) {
  std::memset(entry, 0, kFatEntrySize);
  std::memcpy(entry, name11, 11);
  entry[11] = 0x20;
  Put16(entry + 14, FatTime(12, 30, 10));
  Put16(entry + 16, FatDate(2020, 6, 15));
  Put16(entry + 18, FatDate(2020, 6, 15));
  Put16(entry + 22, FatTime(12, 30, 10));
  Put16(entry + 24, FatDate(2020, 6, 15));
  Put16(entry + 26, 5);
  entry[28] = 100;
  return entry;
}

// A FAT16 volume made by mkfs.fat and filled with mtools: a label, a long-named folder
// holding 12 long-named files (four sectors of entries, the last one part-filled), one of them
// deleted.
class FatImageTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing::ToolAvailable("mkfs.fat") || !testing::ToolAvailable("mcopy")) return;
    dir_ = new std::string(testing::MakeTempDir("fat-entry-checks"));
    const std::string image = *dir_ + "/volume.img";
    const std::string payload = *dir_ + "/payload.txt";
    std::ofstream(payload) << "payload\n";
    std::string script = "mkfs.fat -F 16 -n VELMORA -C " + image + " 32768 >/dev/null && " +
                         "mmd -i " + image + " ::Photos";
    for (int i = 1; i <= 12; ++i) {
      script += " && mcopy -i " + image + " " + payload + " '::Photos/Holiday picture number " +
                std::to_string(i) + ".txt'";
    }
    script += " && mcopy -i " + image + " " + payload + " ::README.TXT";
    script += " && mdel -i " + image + " '::Photos/Holiday picture number 6.txt'";
    if (testing::RunCommand(script) != 0) return;
    std::ifstream in(image, std::ios::binary);
    image_ = new Sector(std::istreambuf_iterator<char>(in), {});
  }
  static void TearDownTestSuite() {
    if (dir_) testing::RemoveTree(*dir_);
    delete dir_;
    delete image_;
    dir_ = nullptr;
    image_ = nullptr;
  }
  void SetUp() override {
    if (!image_) GTEST_SKIP() << "mkfs.fat and mtools are needed to build the FAT volume";
  }

  static Sector SectorAt(uint64_t index) {
    return Sector(image_->begin() + index * kSectorSize,
                  image_->begin() + (index + 1) * kSectorSize);
  }
  static uint64_t RootSector() {
    const uint8_t* boot = image_->data();
    return Le16(boot + 14) + boot[16] * Le16(boot + 22);
  }
  // First sector of the "Photos" folder, found through its entry in the root.
  static uint64_t PhotosSector() {
    const uint8_t* boot = image_->data();
    const uint64_t root_sectors = Le16(boot + 17) * kFatEntrySize / kSectorSize;
    const uint8_t* root = image_->data() + RootSector() * kSectorSize;
    for (size_t offset = 0; offset < kSectorSize; offset += kFatEntrySize) {
      if (std::memcmp(root + offset, "PHOTOS     ", 11) == 0) {
        return RootSector() + root_sectors + (Le16(root + offset + 26) - 2) * boot[13];
      }
    }
    return 0;
  }

  static std::string* dir_;
  static Sector* image_;
};

std::string* FatImageTest::dir_ = nullptr;
Sector* FatImageTest::image_ = nullptr;

TEST_F(FatImageTest, RootSectorWithLabelLongNamesAndTrailingZerosPasses) {
  const Sector root = SectorAt(RootSector());
  ASSERT_EQ(root[11], 0x08) << "the label comes first";
  EXPECT_TRUE(IsDirectorySector(root.data(), root.size()));
  EXPECT_FALSE(IsDirectoryStartSector(root.data(), root.size()));
}

TEST_F(FatImageTest, FolderStartIsADotPairNotAPlainDirectorySector) {
  const Sector start = SectorAt(PhotosSector());
  ASSERT_EQ(start[0], '.');
  EXPECT_TRUE(IsDirectoryStartSector(start.data(), start.size()));
  EXPECT_TRUE(IsPlausibleDirectoryEntry(start.data(), start.data() + kFatEntrySize));
  // The "." entry alone, without its ".." partner, is not a name this test accepts.
  EXPECT_FALSE(IsPlausibleDirectoryEntry(start.data(), nullptr));
}

TEST_F(FatImageTest, FolderContinuationSectorsPassIncludingTheDeletedEntry) {
  const uint64_t first = PhotosSector();
  bool saw_deleted = false;
  for (uint64_t s = first + 1; s < first + 4; ++s) {
    const Sector sector = SectorAt(s);
    for (size_t offset = 0; offset < kSectorSize; offset += kFatEntrySize) {
      saw_deleted |= sector[offset] == 0xE5;
    }
    EXPECT_TRUE(IsDirectorySector(sector.data(), sector.size())) << "sector " << s;
  }
  EXPECT_TRUE(saw_deleted);
  const Sector last = SectorAt(first + 3);
  EXPECT_EQ(last[kSectorSize - kFatEntrySize], 0) << "the last sector ends in unused entries";
}

TEST_F(FatImageTest, LongNameChecksumsMatchTheShortEntriesMtoolsWrote) {
  int checked = 0;
  const uint64_t first = PhotosSector();
  for (uint64_t s = first; s < first + 4; ++s) {
    const Sector sector = SectorAt(s);
    for (size_t offset = 0; offset + kFatEntrySize < kSectorSize; offset += kFatEntrySize) {
      const uint8_t* entry = sector.data() + offset;
      const uint8_t* next = entry + kFatEntrySize;
      if (entry[11] == 0x0F && next[11] != 0x0F && entry[0] != 0xE5) {
        EXPECT_EQ(ShortNameChecksum(next), entry[13]);
        ++checked;
      }
    }
  }
  EXPECT_GE(checked, 10);
}

TEST_F(FatImageTest, DamagedCopiesOfARealSectorFail) {
  const Sector good = SectorAt(PhotosSector() + 1);
  ASSERT_TRUE(IsDirectorySector(good.data(), good.size()));
  // Locate the first short entry of the sector (the one after its long-name pieces).
  size_t short_at = 0;
  while (short_at < kSectorSize && good[short_at + 11] == 0x0F) short_at += kFatEntrySize;
  ASSERT_LT(short_at, kSectorSize);

  Sector lowercase = good;
  lowercase[short_at + 1] = 'a';
  EXPECT_FALSE(IsDirectorySector(lowercase.data(), lowercase.size()));

  Sector bad_checksum = good;
  ASSERT_EQ(bad_checksum[11], 0x0F);
  bad_checksum[13] ^= 0x5A;
  EXPECT_FALSE(IsDirectorySector(bad_checksum.data(), bad_checksum.size()));

  Sector read_only_dir = good;
  read_only_dir[short_at + 11] = 0x11;
  EXPECT_FALSE(IsDirectorySector(read_only_dir.data(), read_only_dir.size()));

  Sector garbage_tail = SectorAt(RootSector());
  garbage_tail[kSectorSize - 1] = 0x42;  // behind the end-of-directory entry
  EXPECT_FALSE(IsDirectorySector(garbage_tail.data(), garbage_tail.size()));
}

// A FAT32 volume written by Windows (from the dosfstools test images): its label entry
// carries a write time only, and its root holds deleted long names.
TEST(DirectorySectorTest, WindowsRootDirectorySectors) {
  const std::string dump =
      testing::SharedTestData("dosfstools/xxd/check-encryption_with_duplicate_dirent.fsck");
  if (dump.empty()) GTEST_SKIP() << "shared test data is not present";
  if (!testing::ToolAvailable("xxd")) GTEST_SKIP() << "xxd is not installed";
  const std::string dir = testing::MakeTempDir("windows-fat32");
  ASSERT_EQ(testing::RunCommand("xxd -r '" + dump + "' '" + dir + "/volume.img'"), 0);
  std::ifstream in(dir + "/volume.img", std::ios::binary);
  Sector boot(kSectorSize);
  in.read(reinterpret_cast<char*>(boot.data()), kSectorSize);
  const uint32_t fat_size = boot[36] | boot[37] << 8 | boot[38] << 16 | boot[39] << 24;
  const uint64_t root = Le16(boot.data() + 14) + uint64_t{boot[16]} * fat_size;
  Sector sectors(2 * kSectorSize);
  in.seekg(static_cast<std::streamoff>(root * kSectorSize));
  in.read(reinterpret_cast<char*>(sectors.data()), static_cast<std::streamsize>(sectors.size()));
  testing::RemoveTree(dir);
  ASSERT_TRUE(in.good());

  const uint8_t* first = sectors.data();
  ASSERT_EQ(first[11], 0x08);
  ASSERT_EQ(Le16(first + 16), 0) << "no creation date on the label";
  EXPECT_TRUE(IsPlausibleDirectoryEntry(first, first + kFatEntrySize));
  // Entry 6 is a deleted file of size 0 that still names a cluster, which the entry test
  // rejects; the rest of the sector, deleted long names included, passes.
  const uint8_t* empty_deleted = first + 6 * kFatEntrySize;
  ASSERT_EQ(empty_deleted[0], 0xE5);
  EXPECT_FALSE(IsPlausibleDirectoryEntry(empty_deleted, empty_deleted + kFatEntrySize));
  EXPECT_FALSE(IsDirectorySector(first, kSectorSize));
  EXPECT_TRUE(IsDirectorySector(first + 7 * kFatEntrySize, kSectorSize - 7 * kFatEntrySize));
  EXPECT_TRUE(IsDirectorySector(first + kSectorSize, kSectorSize));
}

TEST(DirectorySectorTest, ZeroAndRandomSectorsFail) {
  const Sector zeros(kSectorSize, 0);
  EXPECT_FALSE(IsDirectorySector(zeros.data(), zeros.size()));
  Sector noise(kSectorSize);
  uint32_t state = 12345;
  for (auto& b : noise) {
    state = state * 1103515245 + 12345;
    b = static_cast<uint8_t>(state >> 16);
  }
  EXPECT_FALSE(IsDirectorySector(noise.data(), noise.size()));
  EXPECT_FALSE(IsDirectorySector(nullptr, kSectorSize));
}

TEST(DirectorySectorTest, HandBuiltSectorRules) {
  Sector sector(kSectorSize, 0);
  MakeFileEntry(sector.data(), "REPORT  DOC");
  MakeFileEntry(sector.data() + 32, "NOTES   TXT");
  EXPECT_TRUE(IsDirectorySector(sector.data(), sector.size()));

  Sector embedded_blank = sector;
  std::memcpy(embedded_blank.data(), "AB CD   TXT", 11);
  EXPECT_FALSE(IsDirectorySector(embedded_blank.data(), embedded_blank.size()));

  Sector lone_lead_byte = sector;
  lone_lead_byte[2] = 0x93;  // a double-byte lead byte followed by plain ASCII
  EXPECT_FALSE(IsDirectorySector(lone_lead_byte.data(), lone_lead_byte.size()));
  lone_lead_byte[3] = 0xFA;
  EXPECT_TRUE(IsDirectorySector(lone_lead_byte.data(), lone_lead_byte.size()));

  Sector no_creation_time = sector;
  Put16(no_creation_time.data() + 16, 0);
  EXPECT_FALSE(IsDirectorySector(no_creation_time.data(), no_creation_time.size()));

  // A label with blanks inside is a normal label text.
  Sector label = sector;
  std::memset(label.data(), 0, kFatEntrySize);
  std::memcpy(label.data(), "NEW VOLUME ", 11);
  label[11] = 0x08;
  Put16(label.data() + 18, FatDate(2020, 6, 15));
  Put16(label.data() + 22, FatTime(12, 30, 10));
  Put16(label.data() + 24, FatDate(2020, 6, 15));
  Put16(label.data() + 16, FatDate(2020, 6, 15));
  EXPECT_TRUE(IsDirectorySector(label.data(), label.size()));

  // The cut after a full entry needs no terminator; a partial entry is ignored.
  EXPECT_TRUE(IsDirectorySector(sector.data(), 64));
  EXPECT_TRUE(IsDirectorySector(sector.data(), 70));
}

TEST(DirectorySectorTest, RepeatedHalvesFail) {
  Sector sector(kSectorSize, 0);
  MakeFileEntry(sector.data(), "REPORT  DOC");
  std::memcpy(sector.data() + 17, sector.data() + 1, 14);
  EXPECT_FALSE(IsDirectorySector(sector.data(), sector.size()));
}

TEST(EntryPlausibilityTest, RulesOnSingleEntries) {
  uint8_t entry[kFatEntrySize];
  MakeFileEntry(entry, "REPORT  DOC");
  EXPECT_TRUE(IsPlausibleDirectoryEntry(entry, nullptr));

  MakeFileEntry(entry, "REPORT  DOC");
  Put16(entry + 16, FatDate(1989, 12, 31));
  EXPECT_FALSE(IsPlausibleDirectoryEntry(entry, nullptr)) << "live file before 1990";
  entry[0] = 0xE5;
  EXPECT_TRUE(IsPlausibleDirectoryEntry(entry, nullptr)) << "deleted entries keep any date";

  MakeFileEntry(entry, "REPORT  DOC");
  Put16(entry + 16, FatDate(2050, 1, 1));
  Put16(entry + 14, 0);
  EXPECT_TRUE(IsPlausibleDirectoryEntry(entry, nullptr)) << "2050-01-01 00:00 is inside";
  Put16(entry + 14, FatTime(0, 0, 2));
  EXPECT_FALSE(IsPlausibleDirectoryEntry(entry, nullptr));

  MakeFileEntry(entry, "REPORT  DOC");
  std::memset(entry + 28, 0, 4);
  EXPECT_FALSE(IsPlausibleDirectoryEntry(entry, nullptr)) << "empty file with a cluster";

  MakeFileEntry(entry, "REPORT  DOC");
  entry[11] = 0x00;
  EXPECT_FALSE(IsPlausibleDirectoryEntry(entry, nullptr)) << "no archive or directory bit";
  entry[11] = 0x60;
  EXPECT_FALSE(IsPlausibleDirectoryEntry(entry, nullptr));

  MakeFileEntry(entry, "REPORT  DOC");
  entry[11] = 0x10;
  EXPECT_FALSE(IsPlausibleDirectoryEntry(entry, nullptr)) << "live directory with a size";
  std::memset(entry + 28, 0, 4);
  EXPECT_TRUE(IsPlausibleDirectoryEntry(entry, nullptr));

  MakeFileEntry(entry, "REP?RT  DOC");
  EXPECT_FALSE(IsPlausibleDirectoryEntry(entry, nullptr));
}

TEST(EntryPlausibilityTest, LabelsAndLongNamePieces) {
  uint8_t label[kFatEntrySize] = {};
  std::memcpy(label, "my label   ", 11);  // name rules do not apply to labels
  label[11] = 0x08;
  EXPECT_TRUE(IsPlausibleDirectoryEntry(label, nullptr)) << "labels need no timestamps";
  label[28] = 1;
  EXPECT_FALSE(IsPlausibleDirectoryEntry(label, nullptr));
  label[28] = 0;
  label[11] = 0x28;
  EXPECT_FALSE(IsPlausibleDirectoryEntry(label, nullptr));

  uint8_t piece[kFatEntrySize];
  std::memset(piece, 0xFF, sizeof piece);
  // A 255-character name ends in its 20th piece; no name reaches a 21st.
  piece[0] = 0x40 | 20;
  piece[11] = 0x0F;
  piece[12] = 0;
  piece[26] = piece[27] = 0;
  EXPECT_TRUE(IsPlausibleDirectoryEntry(piece, nullptr));
  piece[0] = 0x40 | 21;
  EXPECT_FALSE(IsPlausibleDirectoryEntry(piece, nullptr));
  piece[0] = 0xE5;
  EXPECT_TRUE(IsPlausibleDirectoryEntry(piece, nullptr));
  piece[26] = 7;
  EXPECT_FALSE(IsPlausibleDirectoryEntry(piece, nullptr)) << "long-name piece with a cluster";
}

TEST(FatTimestampTest, ConvertsToFiletimeAndRejectsInvalidDates) {
  // 1980-01-01 00:00:00 and 2020-06-15 12:30:10 as FILETIME.
  EXPECT_EQ(FatDateTimeToFiletime(FatDate(1980, 1, 1), 0, 0), 119600064000000000ULL);
  EXPECT_EQ(FatDateTimeToFiletime(FatDate(2020, 6, 15), FatTime(12, 30, 10), 0),
            132366978100000000ULL);
  // The field counts hundredths; values above 100 carry into the seconds.
  EXPECT_EQ(FatDateTimeToFiletime(FatDate(1980, 1, 1), 0, 157), 119600064000000000ULL + 15'700'000);
  EXPECT_EQ(FatDateTimeToFiletime(FatDate(1980, 1, 1), 0, 99), 119600064000000000ULL + 9'900'000);

  EXPECT_EQ(FatDateTimeToFiletime(0, 0, 0), 0u);
  EXPECT_EQ(FatDateTimeToFiletime(FatDate(1981, 2, 29), 0, 0), 0u);
  EXPECT_NE(FatDateTimeToFiletime(FatDate(1984, 2, 29), 0, 0), 0u);
  EXPECT_EQ(FatDateTimeToFiletime(FatDate(1990, 13, 1), 0, 0), 0u);
  EXPECT_EQ(FatDateTimeToFiletime(FatDate(1990, 1, 1), static_cast<uint16_t>(24 << 11), 0), 0u);
  EXPECT_EQ(FatDateTimeToFiletime(FatDate(1990, 1, 1), 30, 0), 0u) << "second 60";
  EXPECT_EQ(FatDateTimeToFiletime(FatDate(1990, 1, 1), FatTime(0, 0, 58), 250), 0u);
}

}  // namespace
}  // namespace velmora
