// The recovery run over a scanned volume: category folders, "(n)" names, a
// failing file, links planted in the destination, the same-volume check.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>

#include "app/recovery_workflow.h"
#include "app/result_browsing.h"
#include "app/same_volume.h"
#include "app/scan_workflow.h"
#include "app_test_support.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "storage/disk_enumerator.h"
#include "storage/platform_disks.h"
#include "support/content_gen.h"
#include "support/loop_device.h"
#include "support/ntfs_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

class RecoveryWorkflowTest : public AppWorkflowTest {
 protected:
  void SetUp() override {
    if (!NtfsBuilderAvailable()) GTEST_SKIP() << "mkntfs or libntfs-3g is not available";
    AppWorkflowTest::SetUp();
    {
      NtfsVolumeBuilder ntfs(work_ + "/card.img", 8 << 20);
      ntfs.AddFile("/IMG_1.JPG", photo_);
      ntfs.AddFile("/Notes 2024.txt", notes_);
      ntfs.AddFile("/Holiday.avi", RandomBytes(3 << 20, 3));
      ntfs.Delete("/Holiday.avi");
      ntfs.Delete("/IMG_1.JPG");
      ntfs.Delete("/Notes 2024.txt");
      ntfs.Finish();
    }
    source_ = &sources_.AddImage(work_ + "/card.img");
    app::ScanWorkflow scan(messages_);
    ASSERT_EQ(scan.Run({source_}, app::ScanMode::kQuick, observer_, cancel_),
              app::RunResult::kFinished);
    ScanRecordList found;
    app::SearchSources({source_}, app::TypeChoices().Filter(), messages_, &found, observer_,
                       cancel_);
    for (const ScanRecord& record : found) {
      if (RecordName(record) == "IMG_1.JPG") photo_record_ = record;
      if (RecordName(record) == "Notes 2024.txt") notes_record_ = record;
      if (RecordName(record) == "Holiday.avi") video_record_ = record;
    }
    ASSERT_EQ(RecordName(photo_record_), "IMG_1.JPG");
    ASSERT_EQ(RecordName(notes_record_), "Notes 2024.txt");
    destination_ = work_ + "/out";
  }

  std::string destination_;
  app::SourceList sources_;
  app::ScanSource* source_ = nullptr;
  const std::vector<uint8_t> photo_ = SampleContent("jpg", 9000, 1);
  const std::vector<uint8_t> notes_ = RandomText(4000, 2);
  ScanRecord photo_record_{};
  ScanRecord notes_record_{};
  ScanRecord video_record_{};
};

// Cancels the run at the first report of a file still being copied.
class CancellingObserver : public RecordingObserver {
 public:
  explicit CancellingObserver(app::CancelToken* cancel) : cancel_(cancel) {}
  void OnRecoveryProgress(const app::RecoveryProgress& progress) override {
    if (progress.percent < 100) cancel_->Cancel();
  }

 private:
  app::CancelToken* cancel_;
};

TEST_F(RecoveryWorkflowTest, SameNameTwiceGetsANumberedName) {
  app::RecoveryWorkflow recovery(sources_, messages_);
  for (int run = 0; run < 3; ++run) {
    ASSERT_EQ(recovery.RecoverOne(photo_record_, destination_ + "/", observer_, cancel_),
              app::RunResult::kFinished);
  }
  EXPECT_EQ(ReadBytes(destination_ + "/photo/IMG_1.JPG"), photo_);
  EXPECT_EQ(ReadBytes(destination_ + "/photo/IMG_1(1).JPG"), photo_);
  EXPECT_EQ(ReadBytes(destination_ + "/photo/IMG_1(2).JPG"), photo_);
  ASSERT_EQ(observer_.lines.size(), 3u);
  EXPECT_EQ(observer_.lines[1].target, destination_ + "/photo/IMG_1(1).JPG");
  EXPECT_EQ(observer_.lines[1].status, "Success");
  EXPECT_EQ(recovery.Counts().processed, 1);  // each run counts its own
  EXPECT_EQ(observer_.last_recovery.counts_text, "Processed 1 of 1: 1 recovered, 0 failed");
}

TEST_F(RecoveryWorkflowTest, FailingFileGivesAFailureLineAndTheRunGoesOn) {
  ScanRecord broken = photo_record_;
  broken.location = 1ull << 40;  // its MFT record lies far past the end of the volume
  SetRecordName(&broken, "Broken.JPG");
  app::RecoveryWorkflow recovery(sources_, messages_);
  ASSERT_EQ(recovery.Run({broken, notes_record_}, destination_, observer_, cancel_),
            app::RunResult::kFinished);
  EXPECT_EQ(recovery.Counts().total, 2);
  EXPECT_EQ(recovery.Counts().processed, 2);
  EXPECT_EQ(recovery.Counts().failed, 1);
  ASSERT_EQ(recovery.Lines().size(), 2u);
  EXPECT_TRUE(recovery.Lines()[0].failed);
  EXPECT_EQ(recovery.Lines()[0].target, destination_ + "/photo/Broken.JPG");
  EXPECT_NE(recovery.Lines()[0].status, "Success");
  EXPECT_FALSE(recovery.Lines()[0].status.empty());
  EXPECT_EQ(recovery.Lines()[1].status, "Success");
  // Nothing that looks recovered is left of the failed file.
  EXPECT_FALSE(fs::exists(destination_ + "/photo/Broken.JPG"));
  EXPECT_EQ(ReadBytes(destination_ + "/document/Notes 2024.txt"), notes_);
}

TEST_F(RecoveryWorkflowTest, CancelRemovesTheFileCopiedPartWayAndKeepsFinishedOnes) {
  ASSERT_EQ(RecordName(video_record_), "Holiday.avi");
  CancellingObserver observer(&cancel_);
  app::RecoveryWorkflow recovery(sources_, messages_);
  ASSERT_EQ(
      recovery.Run({notes_record_, video_record_, photo_record_}, destination_, observer, cancel_),
      app::RunResult::kCancelled);
  EXPECT_EQ(ReadBytes(destination_ + "/document/Notes 2024.txt"), notes_);
  EXPECT_FALSE(fs::exists(destination_ + "/video/Holiday.avi"));
  EXPECT_FALSE(fs::exists(destination_ + "/photo/IMG_1.JPG"));
  EXPECT_EQ(recovery.Counts().processed, 1);
}

// Dies without a word in the middle of a file, as a run killed by the system would.
class KillingObserver : public RecordingObserver {
 public:
  void OnRecoveryProgress(const app::RecoveryProgress& progress) override {
    // Part way through the second file: the bar follows the run's two files.
    if (progress.counts.processed == 1 && progress.percent > 50 && progress.percent < 100)
      ::raise(SIGKILL);
  }
};

std::vector<std::string> NamesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (!fs::exists(folder)) return names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST_F(RecoveryWorkflowTest, AKilledRunLeavesNoShortFileUnderTheFinalNameAndARerunCleansUp) {
  ASSERT_EQ(RecordName(video_record_), "Holiday.avi");
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    KillingObserver observer;
    app::CancelToken cancel;
    app::RecoveryWorkflow recovery(sources_, messages_);
    recovery.Run({notes_record_, video_record_}, destination_, observer, cancel);
    ::_exit(0);  // not reached when the copy reports progress part way
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the run was not killed";
  // The finished file is there under its name; the one cut short is not.
  EXPECT_EQ(ReadBytes(destination_ + "/document/Notes 2024.txt"), notes_);
  const std::vector<std::string> left = NamesIn(destination_ + "/video");
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind(".velmora-part-", 0), 0u) << left[0];
  EXPECT_LT(fs::file_size(destination_ + "/video/" + left[0]), 3u << 20);
  // A file of the user's that merely looks alike is not touched.
  std::ofstream(destination_ + "/video/velmora-part-mine.avi") << "mine";

  app::RecoveryWorkflow again(sources_, messages_);
  ASSERT_EQ(again.Run({video_record_}, destination_, observer_, cancel_),
            app::RunResult::kFinished);
  EXPECT_EQ(NamesIn(destination_ + "/video"),
            (std::vector<std::string>{"Holiday.avi", "velmora-part-mine.avi"}));
  EXPECT_EQ(fs::file_size(destination_ + "/video/Holiday.avi"), 3u << 20);
  EXPECT_EQ(NamesIn(destination_ + "/document"), (std::vector<std::string>{"Notes 2024.txt"}));
}

TEST_F(RecoveryWorkflowTest, LinksPlantedInTheDestinationAreNotFollowed) {
  const std::string elsewhere = work_ + "/elsewhere";
  fs::create_directories(elsewhere);
  fs::create_directories(destination_ + "/document");
  fs::create_directory_symlink(elsewhere, destination_ + "/photo");
  std::ofstream(elsewhere + "/keep.txt") << "untouched";
  fs::create_symlink(elsewhere + "/keep.txt", destination_ + "/document/Notes 2024.txt");

  app::RecoveryWorkflow recovery(sources_, messages_);
  ASSERT_EQ(recovery.Run({photo_record_, notes_record_}, destination_, observer_, cancel_),
            app::RunResult::kFinished);
  EXPECT_EQ(recovery.Counts().failed, 0);
  EXPECT_EQ(ReadBytes(destination_ + "/photo(1)/IMG_1.JPG"), photo_);
  EXPECT_EQ(ReadBytes(destination_ + "/document/Notes 2024(1).txt"), notes_);
  EXPECT_EQ(fs::directory_iterator(elsewhere)->path().filename(), "keep.txt");
  EXPECT_EQ(ReadBytes(elsewhere + "/keep.txt"),
            std::vector<uint8_t>({'u', 'n', 't', 'o', 'u', 'c', 'h', 'e', 'd'}));
}

TEST_F(RecoveryWorkflowTest, ADestinationBesideTheScannedImageIsNotOnIt) {
  app::RecoveryWorkflow recovery(sources_, messages_);
  // The destination and the image share a file system, but writing there leaves the image alone.
  EXPECT_EQ(recovery.ScannedVolumeHolding(work_), nullptr);
  EXPECT_TRUE(recovery.ConfirmDestination(work_, observer_));
  EXPECT_TRUE(observer_.questions.empty());
}

TEST_F(RecoveryWorkflowTest, DestinationOnAScannedRegionIsReported) {
  DiskEnumerator disks;
  if (!disks.Refresh()) GTEST_SKIP() << "the disks of this system cannot be listed";
  app::SourceList listed;
  listed.SetDisks(disks);
  const auto extents = platform::DiskExtentsBeneathPath(work_);
  app::ScanSource* holding = nullptr;
  for (app::ScanSource* row : listed.All()) {
    const PartitionEntry& entry = *row->entry;
    const uint64_t units = entry.sector_size / 512;
    for (const auto& extent : extents) {
      if ("/dev/" + extent.disk == entry.disk_path && entry.start * units <= extent.start_512 &&
          extent.start_512 < (entry.start + entry.length) * units) {
        holding = row;
      }
    }
  }
  if (holding == nullptr) GTEST_SKIP() << "the test folder lies on no disk the list shows";

  app::RecoveryWorkflow recovery(listed, messages_);
  EXPECT_EQ(recovery.ScannedVolumeHolding(work_), nullptr);              // not scanned: no warning
  holding->engine = app::CreateEngine(*source_, app::ScanMode::kQuick);  // now it holds results
  EXPECT_EQ(recovery.ScannedVolumeHolding(work_), holding);
  EXPECT_TRUE(recovery.ConfirmDestination(work_ + "/out", observer_));
  ASSERT_EQ(observer_.questions.size(), 1u);
  EXPECT_EQ(observer_.questions[0], messages_.at("MSG0805"));
}

// The scanned NTFS image on a loop device, mounted through ntfs-3g (FUSE), and mounted by
// ntfs-3g straight from the image file: a destination inside either is on the scanned
// source, whether the image or the loop device was scanned; one beside the image is not.
TEST_F(RecoveryWorkflowTest, DestinationsOnMountsOfTheScannedSourceAreFound) {
  if (!ToolAvailable("ntfs-3g")) GTEST_SKIP() << "ntfs-3g is not installed";
  std::string why;
  const auto loop = LoopDevice::Attach(work_ + "/card.img", 512, &why);
  if (!loop) GTEST_SKIP() << why;
  const std::string over_loop = work_ + "/over-loop";
  const std::string over_file = work_ + "/over-file";
  fs::create_directories(over_loop);
  fs::create_directories(over_file);
  struct FuseMount {
    std::string folder;
    bool mounted = false;
    ~FuseMount() {
      if (mounted) RunCommand("umount " + ShellQuote(folder));
    }
  } by_loop{over_loop}, by_file{over_file};
  by_loop.mounted =
      RunCommand("ntfs-3g -o ro " + ShellQuote(loop->Path()) + " " + ShellQuote(over_loop)) == 0;
  by_file.mounted = RunCommand("ntfs-3g -o ro " + ShellQuote(work_ + "/card.img") + " " +
                               ShellQuote(over_file)) == 0;
  if (!by_loop.mounted || !by_file.mounted) GTEST_SKIP() << "ntfs-3g cannot mount here (no FUSE?)";

  PartitionEntry whole;
  whole.disk_path = loop->Path();
  whole.start = 0;
  whole.length = fs::file_size(work_ + "/card.img") / 512;
  app::SourceList devices;
  const app::ScanSource& device = devices.AddRegion(whole);
  for (const std::string& mount : {over_loop, over_file}) {
    SCOPED_TRACE(mount);
    EXPECT_TRUE(app::DestinationOnSource(*source_, mount + "/rescued/photos"));
  }
  EXPECT_TRUE(app::DestinationOnSource(device, over_loop + "/rescued"));
  EXPECT_TRUE(app::DestinationOnSource(device, over_file + "/rescued"));  // the loop's own file
  EXPECT_FALSE(app::DestinationOnSource(device, work_ + "/rescued"));
  EXPECT_FALSE(app::DestinationOnSource(*source_, work_ + "/rescued"));

  // The window asks before writing there (the same check for the image it scanned).
  app::RecoveryWorkflow recovery(sources_, messages_);
  EXPECT_EQ(recovery.ScannedVolumeHolding(over_loop + "/rescued"), source_);
  EXPECT_TRUE(recovery.ConfirmDestination(over_loop + "/rescued", observer_));
  ASSERT_EQ(observer_.questions.size(), 1u);
  EXPECT_EQ(observer_.questions[0], messages_.at("MSG0805"));
}

}  // namespace

}  // namespace velmora::testing
