// The combined deep scan end to end on images: carved recall, stop and resume
// (also after a killed process), unreadable sectors, formatted NTFS and FAT volumes
// and a whole-disk image.
#include "deep/deep_recovery.h"
#include "deep/merge_results.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "deep/engine_factory.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "fat/deep_fat_recovery.h"
#include "ntfs/deep_ntfs_recovery.h"
#include "storage/byte_source.h"
#include "storage/error_codes.h"
#include "storage/platform_device.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/ntfs_volume_builder.h"
#include "support/partition_image.h"
#include "support/planted_image.h"
#include "support/test_env.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;
using testing::PlantedImage;

std::string AllFilter() {
  std::string filter;
  FilterForCategories("all", &filter);
  return filter;
}

std::unique_ptr<CProfessionalRecovery> OpenDeep(const std::string& image) {
  auto engine = CreateEngineForImage(image, u'Q', true);
  auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
  if (deep == nullptr) return nullptr;
  engine.release();
  return std::unique_ptr<CProfessionalRecovery>(deep);
}

// What a listing shows, independent of the record order and indices.
using Listed = std::tuple<uint32_t, std::string, uint64_t, uint64_t>;
std::vector<Listed> Listing(CProfessionalRecovery& engine) {
  ScanRecordList records;
  engine.GetFilesByType(AllFilter(), &records);
  std::vector<Listed> out;
  for (const auto& r : records) {
    std::string path;
    engine.GetFullPath(r, &path);
    out.emplace_back(r.source_kind, path + std::string(RecordName(r)), r.size, r.location);
  }
  std::sort(out.begin(), out.end());
  return out;
}

struct PassWatch {
  uint64_t first_processed = UINT64_MAX;  // a of the first pass report
  uint64_t stop_at_percent = 101;
  bool exit_instead = false;  // leave like a killed process
  // Stops only once this engine's metadata walk has ended, so that a resume reopens its log.
  const CProfessionalRecovery* after_walk = nullptr;
  int calls = 0;
};

int WatchProgress(void* context, int percent, int scale, int, uint32_t a_low, uint32_t a_high,
                  uint32_t b_low, uint32_t b_high, uint32_t, uint32_t) {
  auto* watch = static_cast<PassWatch*>(context);
  const uint64_t a = (static_cast<uint64_t>(a_high) << 32) | a_low;
  const uint64_t b = (static_cast<uint64_t>(b_high) << 32) | b_low;
  if (b == 0) return 0;
  ++watch->calls;
  if (watch->first_processed == UINT64_MAX) watch->first_processed = a;
  if (a * 100 / b >= watch->stop_at_percent) {
    // Bounded, so a walk that never ends cannot hang the run.
    for (int wait = 0;
         wait < 120000 && watch->after_walk != nullptr && watch->after_walk->QuickWalkRunning();
         ++wait) {
      ::usleep(1000);
    }
    if (watch->exit_instead) ::_exit(0);
    return kCancelledByUser;
  }
  return 0;
}

class DeepScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScanIndex::ResetInstance();
    dir_ = testing::MakeTempDir("deep");
  }
  void TearDown() override {
    ScanIndex::ResetInstance();
    testing::RemoveTree(dir_);
  }

  // Random data with real files of many kinds at sector boundaries.
  std::string PlantedImagePath(const std::string& name,
                               std::vector<std::pair<uint64_t, std::string>>* planted) {
    PlantedImage image(24 * 2048, 77);
    uint64_t sector = 300;
    const char* fixtures[] = {
        "fixture.png", "fixture.gif",     "fixture.pdf",     "fixture.zip",    "fixture.docx",
        "fixture.bmp", "fixture.wav",     "fixture.avi",     "fixture.rar",    "fixture.7z",
        "fixture.mp3", "fixture.doc.cfb", "fixture.mid",     "fixture.xlsx",   "fixture.pptx",
        "fixture.asf", "fixture.ico",     "fixture.xls.cfb", "fixture.ppt.cfb"};
    for (int round = 0; round < 3; ++round) {
      for (const char* fixture : fixtures) {
        const std::string path =
            testing::SharedTestData(std::string("file-type-fixtures/") + fixture);
        if (path.empty()) continue;
        const auto bytes = testing::ReadWholeFile(path);
        if (planted) planted->emplace_back(sector, path);
        sector = image.Plant(sector, bytes) + 597 + round * 13;
      }
    }
    image.Open();
    const std::string target = dir_ + "/" + name;
    fs::copy_file(image.Path(), target);
    return target;
  }

  testing::ScopedDataDir data_dir_;
  std::string dir_;
};

TEST_F(DeepScanTest, CarvedFilesOfEveryKindComeBackByteForByte) {
  if (testing::SharedTestData("file-type-fixtures").empty()) {
    GTEST_SKIP() << "shared test data file-type-fixtures is not present";
  }
  std::vector<std::pair<uint64_t, std::string>> planted;
  const std::string image = PlantedImagePath("planted.img", &planted);
  auto engine = OpenDeep(image);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->QuickEngine(), nullptr);  // random data: no file system
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  EXPECT_TRUE(engine->PassComplete());
  EXPECT_EQ(engine->ProcessedSectors(), engine->TotalSectors());

  ScanRecordList records;
  engine->GetFilesByType(AllFilter(), &records);
  std::map<uint64_t, ScanRecord> by_sector;
  for (const auto& r : records) by_sector[r.location] = r;

  std::map<std::string, std::pair<int, int>> recall;  // extension -> (exact, planted)
  const std::string out = dir_ + "/out";
  for (const auto& [sector, path] : planted) {
    const std::string extension = path.substr(path.find("fixture.") + 8);
    auto& counts = recall[extension];
    ++counts.second;
    auto it = by_sector.find(sector);
    if (it == by_sector.end()) continue;
    const std::string target = out + "/" + std::to_string(sector);
    ASSERT_EQ(engine->RecoverFile(it->second, target, 0), kSuccess);
    if (testing::ReadWholeFile(target) == testing::ReadWholeFile(path)) ++counts.first;
  }
  for (const auto& [extension, counts] : recall) {
    std::printf("recall %-9s %d/%d\n", extension.c_str(), counts.first, counts.second);
    EXPECT_EQ(counts.first, counts.second) << extension;
  }
}

TEST_F(DeepScanTest, StoppedScanResumesAndEndsLikeAnUninterruptedOne) {
  if (testing::SharedTestData("file-type-fixtures").empty()) {
    GTEST_SKIP() << "shared test data file-type-fixtures is not present";
  }
  const std::string whole = PlantedImagePath("whole.img", nullptr);
  const std::string stopped = dir_ + "/stopped.img";
  fs::copy_file(whole, stopped);

  std::vector<Listed> expected;
  {
    auto engine = OpenDeep(whole);
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(engine->Scan(nullptr), kSuccess);
    expected = Listing(*engine);
  }
  ASSERT_GT(expected.size(), 20u);

  uint64_t saved_processed = 0;
  {
    auto engine = OpenDeep(stopped);
    ASSERT_NE(engine, nullptr);
    EXPECT_FALSE(engine->Resuming());
    PassWatch watch;
    watch.stop_at_percent = 40;
    engine->SetScanCallback(&WatchProgress, nullptr, &watch, 100);
    ASSERT_EQ(engine->Scan(nullptr), kCancelledByUser);
    EXPECT_FALSE(engine->PassComplete());
    saved_processed = engine->ProcessedSectors();
    EXPECT_GE(saved_processed * 100 / engine->TotalSectors(), 40u);
    EXPECT_LT(saved_processed * 100 / engine->TotalSectors(), 50u);
    EXPECT_LT(Listing(*engine).size(), expected.size());
  }
  ScanIndex::ResetInstance();  // as a new process would
  {
    auto engine = OpenDeep(stopped);
    ASSERT_NE(engine, nullptr);
    ASSERT_TRUE(engine->Resuming());
    EXPECT_EQ(engine->SavedState().resume[CProfessionalRecovery::kProcessed], saved_processed);
    int notice = -1;
    engine->SetResumeNotice([&](int percent) { notice = percent; });
    PassWatch watch;
    engine->SetScanCallback(&WatchProgress, nullptr, &watch, 100);
    ASSERT_EQ(engine->Scan(nullptr), kSuccess);
    EXPECT_GE(notice, 40);
    EXPECT_GE(watch.first_processed, saved_processed);  // the bar continues, not restarts
    EXPECT_EQ(Listing(*engine), expected);
  }
  // A finished scan opened again is served from its logs.
  ScanIndex::ResetInstance();
  auto engine = OpenDeep(stopped);
  ASSERT_TRUE(engine->Resuming());
  ASSERT_EQ(engine->Scan("saved"), kSuccess);
  EXPECT_EQ(Listing(*engine), expected);
}

TEST_F(DeepScanTest, ASavedStateThatDoesNotFitIsDiscardedNotTakenAsComplete) {
  if (testing::SharedTestData("file-type-fixtures").empty()) {
    GTEST_SKIP() << "shared test data file-type-fixtures is not present";
  }
  const std::string image = PlantedImagePath("damaged.img", nullptr);
  std::vector<Listed> expected;
  uint64_t sectors = 0;
  {
    auto engine = OpenDeep(image);
    ASSERT_EQ(engine->Scan(nullptr), kSuccess);
    expected = Listing(*engine);
    sectors = engine->TotalSectors();
  }
  // The saved record of the image and its result folder, read afresh.
  const auto saved_state = [&](ScanIndexRecord* saved, std::string* folder) {
    ScanIndex::ResetInstance();
    ASSERT_TRUE(ScanIndex::Instance().FindForImage(image, saved));
    folder->clear();
    for (char16_t unit : saved->scan_folder) {
      if (unit == 0) break;
      *folder += static_cast<char>(unit);
    }
  };
  const auto damage = [&](uint64_t position, uint64_t length, uint64_t offset) {
    ScanIndexRecord saved{};
    std::string folder;
    saved_state(&saved, &folder);
    const uint64_t values[5] = {position, length, offset, saved.resume[3], saved.resume[4]};
    EXPECT_EQ(ScanIndex::Instance().AddOrUpdate("", saved.disk_number, 0, 0, values, folder, image),
              kSuccess);
    ScanIndex::ResetInstance();
  };
  // Exactly at the end: a finished scan, reopened from its logs.
  damage(0, sectors, sectors);
  {
    auto engine = OpenDeep(image);
    EXPECT_TRUE(engine->Resuming());
    EXPECT_FALSE(engine->DiscardedDamagedState());
  }
  // One past it, or an offset beyond its run: dropped and scanned whole again.
  for (const auto& [position, length, offset] :
       {std::tuple<uint64_t, uint64_t, uint64_t>{1, sectors, 0}, {0, sectors / 2, sectors}}) {
    damage(position, length, offset);
    auto engine = OpenDeep(image);
    EXPECT_FALSE(engine->Resuming());
    EXPECT_TRUE(engine->DiscardedDamagedState());
    ASSERT_EQ(engine->Scan(nullptr), kSuccess);
    EXPECT_EQ(Listing(*engine), expected);
  }
  // A carving log one record shorter than at the saved position lost a file: dropped too.
  ScanIndexRecord saved{};
  std::string folder;
  saved_state(&saved, &folder);
  std::string log;
  ASSERT_TRUE(ScanIndex::Instance().FindLogFile(folder, "File_Type_", &log));
  const std::string path = folder + "/" + log;
  const uint64_t size = fs::file_size(path);
  ASSERT_GE(size, 2 * sizeof(ScanRecord));
  fs::resize_file(path, size - sizeof(ScanRecord));
  ScanIndex::ResetInstance();
  auto engine = OpenDeep(image);
  EXPECT_FALSE(engine->Resuming());
  EXPECT_TRUE(engine->DiscardedDamagedState());
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  EXPECT_EQ(Listing(*engine), expected);
}

TEST_F(DeepScanTest, AStoppedScanWhoseStateClaimsTheEndIsScannedAnew) {
  if (testing::SharedTestData("file-type-fixtures").empty()) {
    GTEST_SKIP() << "shared test data file-type-fixtures is not present";
  }
  const std::string image = PlantedImagePath("claimed.img", nullptr);
  std::vector<Listed> expected;
  {
    auto engine = OpenDeep(image);
    ASSERT_EQ(engine->Scan(nullptr), kSuccess);
    expected = Listing(*engine);
    EXPECT_TRUE(engine->SavedScanFinished());
  }
  ScanIndex::ResetInstance();
  ASSERT_EQ(OpenDeep(image)->SavedScanFinished(), true);  // reopened, not offered for resuming
  ASSERT_EQ(ScanIndex::Instance().Remove(ScanIndex::Instance().CurrentFolder()), 0);
  ASSERT_EQ(ScanIndex::Instance().Save(), kSuccess);
  ScanIndex::ResetInstance();
  ScanIndexRecord saved{};
  std::string folder;
  {
    auto engine = OpenDeep(image);
    PassWatch watch;
    watch.stop_at_percent = 40;
    engine->SetScanCallback(&WatchProgress, nullptr, &watch, 100);
    ASSERT_EQ(engine->Scan(nullptr), kCancelledByUser);
    EXPECT_TRUE(engine->Resuming());
    EXPECT_FALSE(engine->SavedScanFinished());
    saved = engine->SavedState();
    for (char16_t unit : saved.scan_folder) {
      if (unit == 0) break;
      folder += static_cast<char>(unit);
    }
  }
  // Offset at its run's end and every sector counted: the saved values alone say "finished".
  const uint64_t* v = saved.resume;
  const uint64_t claimed[5] = {v[0], v[1], v[1], v[1], v[4]};
  ScanIndex::ResetInstance();
  ASSERT_EQ(ScanIndex::Instance().AddOrUpdate("", saved.disk_number, 0, 0, claimed, folder, image),
            kSuccess);
  ScanIndex::ResetInstance();
  auto engine = OpenDeep(image);
  EXPECT_FALSE(engine->Resuming());
  EXPECT_TRUE(engine->DiscardedDamagedState());
  EXPECT_NE(engine->DamageReason().find("pass trail"), std::string::npos) << engine->DamageReason();
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  EXPECT_EQ(Listing(*engine), expected);
}

TEST_F(DeepScanTest, KilledScanResumesFromTheLastSavedPoint) {
  if (testing::SharedTestData("file-type-fixtures").empty()) {
    GTEST_SKIP() << "shared test data file-type-fixtures is not present";
  }
  const std::string whole = PlantedImagePath("whole.img", nullptr);
  const std::string killed = dir_ + "/killed.img";
  fs::copy_file(whole, killed);
  std::vector<Listed> expected;
  {
    auto engine = OpenDeep(whole);
    ASSERT_EQ(engine->Scan(nullptr), kSuccess);
    expected = Listing(*engine);
  }
  ScanIndex::ResetInstance();
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Leaves without any cleanup at 60 %, as a killed process does; positions are
    // saved every few milliseconds before that.
    auto engine = OpenDeep(killed);
    engine->SetCheckpointInterval(5);
    PassWatch watch;
    watch.stop_at_percent = 60;
    watch.exit_instead = true;
    engine->SetScanCallback(
        [](void* context, int percent, int scale, int seconds, uint32_t al, uint32_t ah,
           uint32_t bl, uint32_t bh, uint32_t cl, uint32_t ch) {
          ::usleep(300);
          return WatchProgress(context, percent, scale, seconds, al, ah, bl, bh, cl, ch);
        },
        nullptr, &watch, 100);
    engine->Scan(nullptr);
    ::_exit(1);  // not reached: the callback leaves first
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  ScanIndex::ResetInstance();
  auto engine = OpenDeep(killed);
  ASSERT_TRUE(engine->Resuming());
  const uint64_t saved = engine->SavedState().resume[CProfessionalRecovery::kProcessed];
  EXPECT_GT(saved, 0u);
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  EXPECT_EQ(Listing(*engine), expected);
}

TEST_F(DeepScanTest, UnreadableSectorsAreSkippedCountedAndTheScanGoesOn) {
  PlantedImage image(4096, 5);
  image.Plant(100, testing::SampleContent("png", 5000, 1));
  image.Plant(3000, testing::SampleContent("png", 5000, 2));
  image.Open();
  const std::string path = dir_ + "/failing.img";
  fs::copy_file(image.Path(), path);
  auto engine = OpenDeep(path);
  ASSERT_NE(engine, nullptr);
  // The source loses sectors 2000-4095 after it was opened: every read there fails.
  ASSERT_EQ(::truncate(path.c_str(), 2000 * 512), 0);
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  EXPECT_EQ(engine->UnreadableSectors(), 2096u);
  EXPECT_EQ(engine->ProcessedSectors(), 4096u);
  ScanRecordList records;
  engine->GetFilesByType(AllFilter(), &records);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].location, 100u);
}

// A QuickTime movie measured by its box chain: ftyp, mdat of `media_bytes`, moov.
std::vector<uint8_t> BoxChainMovie(uint32_t media_bytes) {
  auto box = [](std::vector<uint8_t>* out, const char* type, uint32_t size, uint8_t fill) {
    for (int shift = 24; shift >= 0; shift -= 8)
      out->push_back(static_cast<uint8_t>(size >> shift));
    out->insert(out->end(), type, type + 4);
    out->resize(out->size() + size - 8, fill);
  };
  const std::string ftyp(
      "\0\0\0\x14"
      "ftypqt  \0\0\0\0qt  ",
      20);
  std::vector<uint8_t> movie(ftyp.begin(), ftyp.end());
  box(&movie, "mdat", media_bytes, 0x77);
  box(&movie, "moov", 700, 0x33);
  return movie;
}

TEST_F(DeepScanTest, StructureInsideAMeasuredFileEndsItWhereverThePassMeetsIt) {
  // One movie with an NTFS index block deep inside (past the pass's first 64 KiB window),
  // one without: the first ends at the block, the second keeps its measured length, and
  // the sectors after the first are examined again (a PNG planted right after the block).
  PlantedImage image(4096, 21);
  std::vector<uint8_t> cut = BoxChainMovie(400 * 512);
  std::copy_n("INDX(", 5, cut.begin() + 300 * 512);
  image.Plant(10, cut);
  image.Plant(10 + 301, testing::SampleContent("png", 3000, 4));
  const std::vector<uint8_t> whole = BoxChainMovie(100 * 512);
  image.Plant(2000, whole);
  image.Open();
  const std::string path = dir_ + "/movies.img";
  fs::copy_file(image.Path(), path);
  auto engine = OpenDeep(path);
  ASSERT_NE(engine, nullptr);
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  ScanRecordList records;
  engine->GetFilesByType(AllFilter(), &records);
  std::map<uint64_t, uint64_t> size_at;
  for (const auto& record : records) size_at[record.location] = record.size;
  EXPECT_EQ(size_at[10], 300u * 512);
  EXPECT_EQ(size_at.count(311), 1u);
  EXPECT_EQ(size_at[2000], whole.size());
}

// Files of a volume that was formatted again, by name from the metadata engines.
class FormattedVolumeTest : public DeepScanTest {
 protected:
  struct Found {
    std::set<std::string> named;     // file names the metadata engines list
    std::vector<ScanRecord> carved;  // what the signature engine adds
    std::vector<ScanRecord> metadata;
  };
  Found ListAll(CProfessionalRecovery& engine) {
    Found found;
    ScanRecordList records;
    engine.GetFilesByType(AllFilter(), &records);
    for (const auto& r : records) {
      if (r.source_kind == kSourceSignature) {
        found.carved.push_back(r);
      } else {
        found.named.insert(std::string(RecordName(r)));
        found.metadata.push_back(r);
      }
    }
    return found;
  }
  // No carved file starts where a listed named file of the same extension starts.
  void ExpectNoCarvedDuplicates(CProfessionalRecovery& engine, const Found& found,
                                SectorReader* source) {
    std::set<std::pair<uint64_t, std::string>> starts;
    for (const auto& r : found.metadata) {
      uint64_t sector = 0;
      if (MetadataRecordDataSector(r, source, 512, &sector)) {
        starts.insert({sector, AsciiLower(ExtensionOf(RecordName(r)))});
      }
    }
    ASSERT_FALSE(starts.empty());
    for (const auto& c : found.carved) {
      EXPECT_EQ(starts.count({c.location, AsciiLower(ExtensionOf(RecordName(c)))}), 0u)
          << RecordName(c);
    }
  }
};

TEST_F(FormattedVolumeTest, QuickFormattedNtfsGivesBackTheOldFilesByName) {
  if (!testing::NtfsBuilderAvailable()) GTEST_SKIP() << "mkntfs or libntfs-3g is not available";
  const std::string image = dir_ + "/ntfs.img";
  std::vector<std::string> names;
  {
    testing::NtfsVolumeBuilder ntfs(image, 48 << 20);
    ntfs.MakeDirectory("/photos/2024");
    ntfs.MakeDirectory("/docs");
    for (int i = 0; i < 120; ++i) {
      const char* kinds[] = {"jpg", "png", "pdf", "gif"};
      const std::string kind = kinds[i % 4];
      const std::string folder = i % 2 ? "/photos/2024" : "/docs";
      const std::string name = "old_" + std::to_string(i) + "." + kind;
      ntfs.AddFile(folder + "/" + name, testing::SampleContent(kind, 6000 + i * 97, i));
      names.push_back(name);
    }
    ntfs.Finish();
  }
  std::string output;
  ASSERT_EQ(testing::RunCommand("mkntfs -F -Q -q -s 512 -c 4096 " + image + " 2>&1", &output), 0)
      << output;

  auto engine = OpenDeep(image);
  ASSERT_NE(engine, nullptr);
  ASSERT_NE(engine->QuickEngine(), nullptr);  // the new, empty NTFS volume
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  const Found found = ListAll(*engine);
  size_t by_name = 0;
  for (const auto& name : names) by_name += found.named.count(name);
  std::printf("quick-formatted NTFS: %zu of %zu old files by name, %llu carved, %zu listed extra\n",
              by_name, names.size(),
              static_cast<unsigned long long>(engine->SignatureEngine().GetRecordCount()),
              found.carved.size());
  // The old files' data lie in free space and were carved as well; the listing drops those.
  EXPECT_GE(engine->SignatureEngine().GetRecordCount(), names.size() / 2);
  // The new MFT covers the first records of the old one; the records after it survive.
  EXPECT_GE(by_name, names.size() * 3 / 4);
  SectorReader source;
  ASSERT_EQ(OpenImageFile(&source, image), kSuccess);
  ExpectNoCarvedDuplicates(*engine, found, &source);
}

TEST_F(FormattedVolumeTest, ReformattedFat32GivesBackTheOldFilesByName) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not available";
  const std::string image = dir_ + "/fat32.img";
  std::vector<std::string> names;
  {
    testing::FatVolumeBuilder fat(image, 32, 64 << 20);
    fat.MakeDirectory("/Pictures/Holiday");
    fat.MakeDirectory("/Papers");
    for (int i = 0; i < 80; ++i) {
      const char* kinds[] = {"jpg", "png", "pdf", "gif"};
      const std::string kind = kinds[i % 4];
      const std::string folder = i % 2 ? "/Pictures/Holiday" : "/Papers";
      const std::string name = "Old File " + std::to_string(i) + "." + kind;
      fat.AddFile(folder + "/" + name, testing::SampleContent(kind, 5000 + i * 131, i));
      names.push_back(name);
    }
    fat.Finish();
  }
  std::string output;
  ASSERT_EQ(testing::RunCommand("mkfs.fat -F 32 -n NEWVOL " + image + " 2>&1", &output), 0)
      << output;

  auto engine = OpenDeep(image);
  ASSERT_NE(engine, nullptr);
  ASSERT_NE(engine->QuickEngine(), nullptr);
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  const Found found = ListAll(*engine);
  size_t by_name = 0;
  for (const auto& name : names) by_name += found.named.count(name);
  std::printf("re-formatted FAT32: %zu of %zu old files by name, %llu carved, %zu listed extra\n",
              by_name, names.size(),
              static_cast<unsigned long long>(engine->SignatureEngine().GetRecordCount()),
              found.carved.size());
  EXPECT_GE(engine->SignatureEngine().GetRecordCount(), names.size() / 2);
  EXPECT_EQ(by_name, names.size());
  SectorReader source;
  ASSERT_EQ(OpenImageFile(&source, image), kSuccess);
  ExpectNoCarvedDuplicates(*engine, found, &source);

  // Recovered by name, byte for byte.
  ScanRecordList records;
  engine->GetFilesByType(AllFilter(), &records);
  int checked = 0;
  for (const auto& r : records) {
    if (r.source_kind == kSourceSignature || std::string(RecordName(r)) != "Old File 7.gif")
      continue;
    const std::string target = dir_ + "/out/7.gif";
    ASSERT_EQ(engine->RecoverFile(r, target, 0), kSuccess);
    EXPECT_EQ(testing::ReadWholeFile(target), testing::SampleContent("gif", 5000 + 7 * 131, 7));
    ++checked;
  }
  EXPECT_EQ(checked, 1);
}

TEST_F(DeepScanTest, WholeDiskImageGivesResults) {
  const std::string packed = testing::SharedTestData("sleuthkit/imageformat_mmls_1.raw.gz");
  if (packed.empty())
    GTEST_SKIP() << "shared test data sleuthkit/imageformat_mmls_1.raw.gz is not present";
  const std::string image = dir_ + "/disk.raw";
  ASSERT_EQ(testing::RunCommand("gunzip -c '" + packed + "' > '" + image + "'"), 0);
  auto engine = OpenDeep(image);
  ASSERT_NE(engine, nullptr);
  EXPECT_EQ(engine->QuickEngine(), nullptr);  // a partition table, not a volume
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  EXPECT_EQ(engine->ProcessedSectors(), engine->TotalSectors());
  const auto listed = Listing(*engine);
  std::map<uint32_t, size_t> per_kind;
  for (const auto& entry : listed) ++per_kind[std::get<0>(entry)];
  std::printf("whole-disk image: %zu files (NTFS deep %zu, FAT deep %zu, carved %zu)\n",
              listed.size(), per_kind[kSourceNtfsDeep], per_kind[kSourceFatDeep],
              per_kind[kSourceSignature]);
  EXPECT_FALSE(listed.empty());
}

TEST_F(FormattedVolumeTest, StoppedScanOfAFormattedVolumeResumesToTheSameResult) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not available";
  const std::string image = dir_ + "/fat32.img";
  {
    testing::FatVolumeBuilder fat(image, 32, 64 << 20);
    for (int d = 0; d < 6; ++d) fat.MakeDirectory("/Folder " + std::to_string(d) + "/Sub");
    for (int i = 0; i < 90; ++i) {
      const char* kinds[] = {"jpg", "png", "pdf", "gif", "zip"};
      const std::string kind = kinds[i % 5];
      const std::string folder = "/Folder " + std::to_string(i % 6) + (i % 4 ? "/Sub" : "");
      fat.AddFile(folder + "/File " + std::to_string(i) + "." + kind,
                  testing::SampleContent(kind, 20000 + i * 3001, i));
    }
    fat.Finish();
  }
  ASSERT_EQ(testing::RunCommand("mkfs.fat -F 32 -n NEWVOL " + image + " >/dev/null"), 0);
  // A few live files on the new volume, so that the pass reads only the free runs.
  ASSERT_EQ(testing::RunCommand("head -c 300000 /dev/urandom > " + dir_ + "/live.bin && mcopy -i " +
                                image + " " + dir_ + "/live.bin ::/live.bin"),
            0);
  std::vector<Listed> expected;
  {
    auto engine = OpenDeep(image);
    ASSERT_EQ(engine->Scan(nullptr), kSuccess);
    EXPECT_LT(engine->TotalSectors(), 64u * 2048);  // free-range mode
    expected = Listing(*engine);
  }
  // The live file took the clusters of some old folders; their files come back carved.
  size_t named = 0;
  for (const auto& entry : expected) named += std::get<0>(entry) == kSourceFatDeep;
  EXPECT_GT(named, 0u);
  EXPECT_GE(expected.size(), 60u);
  // Stopped at the pass's first report the metadata walk beside it is still going: it is
  // stopped too and walked again on resume, never taken as whole.
  for (const uint64_t stop_at : {0, 40}) {
    const std::string stopped = dir_ + "/stopped-" + std::to_string(stop_at) + ".img";
    fs::copy_file(image, stopped);
    {
      auto engine = OpenDeep(stopped);
      PassWatch watch;
      watch.stop_at_percent = stop_at;
      engine->SetScanCallback(&WatchProgress, nullptr, &watch, 100);
      ASSERT_EQ(engine->Scan(nullptr), kCancelledByUser);
    }
    ScanIndex::ResetInstance();
    auto engine = OpenDeep(stopped);
    ASSERT_TRUE(engine->Resuming()) << stop_at;
    ASSERT_EQ(engine->Scan(nullptr), kSuccess);
    EXPECT_EQ(Listing(*engine), expected) << stop_at;
  }
}

// Counts what is read through it before a given offset, for the resume below.
class CountingSource : public ByteSource {
 public:
  explicit CountingSource(std::vector<uint8_t> bytes)
      : inner_(MakeMemorySource(std::move(bytes))) {}
  uint64_t Size() const override { return inner_->Size(); }
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    if (offset < below_) read_below_ += std::min<uint64_t>(length, below_ - offset);
    return inner_->ReadAt(offset, buffer, length, got);
  }
  std::string KindName() const override { return "memory"; }
  uint64_t below_ = 0;
  uint64_t read_below_ = 0;

 private:
  std::shared_ptr<ByteSource> inner_;
};

// A resumed scan hands the metadata engines the directory sectors the pass had met, read where
// they lie, and reads on from the saved point: the part before it is not walked again.
TEST_F(FormattedVolumeTest, ResumedScanReadsOnFromTheSavedPointAndEndsTheSame) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not available";
  const std::string image = dir_ + "/fat32.img";
  {
    testing::FatVolumeBuilder fat(image, 32, 64 << 20);
    for (int d = 0; d < 8; ++d) fat.MakeDirectory("/Folder " + std::to_string(d));
    for (int i = 0; i < 120; ++i) {
      // Types whose end is known exactly: no length search reads ahead of the pass.
      const char* kinds[] = {"jpg", "png", "gif"};
      const std::string kind = kinds[i % 3];
      fat.AddFile("/Folder " + std::to_string(i % 8) + "/File " + std::to_string(i) + "." + kind,
                  testing::SampleContent(kind, 15000 + i * 2111, i));
    }
    fat.Finish();
  }
  ASSERT_EQ(testing::RunCommand("mkfs.fat -F 32 -n NEWVOL " + image + " >/dev/null"), 0);
  std::vector<Listed> expected;
  {
    auto engine = OpenDeep(image);
    ASSERT_EQ(engine->Scan(nullptr), kSuccess);
    expected = Listing(*engine);
  }
  size_t named = 0;
  for (const auto& entry : expected) named += std::get<0>(entry) == kSourceFatDeep;
  ASSERT_GT(named, 20u) << "the old folders are found by their directory sectors";

  auto counting = std::make_shared<CountingSource>(testing::ReadWholeFile(image));
  NamedSource source(counting);
  {
    auto engine = OpenDeep(source.Name());
    ASSERT_NE(engine, nullptr);
    engine->SetCheckpointInterval(0);
    PassWatch watch;
    watch.stop_at_percent = 60;
    watch.after_walk = engine.get();
    engine->SetScanCallback(&WatchProgress, nullptr, &watch, 100);
    ASSERT_EQ(engine->Scan(nullptr), kCancelledByUser);
  }
  ScanIndex::ResetInstance();
  auto engine = OpenDeep(source.Name());
  ASSERT_TRUE(engine->Resuming());
  const uint64_t* saved = engine->SavedState().resume;
  const uint64_t position =
      saved[CProfessionalRecovery::kRangePosition] + saved[CProfessionalRecovery::kRangeOffset];
  ASSERT_GT(position, 16384u) << "the pass got past the first 8 MiB";
  counting->below_ = position * 512;
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  EXPECT_EQ(Listing(*engine), expected);
  // Before the saved point only the allocation table, the directory sectors met so far and
  // the first clusters of the files they name (their content checks) are read; a walk from
  // the start would read all of it again.
  EXPECT_LT(counting->read_below_, counting->below_ / 3)
      << counting->read_below_ << " bytes read before the saved point of " << counting->below_;
}

// A partition of a numbered disk: sectors are absolute on the disk, ranges relative to
// the partition, and the saved state is keyed by disk number, start and count.
TEST_F(FormattedVolumeTest, PartitionOfADiskIsScannedAndResumedByItsPlace) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not available";
  const std::string volume = dir_ + "/fat.img";
  {
    testing::FatVolumeBuilder fat(volume, 32, 40 << 20);
    fat.MakeDirectory("/Kept");
    for (int i = 0; i < 12; ++i) {
      fat.AddFile("/Kept/Picture " + std::to_string(i) + ".png",
                  testing::SampleContent("png", 9000 + i * 500, i));
    }
    fat.Delete("/Kept/Picture 3.png");
    fat.Finish();
  }
  const std::string disk = dir_ + "/disk.img";
  const uint64_t start = 4096;
  testing::WriteMbrDisk(disk, 4096 + 40 * 2048 + 2048,
                        {{start, 40 * 2048, testing::kMbrTypeFat32Lba, volume}});
  constexpr int kDisk = 77;
  platform::RegisterPhysicalDrive(kDisk, disk);
  const uint64_t count = 40 * 2048;
  auto open = [&] {
    auto engine = CreateEngineForPartition(kDisk, static_cast<uint32_t>(start), 0,
                                           static_cast<uint32_t>(count), 0, u'E', true);
    auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.release());
    return std::unique_ptr<CProfessionalRecovery>(deep);
  };
  std::vector<Listed> expected;
  {
    auto engine = open();
    ASSERT_NE(engine, nullptr);
    ASSERT_NE(engine->QuickEngine(), nullptr);
    PassWatch watch;
    watch.stop_at_percent = 40;
    engine->SetScanCallback(&WatchProgress, nullptr, &watch, 100);
    ASSERT_EQ(engine->Scan(nullptr), kCancelledByUser);
  }
  ScanIndex::ResetInstance();
  auto engine = open();
  ASSERT_TRUE(engine->Resuming());
  EXPECT_EQ(engine->SavedState().disk_number, kDisk);
  EXPECT_EQ(engine->SavedState().first_sector, start);
  EXPECT_EQ(engine->SavedState().sector_count, count);
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  ScanRecordList records;
  engine->GetFilesByType(AllFilter(), &records);
  bool deleted_found = false;
  for (const auto& r : records) {
    EXPECT_EQ(r.drive_tag, u'E');
    if (r.source_kind == kSourceSignature) {
      EXPECT_GE(r.location, start);  // absolute on the disk
      EXPECT_EQ(std::string(RecordName(r)), std::to_string(r.location) + ".png");
    }
    if (std::string(RecordName(r)) == "Picture 3.png") {
      deleted_found = true;
      const std::string target = dir_ + "/out/p3.png";
      ASSERT_EQ(engine->RecoverFile(r, target, 0), kSuccess);
      EXPECT_EQ(testing::ReadWholeFile(target), testing::SampleContent("png", 9000 + 3 * 500, 3));
    }
  }
  EXPECT_TRUE(deleted_found);
  platform::ForgetPhysicalDrive(kDisk);
}

// The ext placeholder knows no free clusters: its partition is read whole.
TEST_F(DeepScanTest, ExtPartitionIsReadWhole) {
  if (!testing::ToolAvailable("mke2fs")) GTEST_SKIP() << "mke2fs is not available";
  const std::string image = dir_ + "/ext.img";
  ASSERT_EQ(testing::RunCommand("truncate -s 16M " + image + " && mke2fs -q -F -t ext4 " + image),
            0);
  const auto png = testing::SampleContent("png", 7000, 3);
  {
    std::fstream out(image, std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(30000 * 512);
    out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  }
  auto engine = OpenDeep(image);
  ASSERT_NE(engine, nullptr);
  ASSERT_NE(engine->QuickEngine(), nullptr);
  ASSERT_EQ(engine->Scan(nullptr), kSuccess);
  EXPECT_EQ(engine->TotalSectors(), 32768u);
  EXPECT_EQ(engine->ProcessedSectors(), 32768u);
  ScanRecordList records;
  engine->GetFilesByType(AllFilter(), &records);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::string(RecordName(records[0])), "30000.png");
  EXPECT_EQ(records[0].size, png.size());
}

}  // namespace
}  // namespace velmora
