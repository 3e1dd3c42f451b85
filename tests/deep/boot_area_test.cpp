// Volume labels and backup boot sectors on volumes made with mkntfs and mkfs.fat/mtools,
// checked against fsstat.
#include "deep/boot_area.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <vector>

#include "deep/engine_factory.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora {
namespace {

// The text after `label` on fsstat's line, trailing blanks dropped.
std::string FsstatValue(const std::string& image, const std::string& label) {
  std::string out;
  if (testing::RunCommand("fsstat " + testing::ShellQuote(image) + " 2>/dev/null", &out) != 0)
    return "?";
  const size_t at = out.find(label);
  if (at == std::string::npos) return "?";
  std::string value = out.substr(at + label.size(), out.find('\n', at) - at - label.size());
  while (!value.empty() && value.back() == ' ') value.pop_back();
  return value;
}

struct Chosen {
  BootSectorChoice boot;
  std::string label;
};

Chosen Choose(const std::string& image) {
  std::shared_ptr<ByteSource> source;
  Chosen chosen;
  if (OpenByteSource(image, &source) != kSuccess) return chosen;
  std::vector<uint8_t> area(16384);
  source->ReadAt(0, area.data(), area.size(), nullptr);
  chosen.boot = ChooseBootSector(*source, 0, source->Size(), area.data());
  chosen.label = ReadVolumeLabel(source, 0, source->Size(), chosen.boot);
  return chosen;
}

// The names a quick scan of the image lists; no engine at all gives {"(no engine)"}.
std::vector<std::string> QuickScanNames(const std::string& image) {
  auto engine = CreateEngineForImage(image, u'L', false);
  if (!engine) return {"(no engine)"};
  std::vector<std::string> names;
  if (engine->Scan(nullptr) != kSuccess) return {"(scan failed)"};
  std::string filter;
  FilterForCategories("all", &filter);
  ScanRecordList records;
  engine->GetFilesByType(filter, &records);
  for (const ScanRecord& record : records) names.emplace_back(RecordName(record));
  return names;
}

void ZeroFirstSector(const std::string& image) {
  ASSERT_EQ(testing::RunCommand("dd if=/dev/zero of=" + testing::ShellQuote(image) +
                                " bs=512 count=1 conv=notrunc 2>/dev/null"),
            0);
}

class BootAreaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkntfs", "mkfs.fat", "mcopy", "mlabel", "fsstat"}) {
      if (!testing::ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    work_ = testing::MakeTempDir("boot-area");
  }
  void TearDown() override {
    if (!work_.empty()) testing::RemoveTree(work_);
  }
  int Sh(const std::string& script) {
    return testing::RunCommand("cd " + testing::ShellQuote(work_) + " && (" + script +
                               ") >/dev/null 2>&1");
  }
  std::string work_;
};

TEST_F(BootAreaTest, NtfsLabelAndLastSectorCopy) {
  testing::ScopedDataDir data;
  const std::string image = work_ + "/ntfs.img";
  ASSERT_EQ(Sh("truncate -s 24M ntfs.img && mkntfs -F -q -Q -L 'Urlaub 2024' ntfs.img"), 0);
  Chosen chosen = Choose(image);
  EXPECT_EQ(chosen.boot.kind, FileSystemKind::kNtfs);
  EXPECT_FALSE(chosen.boot.backup);
  EXPECT_EQ(chosen.label, FsstatValue(image, "Volume Name: "));
  EXPECT_EQ(chosen.label, "Urlaub 2024");

  ZeroFirstSector(image);
  chosen = Choose(image);
  EXPECT_EQ(chosen.boot.kind, FileSystemKind::kNtfs);
  EXPECT_TRUE(chosen.boot.backup);
  EXPECT_EQ(chosen.boot.offset, (24u << 20) - 512);
  EXPECT_EQ(chosen.label, "Urlaub 2024");
  EXPECT_NE(QuickScanNames(image), std::vector<std::string>{"(no engine)"});

  std::string out;
  ASSERT_EQ(testing::RunCommand(testing::VelmoraBinary() + " info " + testing::ShellQuote(image) +
                                    " --json 2>/dev/null",
                                &out),
            0);
  const auto info = nlohmann::json::parse(out);
  EXPECT_EQ(info["kind"], "NTFS");
  EXPECT_EQ(info["label"], "Urlaub 2024");
  EXPECT_EQ(info["boot_sector"]["backup"], true);

  // Neither copy: nothing for a quick scan.
  ASSERT_EQ(testing::RunCommand("dd if=/dev/zero of=" + testing::ShellQuote(image) +
                                " bs=512 seek=" + std::to_string((24 << 20) / 512 - 1) +
                                " count=1 conv=notrunc 2>/dev/null"),
            0);
  EXPECT_EQ(Choose(image).boot.kind, FileSystemKind::kOther);
  EXPECT_EQ(QuickScanNames(image), std::vector<std::string>{"(no engine)"});
}

TEST_F(BootAreaTest, Fat32RootLabelAndSectorSixCopy) {
  testing::ScopedDataDir data;
  const std::string image = work_ + "/fat32.img";
  ASSERT_EQ(
      Sh("truncate -s 40M fat32.img && mkfs.fat -F 32 -n CAMERA fat32.img &&"
         " export MTOOLS_SKIP_CHECK=1 && mlabel -i fat32.img ::'Holiday 24' &&"
         " head -c 30000 /dev/urandom > p.jpg && mcopy -i fat32.img p.jpg ::holiday_photo.jpg &&"
         " mdel -i fat32.img ::holiday_photo.jpg"),
      0);
  Chosen chosen = Choose(image);
  EXPECT_EQ(chosen.label, FsstatValue(image, "Volume Label (Root Directory): "));
  EXPECT_EQ(chosen.label, "HOLIDAY 24");

  ZeroFirstSector(image);
  chosen = Choose(image);
  EXPECT_EQ(chosen.boot.kind, FileSystemKind::kFat);
  EXPECT_TRUE(chosen.boot.backup);
  EXPECT_EQ(chosen.boot.offset, 6u * 512);
  EXPECT_EQ(chosen.label, "HOLIDAY 24");
  EXPECT_EQ(QuickScanNames(image), std::vector<std::string>{"holiday_photo.jpg"});
}

TEST_F(BootAreaTest, Fat16HasNoCopyAndFallsBackToTheBootLabel) {
  const std::string image = work_ + "/fat16.img";
  ASSERT_EQ(Sh("truncate -s 16M fat16.img && mkfs.fat -F 16 -n BOOTONLY fat16.img"), 0);
  // mkfs.fat writes the label in both places; the boot sector's alone is the fallback.
  ASSERT_EQ(Sh("export MTOOLS_SKIP_CHECK=1 && mlabel -c -i fat16.img ::"), 0);
  const Chosen chosen = Choose(image);
  EXPECT_EQ(chosen.boot.kind, FileSystemKind::kFat);
  EXPECT_EQ(chosen.label, FsstatValue(image, "Volume Label (Boot Sector): ") == "NO NAME"
                              ? ""
                              : FsstatValue(image, "Volume Label (Boot Sector): "));
  ZeroFirstSector(image);
  EXPECT_EQ(Choose(image).boot.kind, FileSystemKind::kOther);
}

// A DFTT image whose root folder names another label than its boot sector: the root's wins.
TEST(BootAreaRealImageTest, RootLabelOverBootLabel) {
  const std::string image = testing::SharedTestData("dftt/9-fat-label/9-fat-label.dd");
  if (image.empty()) GTEST_SKIP() << "shared test data not present";
  const Chosen chosen = Choose(image);
  EXPECT_EQ(chosen.label, "LABEL2");
  const std::string listed = testing::SharedTestData("dftt/9-fat-label/9-fat-label.dd.fsstat.txt");
  std::string fsstat;
  testing::RunCommand("cat " + testing::ShellQuote(listed), &fsstat);
  EXPECT_NE(fsstat.find("Volume Label (Root Directory): " + chosen.label), std::string::npos);
}

}  // namespace
}  // namespace velmora
