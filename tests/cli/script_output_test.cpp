// What scripts read from the command line: rows on stdout and nothing else, the usual
// argument conventions, clear refusals of sources that are no disk, and times that say
// which clock they are on.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

std::string Velmora() { return testing::VelmoraBinary() + " "; }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string AsText(const std::vector<uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

class ScriptOutputTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
    dir_ = testing::MakeTempDir("script-output");
    image_ = dir_ + "/card.img";
    testing::FatVolumeBuilder fat(image_, 16, 16 << 20);
    fat.SetClock(1717236000);  // 2024-06-01 10:00:00 on the card's clock
    fat.MakeDirectory("/DCIM");
    // Photos and documents side by side, so that any stray number taken for an id lands on
    // a document. Deleted after all are written: a new entry takes the first free slot.
    std::vector<std::string> doomed;
    for (int i = 1; i <= 3; ++i) {
      const auto photo = testing::SampleContent("jpg", 6000 + 1000 * static_cast<size_t>(i), i);
      const auto document =
          testing::SampleContent("pdf", 5000 + 500 * static_cast<size_t>(i), 10 + i);
      const std::string photo_name = "/DCIM/IMG_000" + std::to_string(i) + ".jpg";
      const std::string document_name = "/report" + std::to_string(i) + ".pdf";
      fat.AddFile(photo_name, photo);
      fat.AddFile(document_name, document);
      if (i != 3) {  // the third pair stays live
        doomed.insert(doomed.end(), {photo_name, document_name});
        photos_.insert(AsText(photo));
      }
    }
    for (const std::string& path : doomed) fat.Delete(path);
    (void)fat.Finish();
  }
  void TearDown() override {
    if (!dir_.empty()) testing::RemoveTree(dir_);
  }

  // stdout alone (stderr to a file of its own), and the status.
  int Run(const std::string& arguments, std::string* out, std::string* err = nullptr) {
    const std::string err_file = dir_ + "/stderr.txt";
    const int status =
        testing::RunCommand(Velmora() + arguments + " 2>" + testing::ShellQuote(err_file), out);
    if (err) *err = ReadFile(err_file);
    return status;
  }

  testing::ScopedDataDir data_;
  std::string dir_;
  std::string image_;
  std::set<std::string> photos_;  // contents of the deleted photos
};

TEST_F(ScriptOutputTest, ReadmePipelineRecoversThePhotosAndNothingElse) {
  const std::string image = testing::ShellQuote(image_);
  const std::string out_dir = dir_ + "/rescued";
  std::string output;
  ASSERT_EQ(testing::RunCommand(
                Velmora() + "list " + image +
                    " --type photo 2>/dev/null | awk '$1 ~ /^[0-9]+$/ {print $1}' | " + Velmora() +
                    "recover " + image + " --ids-from - --to " + testing::ShellQuote(out_dir),
                &output),
            0)
      << output;
  std::set<std::string> recovered;
  for (const auto& entry : fs::recursive_directory_iterator(out_dir)) {
    if (entry.is_regular_file() && entry.path().filename() != "velmora-recovered.json") {
      recovered.insert(ReadFile(entry.path().string()));
    }
  }
  EXPECT_EQ(recovered, photos_) << output;

  // stdout of list: the header, then one row per photo; the count goes to stderr.
  std::string out, err;
  ASSERT_EQ(Run("list " + image + " --type photo", &out, &err), 0);
  const auto rows = Lines(out);
  ASSERT_EQ(rows.size(), 1 + photos_.size()) << out;
  EXPECT_EQ(rows[0].rfind("ID ", 0), 0u) << out;
  EXPECT_NE(err.find("2 files"), std::string::npos) << err;
  ASSERT_EQ(Run("list " + image + " --tree", &out, &err), 0);
  EXPECT_EQ(out.find(" files"), std::string::npos) << out;

  // recover: a line per file on stdout, the summary on stderr.
  ASSERT_EQ(
      Run("recover " + image + " --type photo --again --to " + testing::ShellQuote(dir_ + "/again"),
          &out, &err),
      0);
  for (const std::string& line : Lines(out)) EXPECT_EQ(line.rfind("recovered ", 0), 0u) << out;
  EXPECT_EQ(Lines(out).size(), photos_.size()) << out;
  EXPECT_NE(err.find("2 succeeded"), std::string::npos) << err;

  // scan: the counts on stdout; where the result lies and what to run next on stderr.
  ASSERT_EQ(Run("scan " + image, &out, &err), 0);
  EXPECT_NE(out.find("Quick scan of"), std::string::npos) << out;
  EXPECT_EQ(out.find("velmora "), std::string::npos) << out;
  EXPECT_EQ(out.find("Results saved"), std::string::npos) << out;
  EXPECT_NE(err.find("velmora list"), std::string::npos) << err;
  // The next command's notice of the saved scan it uses goes to stderr.
  ASSERT_EQ(Run("list " + image + " --json", &out, &err), 0);
  EXPECT_TRUE(nlohmann::json::parse(out, nullptr, false).is_array()) << out;
  EXPECT_NE(err.find("Using the saved"), std::string::npos) << err;
}

TEST_F(ScriptOutputTest, FatTimesAreTheCardsOwnClockWithoutAZone) {
  std::string out;
  ASSERT_EQ(Run("list " + testing::ShellQuote(image_) + " --json", &out), 0);
  const auto files = nlohmann::json::parse(out);
  ASSERT_FALSE(files.empty());
  for (const auto& file : files) {
    if (file["is_dir"].get<bool>()) continue;
    EXPECT_EQ(file["modified"], "2024-06-01T10:00:00") << file.dump();
    EXPECT_EQ(file["time_zone"], "local") << file.dump();
  }
  ASSERT_EQ(Run("list " + testing::ShellQuote(image_), &out), 0);
  EXPECT_NE(out.find(" 2024-06-01T10:00:00 "), std::string::npos) << out;
  EXPECT_EQ(out.find("T10:00:00Z"), std::string::npos) << out;
  // --since reads the same clock the column shows.
  ASSERT_EQ(Run("list " + testing::ShellQuote(image_) + " --since '2024-06-01 10:00' --json", &out),
            0);
  EXPECT_EQ(nlohmann::json::parse(out).size(), files.size());
  ASSERT_EQ(Run("list " + testing::ShellQuote(image_) + " --since '2024-06-01 10:01' --json", &out),
            0);
  EXPECT_EQ(out, "[]\n");

  // A recovered file shows the card's 10:00 on the clock of the machine it lands on: two
  // hours east of UTC that is 08:00 UTC, not 10:00 UTC.
  // (A POSIX zone string, so no zone database is needed.)
  const std::string to = dir_ + "/local-times";
  ASSERT_EQ(testing::RunCommand("TZ=XST-2 " + Velmora() + "recover " + testing::ShellQuote(image_) +
                                    " --quiet --to " + testing::ShellQuote(to) + " 2>/dev/null",
                                &out),
            0);
  ASSERT_EQ(testing::RunCommand("find " + testing::ShellQuote(to) +
                                    " -type f ! -name '*.json' -printf '%T@\\n' | sort -u",
                                &out),
            0);
  EXPECT_EQ(out.substr(0, out.find('.')), "1717228800") << out;  // 2024-06-01 08:00 UTC
}

TEST(ScriptOutputNtfsTest, NtfsTimesAreUtc) {
  if (!testing::NtfsBuilderAvailable()) GTEST_SKIP() << "libntfs-3g missing";
  testing::ScopedDataDir data;
  const std::string dir = testing::MakeTempDir("script-output-ntfs");
  const std::string image = dir + "/ntfs.img";
  {
    testing::NtfsVolumeBuilder ntfs(image, 16 << 20);
    ntfs.SetClock(1717236000);
    ntfs.AddFile("/photo.jpg", testing::SampleContent("jpg", 9000, 1));
    ntfs.Delete("/photo.jpg");
    (void)ntfs.Finish();
  }
  std::string out;
  ASSERT_EQ(testing::RunCommand(
                Velmora() + "list " + testing::ShellQuote(image) + " --json 2>/dev/null", &out),
            0);
  const auto files = nlohmann::json::parse(out);
  ASSERT_EQ(files.size(), 1u) << out;
  EXPECT_EQ(files[0]["modified"], "2024-06-01T10:00:00Z");
  EXPECT_EQ(files[0]["time_zone"], "utc");
  testing::RemoveTree(dir);
}

TEST_F(ScriptOutputTest, CommandLineConventions) {
  std::string out, err;
  // "--" ends the options: a source whose name starts with '-' is a source.
  const std::string dashed = dir_ + "/-card.img";
  fs::copy_file(image_, dashed);
  ASSERT_EQ(testing::RunCommand("cd " + testing::ShellQuote(dir_) + " && " + Velmora() +
                                    "list --type photo -- -card.img 2>/dev/null",
                                &out),
            0)
      << out;
  EXPECT_EQ(Lines(out).size(), 1 + photos_.size()) << out;
  ASSERT_EQ(Run("list -- " + testing::ShellQuote(image_) + " --json", &out, &err), 2);
  EXPECT_NE(err.find("unexpected argument '--json'"), std::string::npos) << err;

  // A single-valued option given twice is an error; repeatable ones add up.
  const std::string image = testing::ShellQuote(image_);
  EXPECT_EQ(Run("list " + image + " --sort size --sort name", &out, &err), 2);
  EXPECT_NE(err.find("--sort is given more than once"), std::string::npos) << err;
  EXPECT_EQ(Run("recover " + image + " --to a --to b", &out, &err), 2);
  EXPECT_NE(err.find("--to is given more than once"), std::string::npos) << err;
  EXPECT_EQ(Run("list " + image + " --type photo --type document --json", &out, &err), 0) << err;
  EXPECT_EQ(nlohmann::json::parse(out).size(), 4u) << out;

  // Every command names what is missing.
  for (const char* command : {"info", "image", "identify", "scan", "list"}) {
    EXPECT_EQ(Run(command, &out, &err), 2) << command;
    EXPECT_NE(err.find("is required"), std::string::npos) << command << ": " << err;
  }
  ASSERT_EQ(Run("help image", &out), 0);
  EXPECT_NE(out.find("[--sparse]"), std::string::npos) << out;
  EXPECT_NE(out.find("  --sparse"), std::string::npos) << out;

  // Sizes count in powers of 1024, and say so.
  EXPECT_EQ(Run("list " + image + " --min-size 6KiB --max-size 7k --json", &out, &err), 0) << err;
  EXPECT_EQ(nlohmann::json::parse(out).size(), 1u) << out;  // the 7000-byte photo
  EXPECT_EQ(Run("list " + image + " --min-size 6MB", &out, &err), 2);
  EXPECT_NE(err.find("6M or 6MiB"), std::string::npos) << err;

  // A range of a hundred million ids: one line for those that name nothing.
  EXPECT_EQ(Run("list " + image + " --id 1-100000000 --json", &out, &err), 1);
  EXPECT_EQ(nlohmann::json::parse(out).size(), 2 * photos_.size()) << out;
  size_t id_lines = 0;
  for (const std::string& line : Lines(err))
    id_lines += line.find("scan result") != std::string::npos;
  EXPECT_EQ(id_lines, 1u) << err;
  EXPECT_NE(err.find(" of the ids asked for name no file in the scan result"), std::string::npos)
      << err;
  EXPECT_NE(err.find("-100000000)"), std::string::npos) << err;
  // A few unknown ids are named one by one.
  EXPECT_EQ(Run("list " + image + " --id 4000-4001", &out, &err), 1);
  EXPECT_NE(err.find("no file with id 4001 in the scan result"), std::string::npos) << err;
}

TEST_F(ScriptOutputTest, PipesAndCharacterDevicesAreRefused) {
  const std::string fifo = dir_ + "/pipe.img";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string out, err;
  // `timeout` ends a hanging open; a refusal comes at once.
  for (const char* command : {"scan", "info", "list", "identify"}) {
    EXPECT_EQ(testing::RunCommand(
                  "timeout 60 " + Velmora() + command + " " + testing::ShellQuote(fifo), &err),
              2)
        << command << ": " << err;
    EXPECT_NE(err.find("is a pipe"), std::string::npos) << command << ": " << err;
  }
  EXPECT_EQ(Run("scan /dev/zero", &out, &err), 2);
  EXPECT_NE(err.find("'/dev/zero' is a character device"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(data_.Path() + "/ScanLog/1")) << "a result was saved for /dev/zero";
}

TEST_F(ScriptOutputTest, DamagedSavedScanIndexIsReportedAndLosesNoResult) {
  const std::string image = testing::ShellQuote(image_);
  std::string out, err;
  ASSERT_EQ(Run("scan " + image, &out, &err), 0) << err;
  const std::string log_dir = data_.Path() + "/ScanLog";
  ASSERT_TRUE(fs::exists(log_dir + "/1"));
  const auto kept = std::distance(fs::directory_iterator(log_dir + "/1"), {});
  // Cut inside its header: the index no longer names the result.
  fs::resize_file(log_dir + "/config", 5);
  ASSERT_EQ(Run("list " + image, &out, &err), 0) << err;
  EXPECT_NE(err.find("config is damaged"), std::string::npos) << err;
  EXPECT_EQ(fs::file_size(log_dir + "/config.damaged"), 5u);
  // The scan it had to run again went into a new folder; the old result is still there.
  EXPECT_TRUE(fs::exists(log_dir + "/2")) << err;
  EXPECT_EQ(std::distance(fs::directory_iterator(log_dir + "/1"), {}), kept);
  // Written whole again: the next command finds its result and has nothing to report.
  ASSERT_EQ(Run("list " + image, &out, &err), 0) << err;
  EXPECT_EQ(err.find("damaged"), std::string::npos) << err;
  EXPECT_NE(err.find("Using the saved"), std::string::npos) << err;
}

}  // namespace
}  // namespace velmora
