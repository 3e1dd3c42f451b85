// list and recover choose the same files by name, folder, size, time, id and
// state; recover keeps a manifest that a second run honours; cat writes the
// bytes recover writes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

constexpr int64_t kJune1 = 1717236000;  // 2024-06-01T10:00:00Z
constexpr int64_t kJune2 = kJune1 + 86400;

class FileChoiceCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    dir_ = MakeTempDir("file-choice");
    image_ = dir_ + "/card.img";
    FatVolumeBuilder fat(image_, 16, 16 << 20);
    fat.MakeDirectory("/DCIM/100CAM");
    fat.MakeDirectory("/Docs");
    fat.SetClock(kJune1);
    fat.AddFile("/DCIM/100CAM/Photo 0001.jpg", SampleContent("jpg", 10000, 1));
    fat.SetClock(kJune2);
    fat.AddFile("/DCIM/100CAM/Photo 0002.jpg", SampleContent("jpg", 20000, 2));
    fat.AddFile("/Docs/Report notes.txt", RandomText(3000, 3));
    // Its long name gets control characters below; mtools would refuse them.
    fat.AddFile("/Esc Q and Z.txt", RandomText(500, 4));
    for (const char* path : {"/DCIM/100CAM/Photo 0001.jpg", "/DCIM/100CAM/Photo 0002.jpg",
                             "/Docs/Report notes.txt", "/Esc Q and Z.txt"}) {
      fat.Delete(path);
    }
    fat.Finish();
    PutControlCharacters();
  }
  void TearDown() override { RemoveTree(dir_); }

  // "Esc Q and Z.txt" becomes "Esc \x1b and \n.txt" in its long-name entry.
  void PutControlCharacters() {
    std::fstream image(image_, std::ios::in | std::ios::out | std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(image), {});
    const std::string esc("E\0s\0c\0 \0Q\0", 10);
    const std::string nl(" \0Z\0", 4);
    const size_t at = bytes.find(esc);
    const size_t nl_at = bytes.find(nl, at);
    ASSERT_NE(at, std::string::npos);
    ASSERT_NE(nl_at, std::string::npos);
    image.seekp(static_cast<std::streamoff>(at + 8));
    image.put('\x1b');
    image.seekp(static_cast<std::streamoff>(nl_at + 2));
    image.put('\n');
  }

  int Velmora(const std::string& args, std::string* out = nullptr, std::string* err = nullptr) {
    std::string text;
    const int status =
        RunCommand(VelmoraBinary() + " " + args + " 2>" + ShellQuote(dir_ + "/err"), &text);
    if (out) *out = text;
    if (err) *err = Slurp(dir_ + "/err");
    return status;
  }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Names listed with the given choice options, with the exit status.
  std::set<std::string> Names(const std::string& options, int* status = nullptr) {
    std::string out;
    const int rc = Velmora("list " + ShellQuote(image_) + " --json " + options, &out);
    if (status) *status = rc;
    std::set<std::string> names;
    const auto json = nlohmann::json::parse(out, nullptr, false);
    if (!json.is_array()) return {"not json: " + out};
    for (const auto& item : json) names.insert(item["name"].get<std::string>());
    return names;
  }
  std::string IdOf(const std::string& name) {
    std::string out;
    Velmora("list " + ShellQuote(image_) + " --json", &out);
    for (const auto& item : nlohmann::json::parse(out)) {
      if (item["name"] == name) return std::to_string(item["id"].get<uint64_t>());
    }
    return "none";
  }

  ScopedDataDir data_;
  std::string dir_;
  std::string image_;
};

using Set = std::set<std::string>;

TEST_F(FileChoiceCommandTest, ChoicesAndTheirBoundaries) {
  const Set photos{"Photo 0001.jpg", "Photo 0002.jpg"};
  EXPECT_EQ(Names("--min-size 10000 --type photo"), photos);
  EXPECT_EQ(Names("--min-size 10001 --type photo"), Set{"Photo 0002.jpg"});
  EXPECT_EQ(Names("--min-size 3000 --name '*.txt'"), Set{"Report notes.txt"});
  EXPECT_EQ(Names("--min-size 3001 --name '*.txt'"), Set{});
  EXPECT_EQ(Names("--max-size 500 --name '*.TXT'"), Set{"Esc \x1b and \n.txt"});
  EXPECT_EQ(Names("--max-size 499 --name '*.txt'"), Set{});
  EXPECT_EQ(Names("--min-size 19k --max-size 20k"), Set{"Photo 0002.jpg"});  // 20000 <= 20480
  // A glob with '/' matches the path; without, the name, in any case.
  EXPECT_EQ(Names("--name 'dcim/*/photo *'"), photos);
  EXPECT_EQ(Names("--name 'DCIM/*.txt'"), Set{});
  EXPECT_EQ(Names("--path DCIM"), photos);
  EXPECT_EQ(Names("--path DCIM/100CAM/"), photos);
  EXPECT_EQ(Names("--path DCI"), Set{});
  // A date alone takes in the whole day.
  EXPECT_EQ(Names("--until 2024-06-01 --type photo"), Set{"Photo 0001.jpg"});
  EXPECT_EQ(Names("--since '2024-06-01 10:00:01' --type photo"), Set{"Photo 0002.jpg"});
  EXPECT_EQ(Names("--since '2024-06-01 10:00' --until '2024-06-01 10:00:00' --type photo"),
            Set{"Photo 0001.jpg"});
  EXPECT_EQ(Names("--state intact --type photo"), photos);
  EXPECT_EQ(Names("--state overwritten"), Set{});

  const std::string one = IdOf("Photo 0001.jpg");
  const std::string two = IdOf("Photo 0002.jpg");
  const uint64_t low = std::min(std::stoull(one), std::stoull(two));
  const uint64_t high = std::max(std::stoull(one), std::stoull(two));
  EXPECT_EQ(Names("--id " + std::to_string(low) + "-" + std::to_string(high) + " --type photo"),
            photos);
  EXPECT_EQ(Names("--id " + one + " --id " + two), photos);
  std::string counted;
  RunCommand("printf '" + one + "\\n' | " + VelmoraBinary() + " list " + ShellQuote(image_) +
                 " --ids-from - --json 2>/dev/null | grep -c '\"name\"'",
             &counted);
  EXPECT_EQ(counted, "1\n");
  int status = 0;
  std::string err;
  EXPECT_EQ(Names("--id " + one + ",999999", &status), Set{"Photo 0001.jpg"});
  EXPECT_EQ(status, 1);
  Velmora("list " + ShellQuote(image_) + " --id 999999", nullptr, &err);
  EXPECT_NE(err.find("999999"), std::string::npos) << err;

  // recover chooses what list lists.
  std::string out;
  ASSERT_EQ(Velmora("recover " + ShellQuote(image_) + " --to " + ShellQuote(dir_ + "/got") +
                        " --name 'dcim/*/photo *' --min-size 10001 --keep-paths",
                    &out),
            0)
      << out;
  EXPECT_TRUE(fs::exists(dir_ + "/got/DCIM/100CAM/Photo 0002.jpg")) << out;
  EXPECT_FALSE(fs::exists(dir_ + "/got/DCIM/100CAM/Photo 0001.jpg")) << out;
  EXPECT_EQ(Velmora("recover " + ShellQuote(image_) + " --to " + ShellQuote(dir_ + "/none") +
                    " --id 999999"),
            1);
}

TEST_F(FileChoiceCommandTest, ManifestSkipsWhatIsThereAgainCopiesCatMatches) {
  const std::string got = dir_ + "/got";
  const std::string recover =
      "recover " + ShellQuote(image_) + " --type photo --to " + ShellQuote(got);
  std::string out;
  ASSERT_EQ(Velmora(recover, &out), 0) << out;
  EXPECT_NE(out.find("recovered"), std::string::npos) << out;
  const std::string first = got + "/photo/Photo 0001.jpg";
  ASSERT_TRUE(fs::exists(first)) << out;
  struct stat st {};
  ASSERT_EQ(::stat(first.c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, kJune1);

  const auto manifest =
      nlohmann::json::parse(Slurp(got + "/velmora-recovered.json"), nullptr, false);
  ASSERT_TRUE(manifest.is_object());
  ASSERT_EQ(manifest["files"].size(), 2u);
  for (const auto& entry : manifest["files"]) {
    EXPECT_EQ(entry["error"], "");
    EXPECT_EQ(entry["sha256"].get<std::string>().size(), 64u);
    EXPECT_TRUE(entry["source_path"].get<std::string>().starts_with("DCIM/100CAM/")) << entry;
  }

  // Again into the same folder: nothing new is written (the summary is on stderr).
  std::string err;
  ASSERT_EQ(Velmora(recover, &out, &err), 0) << out;
  EXPECT_NE(err.find("2 files were recovered into"), std::string::npos) << err;
  EXPECT_FALSE(fs::exists(got + "/photo/Photo 0001(1).jpg"));
  // A file changed since is written again, as a copy beside it.
  { std::ofstream(got + "/photo/Photo 0002.jpg", std::ios::app) << "x"; }
  ASSERT_EQ(Velmora(recover + " --quiet", &out, &err), 0) << out;
  EXPECT_EQ(out.find("0002(1).jpg"), std::string::npos) << out;  // no line per file
  EXPECT_NE(err.find("1 files were recovered into"), std::string::npos) << err;
  EXPECT_TRUE(fs::exists(got + "/photo/Photo 0002(1).jpg"));
  EXPECT_FALSE(fs::exists(got + "/photo/Photo 0001(1).jpg"));
  ASSERT_EQ(Velmora(recover + " --again --json", &out), 0) << out;
  const auto report = nlohmann::json::parse(out, nullptr, false);
  ASSERT_TRUE(report.is_object()) << out;
  EXPECT_EQ(report["skipped"], 0);
  EXPECT_EQ(report["succeeded"], 2);
  EXPECT_TRUE(fs::exists(got + "/photo/Photo 0001(1).jpg"));

  // cat: the same bytes, nothing else on stdout.
  ASSERT_EQ(
      RunCommand(VelmoraBinary() + " cat " + ShellQuote(image_) + " --id " +
                 IdOf("Photo 0001.jpg") + " > " + ShellQuote(dir_ + "/cat.jpg") + " 2>/dev/null"),
      0);
  EXPECT_EQ(Slurp(dir_ + "/cat.jpg"), Slurp(first));
  EXPECT_EQ(Slurp(first).size(), 10000u);
}

TEST_F(FileChoiceCommandTest, ControlCharactersAreEscapedInTextExactInJson) {
  std::string out;
  ASSERT_EQ(Velmora("list " + ShellQuote(image_) + " --name 'Esc*'", &out), 0);
  EXPECT_NE(out.find("Esc \\x1b and \\n.txt"), std::string::npos) << out;
  EXPECT_EQ(out.find('\x1b'), std::string::npos);
  EXPECT_EQ(Names("--name 'Esc*'"), Set{"Esc \x1b and \n.txt"});
  // Tree and sort over the same files.
  ASSERT_EQ(Velmora("list " + ShellQuote(image_) + " --tree", &out), 0);
  EXPECT_NE(out.find("       4  /\n"), std::string::npos) << out;
  EXPECT_NE(out.find("       2    DCIM/\n       2      100CAM/\n"), std::string::npos) << out;
  ASSERT_EQ(Velmora("list " + ShellQuote(image_) + " --sort size --type photo", &out), 0);
  EXPECT_LT(out.find("Photo 0002"), out.find("Photo 0001")) << out;
}

TEST_F(FileChoiceCommandTest, AfterAFormatPlainListFindsTheDeepResult) {
  ASSERT_EQ(RunCommand("mkfs.fat -F 16 " + ShellQuote(image_) + " >/dev/null"), 0);
  std::string out;
  std::string err;
  // The next command to run is a hint: stderr.
  ASSERT_EQ(Velmora("scan " + ShellQuote(image_), &out, &err), 0);
  EXPECT_NE(err.find("scan " + image_ + " --deep"), std::string::npos) << err;
  ASSERT_EQ(Velmora("scan --deep " + ShellQuote(image_), &out, &err), 0) << out;
  EXPECT_NE(err.find("velmora list " + image_ + " --deep"), std::string::npos) << err;
  // Without a mode the newest result serves, and stderr says which.
  const Set names = Names("--type photo");
  EXPECT_EQ(names, (Set{"Photo 0001.jpg", "Photo 0002.jpg"}));
  Velmora("list " + ShellQuote(image_), &out, &err);
  EXPECT_NE(err.find("deep scan"), std::string::npos) << err;
  // A quick scan made later is the newest again.
  ASSERT_EQ(Velmora("scan " + ShellQuote(image_), &out), 0);
  EXPECT_EQ(Names(""), Set{});
}

TEST(CommandLineUsageTest, ReasonsHelpAndVersion) {
  ScopedDataDir data;
  const std::string velmora = VelmoraBinary();
  std::string out;
  const std::map<std::string, std::string> errors = {
      {"recover x.img", "--to is required"},
      {"list x.img --quick --deep", "--quick and --deep exclude each other"},
      {"list x.img y", "unexpected argument 'y'"},
      {"list x.img --min-size 5Q", "is not a size"},
      {"list x.img --id 7-3", "is not a list of ids"},
      {"list x.img --since 2024-02-30", "is not a time"},
  };
  for (const auto& [args, reason] : errors) {
    EXPECT_EQ(RunCommand(velmora + " " + args + " 2>&1", &out), 2) << args;
    EXPECT_NE(out.find(reason), std::string::npos) << args << ": " << out;
  }
  for (const char* args : {"help recover", "recover --help"}) {
    ASSERT_EQ(RunCommand(velmora + " " + std::string(args), &out), 0) << args;
    EXPECT_NE(out.find("--ids-from FILE"), std::string::npos) << out;
    EXPECT_NE(out.find("example"), std::string::npos) << out;
  }
  ASSERT_EQ(RunCommand(velmora + " --version", &out), 0);
  EXPECT_TRUE(out.starts_with("velmora ")) << out;
  EXPECT_NE(out.find("commit "), std::string::npos) << out;
}

}  // namespace
}  // namespace velmora::testing
