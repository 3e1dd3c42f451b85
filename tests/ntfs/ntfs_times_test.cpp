// The times of NTFS files: those of $STANDARD_INFORMATION (what `touch` and `cp -p` set)
// are the file's, the $FILE_NAME set is kept beside them; both checked against istat.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "deep_scan_driver.h"
#include "engine/categories.h"
#include "ntfs/deep_ntfs_recovery.h"
#include "ntfs/quick_ntfs_recovery.h"
#include "ntfs/record_times.h"
#include "ntfs_test_helpers.h"
#include "storage/error_codes.h"

namespace velmora::testing {
namespace {

// "2024-03-05 10:20:30.000000000", the form istat prints in UTC.
std::string IstatTime(uint64_t filetime) {
  constexpr uint64_t kTicks = 10000000ULL;
  constexpr uint64_t kEpoch = 11644473600ULL;
  const std::time_t seconds = static_cast<std::time_t>(filetime / kTicks - kEpoch);
  std::tm utc{};
  ::gmtime_r(&seconds, &utc);
  char text[48];
  std::strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", &utc);
  char fraction[16];
  std::snprintf(fraction, sizeof(fraction), ".%07llu00",
                static_cast<unsigned long long>(filetime % kTicks));
  return std::string(text) + fraction;
}

// istat's two sets of times of one MFT entry: "SI Modified", "FN Created", ...
std::map<std::string, std::string> IstatTimes(const std::string& image, uint64_t offset,
                                              uint32_t entry) {
  std::string out;
  RunCommand("istat -z UTC -o " + std::to_string(offset) + " " + ShellQuote(image) + " " +
                 std::to_string(entry),
             &out);
  std::map<std::string, std::string> times;
  std::istringstream lines(out);
  std::string line;
  std::string set;
  while (std::getline(lines, line)) {
    if (line.rfind("$STANDARD_INFORMATION Attribute Values", 0) == 0) set = "SI ";
    if (line.rfind("$FILE_NAME Attribute Values", 0) == 0) set = "FN ";
    if (line.rfind("Attributes:", 0) == 0) set.clear();
    const size_t colon = line.find(":\t");
    const size_t utc = line.find(" (UTC)");
    if (set.empty() || colon == std::string::npos || utc == std::string::npos) continue;
    std::string key = line.substr(0, colon);
    if (key == "File Modified") key = "Modified";
    if (key == "MFT Modified") key = "Changed";
    times.emplace(set + key, line.substr(colon + 2, utc - colon - 2));
  }
  return times;
}

// Both sets of a found file agree with istat's.
void ExpectIstatTimes(StoreBackedEngine* engine, ScanLogStore* store, const ScanRecord& record,
                      const std::string& image, uint64_t offset, uint32_t entry) {
  const auto istat = IstatTimes(image, offset, entry);
  const std::string name(RecordName(record));
  ASSERT_EQ(istat.size(), 8u) << name;
  EXPECT_EQ(IstatTime(record.last_write), istat.at("SI Modified")) << name;
  EXPECT_EQ(IstatTime(record.created), istat.at("SI Created")) << name;
  EXPECT_EQ(IstatTime(record.last_access), istat.at("SI Accessed")) << name;
  RecordTimesEntry extra;
  ASSERT_TRUE(store->FindTimes(record.record_index, &extra)) << name;
  RecordTimesEntry via_engine;
  ASSERT_TRUE(engine->ExtraTimesOf(record, &via_engine));
  EXPECT_EQ(via_engine.name_modified, extra.name_modified);
  EXPECT_EQ(extra.flags & kTimesFromFileName, 0u) << name;
  EXPECT_EQ(IstatTime(extra.changed), istat.at("SI Changed")) << name;
  EXPECT_EQ(IstatTime(extra.name_modified), istat.at("FN Modified")) << name;
  EXPECT_EQ(IstatTime(extra.name_created), istat.at("FN Created")) << name;
  EXPECT_EQ(IstatTime(extra.name_accessed), istat.at("FN Accessed")) << name;
  EXPECT_EQ(IstatTime(extra.name_changed), istat.at("FN Changed")) << name;
}

class MountedNtfsTimesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0 || ::access("/dev/fuse", R_OK | W_OK) != 0) {
      GTEST_SKIP() << "mounting with ntfs-3g needs root and /dev/fuse";
    }
    for (const char* tool : {"mkntfs", "ntfs-3g", "istat"}) {
      if (!ToolAvailable(tool)) GTEST_SKIP() << tool << " is not installed";
    }
    work_ = MakeTempDir("ntfs-times");
    image_ = work_ + "/ntfs.img";
    const std::string mount = work_ + "/mnt";
    // A photo stamped with touch, a copy that keeps its source's time, a file in a folder;
    // all deleted again. $FILE_NAME keeps the time of the writing, today.
    const std::string script =
        "set -e; cd " + ShellQuote(work_) +
        "; truncate -s 24M ntfs.img;"
        " mkntfs -F -q -Q ntfs.img >/dev/null 2>&1; mkdir mnt; ntfs-3g ntfs.img mnt;"
        " head -c 30000 /dev/urandom > mnt/photo.jpg; touch -d '2024-03-05 10:20:30' mnt/photo.jpg;"
        " head -c 5000 /dev/urandom > src.bin; touch -d '2024-01-02 03:04:05' src.bin;"
        " cp -p src.bin mnt/copy.bin; mkdir mnt/album;"
        " head -c 9000 /dev/urandom > mnt/album/old.txt;"
        " touch -d '2023-07-08 09:10:11.1234567' mnt/album/old.txt;"
        " sync; rm mnt/photo.jpg mnt/copy.bin mnt/album/old.txt; rmdir mnt/album";
    const int built = RunCommand("(" + script + ") >/dev/null 2>&1");
    mounted_ = true;
    if (RunCommand("umount " + ShellQuote(mount) + " >/dev/null 2>&1") == 0) mounted_ = false;
    ASSERT_EQ(built, 0) << "building the volume failed";
  }
  void TearDown() override {
    if (mounted_) RunCommand("umount -l " + ShellQuote(work_ + "/mnt") + " >/dev/null 2>&1");
    if (!work_.empty()) RemoveTree(work_);
  }

  std::string work_;
  std::string image_;
  bool mounted_ = false;
};

TEST_F(MountedNtfsTimesTest, QuickAndDeepScansTakeTheStandardInformationTimes) {
  ScopedDataDir data;
  CFastNtfsRecovery quick;
  ASSERT_EQ(quick.OpenImage(image_, u'T'), kSuccess);
  ASSERT_EQ(quick.Scan(nullptr), kSuccess);
  std::map<std::string, ScanRecord> found;
  for (const ListedFile& file : WalkTree(&quick)) found[file.Path()] = file.record;
  ASSERT_EQ(found.size(), 3u);
  for (const auto& [path, record] : found) {
    ExpectIstatTimes(&quick, quick.Store(), record, image_, 0, record.object_id);
  }
  EXPECT_EQ(IstatTime(found.at("photo.jpg").last_write), "2024-03-05 10:20:30.000000000");
  EXPECT_EQ(IstatTime(found.at("album/old.txt").last_write), "2023-07-08 09:10:11.123456700");

  CProfessionalNtfsRecovery deep;
  ASSERT_EQ(deep.OpenImage(image_, u'T'), kSuccess);
  ASSERT_EQ(RunDeepNtfsPass(&deep, image_, 0, (24u << 20) / 512), kSuccess);
  size_t checked = 0;
  for (const ListedFile& file : WalkTree(&deep)) {
    if (found.count(file.Path()) == 0) continue;
    ExpectIstatTimes(&deep, deep.Store(), file.record, image_, 0, file.record.object_id);
    ++checked;
  }
  EXPECT_EQ(checked, 3u);
}

TEST_F(MountedNtfsTimesTest, ListChoosesAndRecoverStampsByTheFilesOwnTime) {
  ScopedDataDir data;
  const std::string velmora = VelmoraBinary() + " ";
  std::string out;
  ASSERT_EQ(RunCommand(velmora + "list " + ShellQuote(image_) +
                           " --since 2024-01-01 --until 2024-12-31 --sort modified --json"
                           " 2>/dev/null",
                       &out),
            0);
  const auto listed = nlohmann::json::parse(out);
  ASSERT_EQ(listed.size(), 2u) << out;
  EXPECT_EQ(listed[0]["name"], "photo.jpg");
  EXPECT_EQ(listed[0]["modified"], "2024-03-05T10:20:30Z");
  EXPECT_EQ(listed[1]["name"], "copy.bin");
  EXPECT_EQ(listed[1]["accessed"], "2024-01-02T03:04:05Z");
  EXPECT_EQ(listed[1]["times_from"], "$STANDARD_INFORMATION");
  // The name's own times are those of the copy, made now.
  ASSERT_TRUE(listed[1].contains("file_name_times"));
  EXPECT_GT(listed[1]["file_name_times"]["modified"].get<std::string>(), "2025");
  EXPECT_EQ(listed[1]["file_name_times"]["created"], listed[1]["created"]);

  const std::string to = work_ + "/out";
  ASSERT_EQ(RunCommand(velmora + "recover " + ShellQuote(image_) + " --name photo.jpg --to " +
                       ShellQuote(to) + " >/dev/null 2>&1"),
            0);
  struct stat st {};
  ASSERT_EQ(::stat((to + "/photo/photo.jpg").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1709634030);  // 2024-03-05 10:20:30 UTC
}

// A Windows 10 volume whose test.txt was given three sets of times by hand; the deep scan
// lists it (in use) with those of $STANDARD_INFORMATION, as istat shows them.
TEST(NtfsTimesRealImageTest, StandardInformationAndFileNameTimesDiffer) {
  const std::string packed = SharedTestData("ntfs-samples/ntfs-si-vs-fn.raw.gz");
  if (packed.empty()) GTEST_SKIP() << "shared test data not present";
  if (!ToolAvailable("istat")) GTEST_SKIP() << "The Sleuth Kit is not installed";
  ScopedDataDir data;
  const std::string work = MakeTempDir("ntfs-si-fn");
  const std::string image = work + "/si-vs-fn.raw";
  // The MFT lies some 357 MB in: the disk is unpacked up to a little beyond it.
  ASSERT_EQ(RunCommand("gzip -dc " + ShellQuote(packed) +
                       " 2>/dev/null | head -c 380M | cp --sparse=always /dev/stdin " +
                       ShellQuote(image)),
            0);
  constexpr uint64_t kStart = 128;
  constexpr uint32_t kTestTxt = 39;
  CFastNtfsRecovery quick;
  ASSERT_EQ(quick.OpenImageRegion(image, kStart, 0, u'W'), kSuccess);
  const uint64_t sector = quick.Volume().MftRecordToSector(kTestTxt);
  ASSERT_NE(sector, 0u);
  CProfessionalNtfsRecovery deep;
  ASSERT_EQ(deep.OpenImage(image, u'W'), kSuccess);
  ASSERT_EQ(RunDeepNtfsPass(&deep, image, sector - 64, 128), kSuccess);
  ScanRecordList all;
  std::string filter;
  FilterForCategories("all", &filter);
  ASSERT_EQ(deep.GetFilesByType(filter, &all), 1);
  const ScanRecord* test_txt = nullptr;
  for (const ScanRecord& record : all) {
    if (RecordName(record) == "test.txt") test_txt = &record;
  }
  ASSERT_NE(test_txt, nullptr);
  ExpectIstatTimes(&deep, deep.Store(), *test_txt, image, kStart, kTestTxt);
  EXPECT_EQ(IstatTime(test_txt->last_write).substr(0, 10), "2015-11-03");
  RecordTimesEntry extra;
  ASSERT_TRUE(deep.Store()->FindTimes(test_txt->record_index, &extra));
  EXPECT_EQ(IstatTime(extra.name_modified).substr(0, 10), "2014-12-12");
  RemoveTree(work);
}

}  // namespace
}  // namespace velmora::testing

namespace velmora::testing {
namespace {

// A record whose $STANDARD_INFORMATION is gone or cut short shows its $FILE_NAME times.
TEST(NtfsTimesFallbackTest, FileNameTimesServeWhereStandardInformationIsMissing) {
  ntfs::FileNameAttribute name;
  name.created = 11;
  name.modified = 12;
  name.mft_changed = 13;
  name.accessed = 14;
  std::vector<uint8_t> si(0x20, 0);
  si[0x08] = 42;  // modified
  ntfs::MftAttribute standard;
  standard.type = ntfs::kAttrStandardInformation;
  standard.value = std::span<const uint8_t>(si.data(), 0x1F);  // one byte short
  ntfs::MftRecord record;
  record.attributes.push_back(standard);
  ScanRecord out{};
  RecordTimesEntry entry = ntfs::ApplyFileTimes(record, name, &out);
  EXPECT_EQ(out.last_write.get(), 12u);
  EXPECT_EQ(entry.changed, 13u);
  EXPECT_NE(entry.flags & kTimesFromFileName, 0u);

  record.attributes[0].value = std::span<const uint8_t>(si.data(), si.size());
  entry = ntfs::ApplyFileTimes(record, name, &out);
  EXPECT_EQ(out.last_write.get(), 42u);
  EXPECT_EQ(out.created.get(), 0u);
  EXPECT_EQ(entry.flags & kTimesFromFileName, 0u);
  EXPECT_EQ(entry.name_modified, 12u);
}

}  // namespace
}  // namespace velmora::testing
