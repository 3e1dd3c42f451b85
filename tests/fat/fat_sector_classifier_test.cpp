#include "fat/fat_sector_classifier.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fat/fat_entry_checks.h"

namespace velmora {
namespace {

void PutLe16(uint8_t* p, uint16_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
}

constexpr uint16_t Date(int year, int month, int day) {
  return static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

// A root sector as Windows leaves it: a label entry stamped with its last-write
// time only, then one file.
struct RootSector {
  uint8_t bytes[512] = {};
  RootSector(uint16_t label_write_date) {
    std::memcpy(bytes, "FAT_REC_1  ", 11);
    bytes[11] = 0x08;
    PutLe16(bytes + 22, 0x4000);
    PutLe16(bytes + 24, label_write_date);
    uint8_t* file = bytes + 32;
    std::memcpy(file, "REPORT  TXT", 11);
    file[11] = 0x20;
    for (int offset : {16, 18, 24}) PutLe16(file + offset, Date(2004, 3, 7));
    PutLe16(file + 26, 5);
    file[28] = 100;
  }
};

TEST(FatDeepSectorTests, WindowsLabelWithOnlyAWriteStampPasses) {
  RootSector root(Date(2004, 3, 7));
  EXPECT_TRUE(IsDeepDirectorySector(root.bytes, 512));
  RootSector unstamped(0);
  EXPECT_TRUE(IsDeepDirectorySector(unstamped.bytes, 512));
}

TEST(FatDeepSectorTests, LabelLeniencyDoesNotExcuseOtherFaults) {
  RootSector bad_file(Date(2004, 3, 7));
  bad_file.bytes[32 + 1] = 'e';  // lower-case letter in a short name
  EXPECT_FALSE(IsDeepDirectorySector(bad_file.bytes, 512));
  uint8_t zeros[512] = {};
  EXPECT_FALSE(IsDeepDirectorySector(zeros, 512));
}

}  // namespace
}  // namespace velmora
