// The deep NTFS engine over real volumes made by mkntfs and libntfs-3g.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>

#include "deep_scan_driver.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "ntfs/deep_ntfs_recovery.h"
#include "ntfs_test_helpers.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"
#include "support/content_gen.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::NtfsVolumeBuilder;
using testing::RandomBytes;
using testing::TruthEntry;
using testing::VolumeTruth;

constexpr uint64_t kMiB = 1024 * 1024;

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// Every record of the engine's log by "folder/name" ("folder/" for folders).
std::multimap<std::string, ScanRecord> RecordsByPath(CProfessionalNtfsRecovery* engine) {
  std::multimap<std::string, ScanRecord> out;
  ScanLogStore* store = engine->Store();
  EXPECT_EQ(store->Flush(), kSuccess);
  for (uint32_t i = 1; i <= store->GetRecordCount(); ++i) {
    ScanRecord record;
    if (store->ReadRecord(i, &record) != kSuccess) continue;
    std::string folder;
    engine->GetFullPath(record, &folder);
    out.emplace(folder + std::string(RecordName(record)) + (record.is_directory ? "/" : ""),
                record);
  }
  return out;
}

// "/a/b.txt" -> "a/b.txt", folders with a trailing "/".
std::string KeyOf(const TruthEntry& entry) {
  return entry.path.substr(1) + (entry.is_dir ? "/" : "");
}

// Folders, files in folders, a resident file, a fragmented and a compressed one,
// and a deleted folder with its file.
VolumeTruth BuildTree(const std::string& image, uint64_t size, uint32_t cluster, uint64_t seed) {
  NtfsVolumeBuilder ntfs(image, size, {.cluster_size = cluster});
  ntfs.MakeDirectory("/docs/deep");
  ntfs.MakeDirectory("/pics");
  ntfs.AddFile("/docs/notes.txt", testing::RandomText(300, seed + 1));
  ntfs.AddFile("/docs/deep/report.pdf", testing::SampleContent("pdf", 150000, seed + 2));
  ntfs.AddFile("/pics/photo.jpg", testing::SampleContent("jpg", 70000, seed + 3));
  ntfs.AddFragmentedFile("/docs/frag.bin", RandomBytes(90000, seed + 4), 3);
  ntfs.AddCompressedFile("/docs/packed.txt", testing::RandomText(60000, seed + 5));
  ntfs.AddFile("/top.bin", RandomBytes(9000, seed + 6));
  ntfs.MakeDirectory("/old");
  ntfs.AddFile("/old/gone.bin", RandomBytes(20000, seed + 7));
  ntfs.DeleteTree("/old");
  return ntfs.Finish();
}

class DeepNtfsVolumeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::NtfsBuilderAvailable()) GTEST_SKIP() << "mkntfs or libntfs-3g missing";
    folder_ = testing::MakeTempDir("ntfsdeep");
    image_ = folder_ + "/disk.img";
  }
  void TearDown() override {
    if (!folder_.empty()) testing::RemoveTree(folder_);
  }

  // Recovers `record` to a fresh path and returns the bytes written.
  std::vector<uint8_t> Recover(CProfessionalNtfsRecovery* engine, const ScanRecord& record) {
    const std::string out =
        folder_ + "/out" + std::to_string(++recovered_) + "/" + std::string(RecordName(record));
    EXPECT_EQ(engine->RecoverFile(record, out, 0), kSuccess) << RecordName(record);
    return ReadWholeFile(out);
  }

  // Every file and folder of the truth whose record survived is found at its
  // path; files whose data survived come back byte for byte.
  void ExpectTruthFound(CProfessionalNtfsRecovery* engine, const VolumeTruth& truth,
                        const std::multimap<std::string, ScanRecord>& found, uint64_t volume_start,
                        int32_t cluster_size, size_t* checked) {
    for (const TruthEntry& entry : truth.entries) {
      if (entry.path == "/" || !entry.stream.empty() || entry.record_reused) continue;
      const ScanRecord* match = nullptr;
      const auto range = found.equal_range(KeyOf(entry));
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second.partition_start == volume_start) match = &it->second;
      }
      ASSERT_NE(match, nullptr) << "missing " << entry.path << " of volume at " << volume_start;
      EXPECT_EQ(match->source_kind, kSourceNtfsDeep);
      EXPECT_EQ(match->cluster_size, cluster_size) << entry.path;
      if (entry.is_dir || !entry.data_intact) continue;
      EXPECT_EQ(match->size, entry.size) << entry.path;
      EXPECT_EQ(testing::Md5Hex(Recover(engine, *match)), entry.md5) << entry.path;
      ++*checked;
    }
  }

  testing::ScopedDataDir data_dir_;
  std::string folder_;
  std::string image_;
  int recovered_ = 0;
};

TEST_F(DeepNtfsVolumeTest, QuickFormattedVolumeGivesBackItsFilesWithNamesAndFolders) {
  const uint64_t size = 32 * kMiB;
  const VolumeTruth truth = BuildTree(image_, size, 4096, 10);
  // A new, empty volume on top: the old records and data stay where they were.
  ASSERT_EQ(testing::RunCommand("mkntfs -F -Q -q -s 512 -c 4096 '" + image_ + "' >/dev/null 2>&1"),
            0);

  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image_, u'Z'), kSuccess);
  EXPECT_EQ(engine.MftMap().Size(), 1u);  // the new volume's own MFT, from its boot sector
  EXPECT_EQ(engine.ClusterEstimate(), 8u);
  ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image_, 0, size / 512), kSuccess);

  const auto found = RecordsByPath(&engine);
  size_t checked = 0;
  ExpectTruthFound(&engine, truth, found, 0, 4096, &checked);
  EXPECT_GE(checked, 7u);
  ASSERT_TRUE(found.count("old/gone.bin"));  // deleted with its folder, found all the same
  // Only user files: the new volume's metadata files are not reported.
  for (const auto& [path, record] : found) EXPECT_NE(RecordName(record)[0], '$') << path;
}

TEST_F(DeepNtfsVolumeTest, FolderRecoveryRebuildsTheTreeBelowIt) {
  const uint64_t size = 24 * kMiB;
  const VolumeTruth truth = BuildTree(image_, size, 4096, 20);
  ASSERT_EQ(testing::RunCommand("mkntfs -F -Q -q -s 512 -c 4096 '" + image_ + "' >/dev/null 2>&1"),
            0);
  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image_, u'Z'), kSuccess);
  ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image_, 0, size / 512), kSuccess);
  const auto found = RecordsByPath(&engine);
  ASSERT_EQ(found.count("docs/"), 1u);
  const std::string out = folder_ + "/tree/docs";
  // docs lies at level 1: base depth = slashes in its destination - 1.
  const int base = static_cast<int>(std::count(out.begin(), out.end(), '/')) - 1;
  ASSERT_EQ(engine.RecoverFile(found.find("docs/")->second, out, base), kSuccess);
  EXPECT_EQ(testing::Md5Hex(ReadWholeFile(out + "/notes.txt")), truth.Find("/docs/notes.txt")->md5);
  EXPECT_EQ(testing::Md5Hex(ReadWholeFile(out + "/deep/report.pdf")),
            truth.Find("/docs/deep/report.pdf")->md5);
  EXPECT_EQ(testing::Md5Hex(ReadWholeFile(out + "/packed.txt")),
            truth.Find("/docs/packed.txt")->md5);
}

TEST_F(DeepNtfsVolumeTest, AResumedScanAddsToTheFoldersItAlreadyWrote) {
  const uint64_t size = 24 * kMiB;
  const VolumeTruth truth = BuildTree(image_, size, 4096, 50);
  ASSERT_EQ(testing::RunCommand("mkntfs -F -Q -q -s 512 -c 4096 '" + image_ + "' >/dev/null 2>&1"),
            0);
  // The first part ends in the middle of the old files' records.
  const uint64_t split = 32 + 2 * (truth.Find("/docs/frag.bin")->mft_record);
  std::string log_name;
  {
    CProfessionalNtfsRecovery engine;
    ASSERT_EQ(engine.OpenImage(image_, u'Z'), kSuccess);
    ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image_, 0, split), kSuccess);
    log_name = engine.Store()->LogName();
  }
  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image_, u'Z'), kSuccess);
  ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image_, split, size / 512 - split, log_name.c_str()),
            kSuccess);

  std::map<std::string, int> listed;
  for (const auto& file : testing::WalkTree(&engine)) ++listed[file.Path()];
  for (const TruthEntry& entry : truth.entries) {
    if (entry.is_dir || !entry.stream.empty() || entry.record_reused) continue;
    EXPECT_EQ(listed[entry.path.substr(1)], 1) << entry.path;
  }
  // Each folder has one record, though both parts needed it.
  std::map<std::string, int> folders;
  for (const DirectoryEntry& folder : engine.Store()->Directories()) ++folders[folder.name];
  for (const auto& [name, count] : folders) EXPECT_EQ(count, 1) << name;
  EXPECT_EQ(folders.count("docs"), 1u);
}

TEST_F(DeepNtfsVolumeTest, TwoVolumesOneAfterTheOtherKeepTheirOwnFilesAndFolders) {
  const uint64_t size = 16 * kMiB;
  // Same tree, so the same record numbers, with other contents and cluster sizes.
  const VolumeTruth first = BuildTree(folder_ + "/a.img", size, 4096, 30);
  const VolumeTruth second = BuildTree(folder_ + "/b.img", size, 2048, 40);
  {
    std::ofstream out(image_, std::ios::binary);
    for (const char* part : {"/a.img", "/b.img"}) {
      std::ifstream in(folder_ + part, std::ios::binary);
      out << in.rdbuf();
    }
  }
  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image_, u'Z'), kSuccess);
  ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image_, 0, 2 * size / 512), kSuccess);
  EXPECT_GE(engine.MftMap().Size(), 2u);  // the second one found during the pass

  const auto found = RecordsByPath(&engine);
  size_t checked = 0;
  ExpectTruthFound(&engine, first, found, 0, 4096, &checked);
  ExpectTruthFound(&engine, second, found, size / 512, 2048, &checked);
  EXPECT_GE(checked, 14u);
  // Browsed from the root, every file of the tree is there once per volume.
  std::map<std::string, int> listed;
  for (const auto& file : testing::WalkTree(&engine)) ++listed[file.Path()];
  for (const TruthEntry* file : first.Files()) {
    if (!file->stream.empty() || file->record_reused) continue;
    EXPECT_EQ(listed[file->path.substr(1)], 2) << file->path;
  }
}

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

// Volumes made elsewhere: the pass must end, and every reported file must copy
// out as The Sleuth Kit reads it (its MFT is intact on these images).
void ScanSharedImage(const std::string& relative, size_t expected_files) {
  const std::string image = testing::SharedTestData(relative);
  if (image.empty()) GTEST_SKIP() << "shared test data " << relative << " is absent";
  testing::ScopedDataDir data_dir;
  const std::string out = testing::MakeTempDir("ntfsdeep-shared");
  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'Y'), kSuccess);
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, image), kSuccess);
  ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image, 0, reader.total_sectors), kSuccess);
  const bool compare = testing::ToolAvailable("icat");
  size_t files = 0;
  ScanLogStore* store = engine.Store();
  for (uint32_t i = 1; i <= store->GetRecordCount(); ++i) {
    ScanRecord record;
    ASSERT_EQ(store->ReadRecord(i, &record), kSuccess);
    std::string path;
    EXPECT_EQ(engine.GetFullPath(record, &path), kSuccess);
    if (record.is_directory) continue;
    ++files;
    const std::string target = out + "/" + std::to_string(i);
    ASSERT_EQ(engine.RecoverFile(record, target, 0), kSuccess) << path << RecordName(record);
    if (!compare) continue;
    const std::string reference = target + ".icat";
    ASSERT_EQ(testing::RunCommand("icat '" + image + "' " + std::to_string(record.object_id) +
                                  " > '" + reference + "'"),
              0);
    EXPECT_EQ(ReadWholeFile(target), ReadWholeFile(reference)) << RecordName(record);
  }
  EXPECT_EQ(files, expected_files);
  testing::RemoveTree(out);
}

// Includes ones.bin: compressed, its data in two extension records.
TEST(DeepNtfsSharedImages, VelociraptorTestVolume) {
  ScanSharedImage("velociraptor/test.ntfs.dd", 8);
}
// Includes a sparse file.
TEST(DeepNtfsSharedImages, NtfsCrateTestVolume) { ScanSharedImage("ntfs-rust-crate/testfs1", 4); }

}  // namespace
}  // namespace velmora

namespace velmora {
namespace {

// A volume with 4 KiB MFT records (mkntfs on 4 KiB sectors): the boot sector's
// record size is the one used, for the records handed over and for the parents.
TEST(DeepNtfsRecordSize, TheBootSectorsRecordSizeIsUsed) {
  if (!testing::ToolAvailable("mkntfs") || !testing::ToolAvailable("ntfscp")) {
    GTEST_SKIP() << "ntfs-3g tools missing";
  }
  testing::ScopedDataDir data_dir;
  const std::string dir = testing::MakeTempDir("ntfsdeep-4k");
  const std::string image = dir + "/volume.img";
  const std::string payload = dir + "/payload.bin";
  ASSERT_EQ(testing::RunCommand("truncate -s 64M '" + image + "' && mkntfs -F -q -Q -s 4096 '" +
                                image + "' >/dev/null 2>&1"),
            0);
  std::ofstream(payload, std::ios::binary) << std::string(300000, 'p');
  ASSERT_EQ(testing::RunCommand("ntfscp '" + image + "' '" + payload + "' big.bin >/dev/null"), 0);

  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'Q'), kSuccess);
  EXPECT_EQ(engine.RecordBytes(), 4096u);
  EXPECT_EQ(engine.SectorsPerRecord(), 8u);
  ASSERT_EQ(engine.MftMap().Size(), 1u);
  uint64_t sector = 0;
  ASSERT_TRUE(engine.MftMap().Entries().begin()->second.RecordSector(64, 8, &sector));
  std::vector<uint8_t> record(4096);
  SectorReader reader;
  ASSERT_EQ(OpenImageFile(&reader, image), kSuccess);
  uint32_t got = 0;
  ASSERT_EQ(ReadSectors(&reader, 8, record.data(), sector, 512, &got), kSuccess);

  ASSERT_EQ(engine.OpenDeepLog(nullptr), kSuccess);
  // A 1 KiB window cannot hold this volume's records.
  EXPECT_EQ(engine.HandleFileRecord(std::span<const uint8_t>(record.data(), 1024), sector,
                                    CProfessionalNtfsRecovery::RecordPass::kFirst, 0),
            kErrInvalidParameter);
  ASSERT_EQ(
      engine.HandleFileRecord(record, sector, CProfessionalNtfsRecovery::RecordPass::kFirst, 0),
      kSuccess);
  ASSERT_EQ(engine.FinishDirectories(), kSuccess);
  ScanRecordList root;
  ASSERT_EQ(engine.GetChildren(nullptr, 0, &root), kSuccess);
  ASSERT_EQ(root.size(), 1u);
  EXPECT_EQ(RecordName(root[0]), "big.bin");
  EXPECT_EQ(root[0].size, 300000u);
  EXPECT_EQ(root[0].cluster_size, 4096);
  ASSERT_EQ(engine.RecoverFile(root[0], dir + "/out/big.bin", 0), kSuccess);
  EXPECT_EQ(ReadWholeFile(dir + "/out/big.bin"), ReadWholeFile(payload));
  testing::RemoveTree(dir);
}

// Many named streams push the file's name out of its base record into
// extension records behind a (non-resident) attribute list: the deep engine
// follows the list within the same MFT for the name as for the data.
TEST(DeepNtfsAttributeList, NameInExtensionRecordsIsFollowed) {
  if (!testing::NtfsBuilderAvailable()) GTEST_SKIP() << "mkntfs or libntfs-3g missing";
  testing::ScopedDataDir data_dir;
  const std::string dir = testing::MakeTempDir("ntfsdeep-list");
  const std::string image = dir + "/volume.img";
  const uint64_t size = 64 * kMiB;
  VolumeTruth truth;
  {
    NtfsVolumeBuilder ntfs(image, size);
    ntfs.MakeDirectory("/f");
    ntfs.AddFragmentedFile("/f/many.bin", RandomBytes(40 * 4096, 9), 40);
    for (int i = 0; i < 24; ++i) {
      ntfs.AddFile("/f/many.bin:stream" + std::to_string(i), RandomBytes(120, 100 + i));
    }
    truth = ntfs.Finish();
  }
  ASSERT_EQ(testing::RunCommand("mkntfs -F -Q -q -s 512 -c 4096 '" + image + "' >/dev/null 2>&1"),
            0);
  CProfessionalNtfsRecovery engine;
  ASSERT_EQ(engine.OpenImage(image, u'L'), kSuccess);
  ASSERT_EQ(testing::RunDeepNtfsPass(&engine, image, 0, size / 512), kSuccess);
  const auto found = RecordsByPath(&engine);
  ASSERT_EQ(found.count("f/many.bin"), 1u);
  const ScanRecord& record = found.find("f/many.bin")->second;
  EXPECT_EQ(record.size, 40u * 4096);
  const std::string out = dir + "/out/many.bin";
  ASSERT_EQ(engine.RecoverFile(record, out, 0), kSuccess);
  EXPECT_EQ(testing::Md5Hex(ReadWholeFile(out)), truth.Find("/f/many.bin")->md5);
  testing::RemoveTree(dir);
}

}  // namespace
}  // namespace velmora
