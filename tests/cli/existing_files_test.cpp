// list --all and recover --all on real volumes: every live and deleted file listed once, in
// the state the volume gives it, and copied out byte for byte; the plain listing unchanged.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"
#include "support/volume_truth.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

nlohmann::json RunJson(const std::string& arguments, int expected_status = 0) {
  std::string out;
  EXPECT_EQ(testing::RunCommand(testing::VelmoraBinary() + " " + arguments + " 2>/dev/null", &out),
            expected_status)
      << arguments;
  return nlohmann::json::parse(out, nullptr, false);
}

std::string FullPath(const nlohmann::json& file) {
  const std::string folder = file["path"];
  return "/" + (folder.empty() ? "" : folder + "/") + file["name"].get<std::string>();
}

std::string Sha256OfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return testing::Sha256Hex(std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {}));
}

// Lists and recovers `image` with --all and checks both against what the volume holds.
void CheckEveryFile(const std::string& image, const testing::VolumeTruth& truth,
                    const std::string& work) {
  const std::string source = testing::ShellQuote(image);
  const nlohmann::json plain = RunJson("list " + source + " --json");
  const nlohmann::json all = RunJson("list " + source + " --all --json");
  ASSERT_TRUE(plain.is_array());
  ASSERT_TRUE(all.is_array());

  // Live files: each exactly once, under its own path, marked live and intact.
  std::map<std::string, int> live_seen;
  std::set<uint64_t> deleted_ids;
  for (const nlohmann::json& file : all) {
    ASSERT_TRUE(file.contains("entry"));
    if (file["entry"] == "live") {
      ++live_seen[FullPath(file)];
      EXPECT_EQ(file["state"], "intact") << FullPath(file);
    } else {
      EXPECT_EQ(file["entry"], "deleted") << FullPath(file);
      deleted_ids.insert(file["id"].get<uint64_t>());
    }
  }
  size_t live_files = 0;
  for (const testing::TruthEntry* entry : truth.Files()) {
    if (entry->deleted) continue;
    ++live_files;
    EXPECT_EQ(live_seen[entry->path], 1) << entry->path;
  }
  EXPECT_EQ(live_seen.size(), live_files);

  // Without --all: the deleted files alone, under the same ids, and no entry field.
  std::set<uint64_t> plain_ids;
  for (const nlohmann::json& file : plain) {
    EXPECT_FALSE(file.contains("entry"));
    plain_ids.insert(file["id"].get<uint64_t>());
  }
  EXPECT_EQ(plain_ids, deleted_ids);

  // Every listed file comes back; live ones and intact deleted ones byte for byte.
  // A deleted file whose clusters went to another file may fail; a live one never does.
  const std::string out = work + "/out";
  std::string text;
  testing::RunCommand(testing::VelmoraBinary() + " recover " + source +
                          " --all --keep-paths --quiet --json --to " + testing::ShellQuote(out) +
                          " 2>/dev/null",
                      &text);
  const nlohmann::json run = nlohmann::json::parse(text, nullptr, false);
  ASSERT_TRUE(run.is_object()) << text;
  EXPECT_EQ(run["processed"].get<size_t>(), all.size());
  std::map<std::string, std::string> sha_by_output;
  for (const nlohmann::json& file : run["files"]) {
    if (!file["error"].is_null()) {
      EXPECT_TRUE(deleted_ids.count(file["id"].get<uint64_t>())) << file.dump();
      continue;
    }
    sha_by_output[file["source_path"].get<std::string>()] =
        Sha256OfFile(file["output"].get<std::string>());
  }
  std::multiset<std::string> recovered;
  for (const auto& [path, sha] : sha_by_output) recovered.insert(sha);
  for (const testing::TruthEntry* entry : truth.Files()) {
    if (!entry->deleted) {
      const std::string relative = entry->path.substr(1);
      ASSERT_TRUE(sha_by_output.count(relative)) << entry->path;
      EXPECT_EQ(sha_by_output[relative], entry->sha256) << entry->path;
    } else if (entry->data_intact && !entry->record_reused) {
      EXPECT_TRUE(recovered.count(entry->sha256)) << entry->path;
    }
  }

  // cat takes the id of a live file that list --all showed, as recover does.
  for (const nlohmann::json& file : all) {
    if (file["entry"] != "live" || file["is_dir"].get<bool>()) continue;
    const testing::TruthEntry* entry = truth.Find(FullPath(file));
    if (entry == nullptr) continue;
    const std::string copy = work + "/cat-copy";
    ASSERT_EQ(testing::RunCommand(testing::VelmoraBinary() + " cat " + source + " --id " +
                                      std::to_string(file["id"].get<uint64_t>()) + " > " +
                                      testing::ShellQuote(copy) + " 2>/dev/null",
                                  &text),
              0)
        << FullPath(file);
    EXPECT_EQ(Sha256OfFile(copy), entry->sha256) << FullPath(file);
    break;
  }
}

TEST(ExistingFilesTest, NtfsListsAndRecoversLiveAndDeletedFiles) {
  if (!testing::NtfsBuilderAvailable()) GTEST_SKIP() << "libntfs-3g or mkntfs missing";
  testing::ScopedDataDir data;
  const std::string work = testing::MakeTempDir("existing-ntfs");
  const std::string image = work + "/ntfs.img";
  testing::VolumeTruth truth;
  {
    testing::NtfsVolumeBuilder ntfs(image, 32 << 20);
    ntfs.MakeDirectory("/docs/inner");
    ntfs.MakeDirectory("/only live");
    ntfs.AddFile("/docs/photo.jpg", testing::SampleContent("jpg", 40000, 1));
    ntfs.AddFile("/docs/inner/note.txt", testing::RandomText(300, 2));  // resident
    ntfs.AddFile("/docs/inner/note.txt:meta", testing::RandomBytes(100, 3));
    ntfs.AddFile("/only live/data.bin", testing::RandomBytes(70000, 4));
    ntfs.AddFragmentedFile("/frag.bin", testing::RandomBytes(90000, 5), 3);
    ntfs.AddFile("/docs/gone.pdf", testing::SampleContent("pdf", 20000, 6));
    ntfs.AddFile("/gone.bin", testing::RandomBytes(30000, 7));
    ntfs.Delete("/docs/gone.pdf");
    ntfs.Delete("/gone.bin");
    truth = ntfs.Finish();
  }
  CheckEveryFile(image, truth, work);
  testing::RemoveTree(work);
}

TEST(ExistingFilesTest, DeepScanOfAnUnmountableNtfsVolumeMarksLiveFiles) {
  if (!testing::NtfsBuilderAvailable()) GTEST_SKIP() << "libntfs-3g or mkntfs missing";
  testing::ScopedDataDir data;
  const std::string work = testing::MakeTempDir("existing-deep");
  const std::string image = work + "/ntfs.img";
  testing::VolumeTruth truth;
  {
    testing::NtfsVolumeBuilder ntfs(image, 16 << 20);
    ntfs.MakeDirectory("/docs");
    ntfs.AddFile("/docs/live.bin", testing::RandomBytes(50000, 1));
    ntfs.AddFile("/docs/gone.bin", testing::RandomBytes(20000, 2));
    ntfs.Delete("/docs/gone.bin");
    truth = ntfs.Finish();
  }
  // Without its boot sector the volume no longer mounts; the deep scan still finds the MFT.
  {
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    const std::vector<char> zeros(512, 0);
    file.write(zeros.data(), static_cast<std::streamsize>(zeros.size()));
  }
  const std::string source = testing::ShellQuote(image);
  const nlohmann::json all = RunJson("list " + source + " --deep --all --json");
  ASSERT_TRUE(all.is_array());
  std::map<std::string, std::string> entries;
  for (const nlohmann::json& file : all) entries[FullPath(file)] = file["entry"];
  EXPECT_EQ(entries["/docs/live.bin"], "live");
  EXPECT_EQ(entries["/docs/gone.bin"], "deleted");
  for (const nlohmann::json& file : RunJson("list " + source + " --deep --json")) {
    EXPECT_FALSE(file.contains("entry"));
  }
  const std::string out = work + "/out";
  const nlohmann::json run =
      RunJson("recover " + source + " --deep --all --keep-paths --quiet --json --to " +
              testing::ShellQuote(out));
  ASSERT_TRUE(run.is_object());
  bool live_recovered = false;
  for (const nlohmann::json& file : run["files"]) {
    if (file["source_path"] != "docs/live.bin") continue;
    live_recovered = Sha256OfFile(file["output"]) == truth.Find("/docs/live.bin")->sha256;
  }
  EXPECT_TRUE(live_recovered);
  testing::RemoveTree(work);
}

TEST(ExistingFilesTest, FatListsAndRecoversLiveAndDeletedFiles) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  for (const int bits : {16, 32}) {
    SCOPED_TRACE(bits);
    testing::ScopedDataDir data;
    const std::string work = testing::MakeTempDir("existing-fat");
    const std::string image = work + "/fat.img";
    testing::VolumeTruth truth;
    {
      testing::FatVolumeBuilder fat(image, bits, bits == 32 ? 64 << 20 : 16 << 20);
      fat.MakeDirectory("/Docs/Inner");
      fat.MakeDirectory("/Only Live");
      fat.AddFile("/Docs/photo.jpg", testing::SampleContent("jpg", 40000, 1));
      fat.AddFile("/Docs/Inner/note.txt", testing::RandomText(3000, 2));
      fat.AddFile("/Only Live/data.bin", testing::RandomBytes(70000, 4));
      fat.AddFragmentedFile("/frag.bin", testing::RandomBytes(90000, 5), 3);
      fat.AddFile("/Docs/gone.pdf", testing::SampleContent("pdf", 20000, 6));
      fat.AddFile("/gone.bin", testing::RandomBytes(30000, 7));
      fat.Delete("/Docs/gone.pdf");
      fat.Delete("/gone.bin");
      truth = fat.Finish();
    }
    CheckEveryFile(image, truth, work);
    testing::RemoveTree(work);
  }
}

TEST(ExistingFilesTest, OlderResultAsksForARescanInsteadOfListingDeletedFilesOnly) {
  if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
  testing::ScopedDataDir data;
  const std::string work = testing::MakeTempDir("existing-old");
  const std::string image = work + "/fat.img";
  {
    testing::FatVolumeBuilder fat(image, 16, 16 << 20);
    fat.AddFile("/keep.txt", testing::RandomText(2000, 1));
    fat.AddFile("/gone.txt", testing::RandomText(2000, 2));
    fat.Delete("/gone.txt");
    fat.Finish();
  }
  const std::string source = testing::ShellQuote(image);
  ASSERT_EQ(RunJson("list " + source + " --json").size(), 1u);
  // A result saved before existing files were recorded has no stamp saying it holds them.
  size_t stamps = 0;
  for (const auto& item : fs::recursive_directory_iterator(data.Path())) {
    if (item.path().filename() == ".existing_files") stamps += fs::remove(item.path()) ? 1 : 0;
  }
  ASSERT_EQ(stamps, 1u);
  std::string out;
  EXPECT_EQ(testing::RunCommand(testing::VelmoraBinary() + " list " + source + " --all 2>&1", &out),
            1);
  EXPECT_NE(out.find("scan again"), std::string::npos) << out;
  EXPECT_EQ(testing::RunCommand(testing::VelmoraBinary() + " recover " + source + " --all --to " +
                                    testing::ShellQuote(work + "/out") + " 2>&1",
                                &out),
            1);
  EXPECT_FALSE(fs::exists(work + "/out/velmora-recovered.json"));
  // The plain listing still serves the saved result; a new scan makes --all work.
  EXPECT_EQ(RunJson("list " + source + " --json").size(), 1u);
  ASSERT_EQ(testing::RunCommand(testing::VelmoraBinary() + " scan " + source + " >/dev/null 2>&1"),
            0);
  EXPECT_EQ(RunJson("list " + source + " --all --json").size(), 2u);
  testing::RemoveTree(work);
}

}  // namespace
}  // namespace velmora
