// A stopped deep scan's result is named partial, with the command that finishes it; a busy
// source is said to be busy, once; paths the user gave are echoed with control characters
// escaped.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/scan_workflow.h"
#include "deep/deep_recovery.h"
#include "deep/engine_factory.h"
#include "engine/scan_index.h"
#include "storage/error_codes.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora {
namespace {

namespace fs = std::filesystem;

struct StopWatch {
  const CProfessionalRecovery* engine = nullptr;
};

// Stops the pass at 40 %, once the metadata walk beside it has ended.
int StopAtForty(void* context, int, int, int, uint32_t a_low, uint32_t a_high, uint32_t b_low,
                uint32_t b_high, uint32_t, uint32_t) {
  const auto* watch = static_cast<StopWatch*>(context);
  const uint64_t a = (static_cast<uint64_t>(a_high) << 32) | a_low;
  const uint64_t b = (static_cast<uint64_t>(b_high) << 32) | b_low;
  if (b == 0 || a * 100 / b < 40) return 0;
  // Bounded, so a walk that never ends cannot hang the run.
  for (int wait = 0; wait < 120000 && watch->engine->QuickWalkRunning(); ++wait) ::usleep(1000);
  return kCancelledByUser;
}

class StoppedScanTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools missing";
    ScanIndex::ResetInstance();
    dir_ = testing::MakeTempDir("stopped-cli");
  }
  void TearDown() override {
    ScanIndex::ResetInstance();
    if (!dir_.empty()) testing::RemoveTree(dir_);
  }

  std::string MakeVolume(const std::string& name) {
    const std::string image = dir_ + "/" + name;
    testing::FatVolumeBuilder fat(image, 32, 64 << 20);
    fat.AddFile("/kept.txt", testing::RandomText(3000, 1));
    fat.AddFile("/gone.jpg", testing::SampleContent("jpg", 9000, 2));
    fat.Delete("/gone.jpg");
    fat.Finish();
    return image;
  }

  // `velmora ARGS` with stdout and stderr apart.
  int Run(const std::string& args, std::string* out, std::string* err) {
    const int status = testing::RunCommand(testing::VelmoraBinary() + " " + args + " > '" + dir_ +
                                           "/out.txt' 2> '" + dir_ + "/err.txt'");
    *out = Slurp(dir_ + "/out.txt");
    *err = Slurp(dir_ + "/err.txt");
    return status;
  }
  static std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  testing::ScopedDataDir data_;
  std::string dir_;
};

TEST_F(StoppedScanTest, AStoppedScanIsListedAsPartialUntilItIsFinished) {
  const std::string image = MakeVolume("card.img");
  {
    auto engine = CreateEngineForImage(image, u'Q', true);
    auto* deep = dynamic_cast<CProfessionalRecovery*>(engine.get());
    ASSERT_NE(deep, nullptr);
    StopWatch watch{deep};
    deep->SetScanCallback(&StopAtForty, nullptr, &watch, 100);
    ASSERT_EQ(deep->Scan(nullptr), kCancelledByUser);
    EXPECT_FALSE(deep->SavedScanFinished());
  }
  ScanIndex::ResetInstance();
  const std::string quoted = testing::ShellQuote(image);
  std::string out;
  std::string err;
  for (const char* command : {"list", "recover"}) {
    const std::string args = std::string(command) + " " + quoted + " --deep" +
                             (std::string(command) == "recover" ? " --to " + dir_ + "/got" : "");
    EXPECT_EQ(Run(args, &out, &err), 1) << command << err;
    EXPECT_NE(err.find("Partial result: the deep scan of"), std::string::npos) << command << err;
    EXPECT_NE(err.find("velmora scan " + image + " --deep"), std::string::npos) << err;
  }
  ASSERT_EQ(Run("scan " + quoted + " --deep --json", &out, &err), 0) << err;
  EXPECT_NE(err.find("Resuming the saved deep scan"), std::string::npos) << err;
  const auto json = nlohmann::json::parse(out, nullptr, false);
  ASSERT_TRUE(json.is_object()) << out;
  EXPECT_FALSE(json["partial"].get<bool>());
  EXPECT_TRUE(json["complete"].get<bool>());

  EXPECT_EQ(Run("list " + quoted + " --deep", &out, &err), 0) << err;
  EXPECT_EQ(err.find("Partial"), std::string::npos) << err;
  // Finished: shown again, never offered for resuming.
  ASSERT_EQ(Run("scan " + quoted + " --deep --json", &out, &err), 0) << err;
  EXPECT_EQ(err.find("Resuming"), std::string::npos) << err;
  EXPECT_TRUE(nlohmann::json::parse(out)["reopened_finished"].get<bool>()) << out;
}

TEST_F(StoppedScanTest, ABusySourceIsSaidToBeBusyOnceWithItsOwnStatus) {
  const std::string image = MakeVolume("busy.img");
  SourceScanLock lock;
  ASSERT_EQ(lock.Acquire(data_.Path() + "/ScanLog", "image:" + fs::canonical(image).string()),
            kSuccess);
  std::string out;
  std::string err;
  EXPECT_EQ(Run("scan " + testing::ShellQuote(image) + " --deep", &out, &err), 3) << err;
  const size_t said = err.find("is in use by another velmora process");
  ASSERT_NE(said, std::string::npos) << err;
  EXPECT_EQ(err.find("is in use", said + 1), std::string::npos) << err;
  EXPECT_EQ(err.find("cannot read"), std::string::npos) << err;
  EXPECT_EQ(Run("list " + testing::ShellQuote(image), &out, &err), 3) << err;
}

TEST_F(StoppedScanTest, ControlCharactersInTheSourcePathAreEchoedEscaped) {
  const std::string image = dir_ + "/a\nb\x1b[2J.img";
  fs::rename(MakeVolume("plain.img"), image);  // mtools cannot take such a name itself
  std::string out;
  std::string err;
  ASSERT_EQ(Run("scan " + testing::ShellQuote(image), &out, &err), 0) << err;
  EXPECT_EQ((out + err).find('\x1b'), std::string::npos) << out << err;
  EXPECT_NE(out.find("a\\nb\\x1b[2J.img"), std::string::npos) << out;
  // The suggested commands spell the name so a shell reads back the same bytes.
  const std::string word = "$'" + dir_ + "/a\\nb\\x1b[2J.img'";
  EXPECT_NE(err.find("velmora list " + word + " --quick"), std::string::npos) << err;
  EXPECT_EQ(testing::RunCommand("bash -c \"test -f " + word + "\""), 0);
  EXPECT_NE(Run("list " + testing::ShellQuote(dir_ + "/no\nsuch.img"), &out, &err), 0);
  EXPECT_NE(err.find("no\\nsuch.img"), std::string::npos) << err;
  EXPECT_EQ(err.find("no\nsuch"), std::string::npos) << err;
}

}  // namespace
}  // namespace velmora
