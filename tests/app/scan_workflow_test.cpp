// The scan run over real generated volumes: rows in order, scan folders kept
// or removed, the resume answer, and the run results.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "app/recovery_workflow.h"
#include "app/result_browsing.h"
#include "app/saved_scans.h"
#include "app/scan_workflow.h"
#include "app_test_support.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "storage/disk_enumerator.h"
#include "storage/error_codes.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/loop_device.h"
#include "support/partition_image.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

class ScanWorkflowTest : public AppWorkflowTest {
 protected:
  void SetUp() override {
    if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    AppWorkflowTest::SetUp();
  }
  // A FAT12 volume with one deleted file named `name`.
  std::string Volume(const std::string& file, const std::string& name, uint64_t seed) {
    FatVolumeBuilder fat(work_ + "/" + file, 12, 4 << 20);
    fat.AddFile("/" + name, RandomText(5000, seed));
    fat.Delete("/" + name);
    fat.Finish();
    return work_ + "/" + file;
  }
  std::string DeepFolderOf(const app::ScanSource& source) {
    ScanIndexRecord record{};
    return app::SavedResultFor(source, app::ScanMode::kDeep, &record) ? app::FolderOf(record)
                                                                      : std::string();
  }
};

TEST_F(ScanWorkflowTest, DiskNodeScansEveryRowInOrder) {
  const std::string first = Volume("first.img", "First File.txt", 1);
  const std::string second = Volume("second.img", "Second File.txt", 2);
  const uint64_t sectors = (4 << 20) / 512;
  WriteMbrDisk(work_ + "/disk.img", 2048 + 2 * sectors + 64,
               {{2048, 0, kMbrTypeFat12, first}, {2048 + sectors, 0, kMbrTypeFat12, second}});
  app::SourceList sources;
  std::string error;
  ASSERT_EQ(sources.AddPartitionedImage(work_ + "/disk.img", &error), 0) << error;
  const std::vector<app::ScanSource*> rows = sources.RowsOf(0);
  ASSERT_EQ(rows.size(), 2u);

  app::ScanWorkflow scan(messages_);
  ASSERT_EQ(scan.Run(rows, app::ScanMode::kQuick, observer_, cancel_), app::RunResult::kFinished);
  // Named by label, image and partition, not by a bare number.
  const std::vector<std::string> expected_stages = {"Scanning VELMORA (disk.img #1, 4.00 MB)",
                                                    "Scanning VELMORA (disk.img #2, 4.00 MB)"};
  EXPECT_EQ(observer_.stages, expected_stages);
  EXPECT_GT(observer_.scan_reports, 0);

  EXPECT_EQ(scan.ResultSources(), rows);
  ScanRecordList found;
  ASSERT_EQ(app::SearchSources(scan.ResultSources(), app::TypeChoices().Filter(), messages_, &found,
                               observer_, cancel_),
            app::RunResult::kFinished);
  ASSERT_EQ(found.size(), 2u);
  for (const ScanRecord& record : found) {
    const size_t row = RecordName(record) == "First File.txt" ? 0 : 1;
    EXPECT_EQ(RecordName(record), row == 0 ? "First File.txt" : "Second File.txt");
    EXPECT_EQ(record.drive_tag, rows[row]->Key());
    EXPECT_EQ(sources.EngineFor(record), rows[row]->engine.get());
  }
}

// Rows are told apart by what they are, not by the number they show: a card image's first
// volume and another source's both show "1", each file is recovered from its own source, and
// a disk list refreshed meanwhile changes nothing.
TEST_F(ScanWorkflowTest, SourcesSharingADisplayNumberRecoverTheirOwnFiles) {
  if (!ToolAvailable("sfdisk")) GTEST_SKIP() << "sfdisk is not installed";
  const std::vector<uint8_t> photo = SampleContent("jpg", 70000, 11);
  const std::vector<uint8_t> clip = RandomBytes(300000, 12);
  {
    FatVolumeBuilder fat(work_ + "/fat32.img", 32, 40 << 20, {0, "EOS_DIGITAL"});
    fat.MakeDirectory("/DCIM");
    fat.AddFile("/DCIM/Holiday photo.jpg", photo);
    fat.AddFile("/DCIM/Birthday clip.mov", clip);
    fat.Delete("/DCIM/Holiday photo.jpg");
    fat.Delete("/DCIM/Birthday clip.mov");
    fat.Finish();
  }
  const std::string card = work_ + "/card.img";
  ASSERT_EQ(RunCommand("truncate -s 48M " + ShellQuote(card) +
                       " && echo 'start=2048, size=81920, type=c' | sfdisk -q " + ShellQuote(card) +
                       " && dd if=" + ShellQuote(work_ + "/fat32.img") + " of=" + ShellQuote(card) +
                       " bs=1M seek=1 conv=notrunc status=none"),
            0);
  app::SourceList sources;
  std::string error;
  ASSERT_EQ(sources.AddPartitionedImage(card, &error), 0) << error;
  ASSERT_EQ(
      sources.AddPartitionedImage(work_ + "/../" + LastPathComponent(work_) + "/card.img", &error),
      0);
  ASSERT_EQ(sources.Disks().size(), 1u);  // listed once, however it is spelled
  const std::string other_volume = Volume("other_fat.img", "Other.txt", 13);
  WriteMbrDisk(work_ + "/other.img", 2048 + 8192 + 64, {{2048, 0, kMbrTypeFat12, other_volume}});
  ASSERT_EQ(sources.AddPartitionedImage(work_ + "/other.img", &error), 0) << error;
  app::ScanSource* volume = sources.RowsOf(0)[0];
  app::ScanSource* other = sources.RowsOf(1)[0];
  ASSERT_EQ(volume->entry->number, 1u);
  // The other row shows number 1 too, as the system disk's first row did when the disk list
  // was filled after the card image was loaded.
  other->entry->number = 1;
  EXPECT_NE(volume->Key(), other->Key());
  EXPECT_NE(volume->Identity(), other->Identity());

  app::ScanWorkflow scan(messages_);
  ASSERT_EQ(scan.Run({volume, other}, app::ScanMode::kQuick, observer_, cancel_),
            app::RunResult::kFinished);
  DiskEnumerator disks;  // a disk comes or goes: the rows are listed anew
  disks.Refresh();
  const uint16_t tag = volume->Key();
  sources.SetDisks(disks);
  ASSERT_EQ(sources.FindByIdentity(volume->Identity()), volume);
  EXPECT_EQ(volume->Key(), tag);
  const std::vector<app::ScanSource*> listed = sources.All();
  sources.SetDisks(disks);  // rows that stay are the same rows: the window holds them
  EXPECT_EQ(sources.All(), listed);
  ScanRecordList found;
  ASSERT_EQ(app::SearchSources(scan.ResultSources(), app::TypeChoices().Filter(), messages_, &found,
                               observer_, cancel_),
            app::RunResult::kFinished);
  ScanRecordList ticked;
  for (const ScanRecord& record : found) {
    if (!record.is_directory) ticked.push_back(record);
  }
  ASSERT_EQ(ticked.size(), 3u);
  app::RecoveryWorkflow recovery(sources, messages_);
  ASSERT_EQ(recovery.Run(ticked, work_ + "/out", observer_, cancel_), app::RunResult::kFinished);
  EXPECT_EQ(recovery.Counts().failed, 0);
  EXPECT_EQ(ReadWholeFile(work_ + "/out/photo/Holiday photo.jpg"), photo);
  EXPECT_EQ(ReadWholeFile(work_ + "/out/video/Birthday clip.mov"), clip);
  EXPECT_EQ(ReadWholeFile(work_ + "/out/document/Other.txt"), RandomText(5000, 13));

  // A file whose source holds no scan any more is named with the reason, not just counted.
  volume->engine.reset();
  observer_.lines.clear();
  const ScanRecord lost = *std::find_if(ticked.begin(), ticked.end(), [&](const ScanRecord& r) {
    return r.drive_tag == volume->Key();
  });
  ASSERT_EQ(recovery.Run({lost}, work_ + "/out", observer_, cancel_), app::RunResult::kFinished);
  EXPECT_EQ(recovery.Counts().failed, 1);
  ASSERT_EQ(observer_.lines.size(), 1u);
  EXPECT_TRUE(observer_.lines[0].failed);
  EXPECT_NE(observer_.lines[0].status.find("scan its source again"), std::string::npos);
  EXPECT_EQ(observer_.lines[0].target, work_ + "/out/" + std::string(RecordName(lost)));
}

TEST_F(ScanWorkflowTest, QuickFoldersGoWithTheNextRunDeepFoldersStay) {
  app::SourceList sources;
  app::ScanSource& image = sources.AddImage(Volume("card.img", "Lost File.txt", 3));
  EXPECT_EQ(image.drive_tag, 1001);
  EXPECT_EQ(&sources.AddImage(work_ + "/card.img"), &image);  // one file, one row
  app::ScanWorkflow scan(messages_);

  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kQuick, observer_, cancel_),
            app::RunResult::kFinished);
  ASSERT_EQ(scan.LastQuickFolders().size(), 1u);
  const std::string first_quick = scan.LastQuickFolders()[0];
  EXPECT_TRUE(Exists(first_quick));

  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kQuick, observer_, cancel_),
            app::RunResult::kFinished);
  const std::string second_quick = scan.LastQuickFolders()[0];
  EXPECT_NE(second_quick, first_quick);
  EXPECT_FALSE(Exists(first_quick));
  EXPECT_TRUE(Exists(second_quick));

  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kDeep, observer_, cancel_),
            app::RunResult::kFinished);
  EXPECT_FALSE(Exists(second_quick));
  const std::string deep = DeepFolderOf(image);
  ASSERT_FALSE(deep.empty());

  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kQuick, observer_, cancel_),
            app::RunResult::kFinished);
  EXPECT_TRUE(Exists(deep));
  EXPECT_TRUE(observer_.questions.empty());  // the deep run found no saved scan to ask about
}

TEST_F(ScanWorkflowTest, OnlyAStoppedDeepScanIsAskedAboutAndCancelKeepsIt) {
  app::SourceList sources;
  app::ScanSource& image = sources.AddImage(Volume("card.img", "Lost File.txt", 4));
  app::ScanWorkflow scan(messages_);
  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kDeep, observer_, cancel_),
            app::RunResult::kFinished);
  const std::string finished = DeepFolderOf(image);
  ASSERT_FALSE(finished.empty());
  // A finished scan is its result: reopened without a question.
  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kDeep, observer_, cancel_),
            app::RunResult::kFinished);
  EXPECT_TRUE(observer_.questions.empty());
  EXPECT_EQ(DeepFolderOf(image), finished);

  observer_.resume_answer = app::ResumeAnswer::kStartOver;
  app::ScanSource& other = sources.AddImage(Volume("other.img", "Other File.txt", 5));
  app::CancelToken stopping;
  observer_.stop = &stopping;
  observer_.stop_at_percent = 40;
  ASSERT_EQ(scan.Run({&other}, app::ScanMode::kDeep, observer_, stopping),
            app::RunResult::kCancelled);
  observer_.stop = nullptr;
  const std::string saved = DeepFolderOf(other);
  ASSERT_FALSE(saved.empty());

  // Cancelling the question scans nothing and keeps the saved scan.
  observer_.resume_answer = app::ResumeAnswer::kCancel;
  EXPECT_EQ(scan.Run({&other}, app::ScanMode::kDeep, observer_, cancel_),
            app::RunResult::kCancelled);
  ASSERT_EQ(observer_.resume_questions.size(), 1u);
  const app::ResumeQuestion& asked = observer_.resume_questions[0];
  EXPECT_GT(asked.percent, 0);
  EXPECT_LT(asked.percent, 100);
  EXPECT_EQ(asked.continue_text,
            app::FormatText(messages_.at("MSG1210"), {std::to_string(asked.percent)}));
  EXPECT_NE(asked.text.find("other.img"), std::string::npos) << asked.text;
  EXPECT_EQ(DeepFolderOf(other), saved);
  EXPECT_FALSE(other.engine);

  // Starting over drops the saved folder and writes a new one.
  observer_.resume_answer = app::ResumeAnswer::kStartOver;
  ASSERT_EQ(scan.Run({&other}, app::ScanMode::kDeep, observer_, cancel_),
            app::RunResult::kFinished);
  EXPECT_EQ(observer_.questions.size(), 2u);
  EXPECT_FALSE(Exists(saved));
  const std::string fresh = DeepFolderOf(other);
  EXPECT_FALSE(fresh.empty());
  EXPECT_NE(fresh, saved);
  ScanRecordList found;
  app::SearchSources({&other}, "*.txt", messages_, &found, observer_, cancel_);
  EXPECT_EQ(found.size(), 1u);
}

TEST_F(ScanWorkflowTest, OpenOrScanServesSavedResultsFromTheIndexUntilTheImageChanges) {
  const std::string path = Volume("card.img", "Lost File.txt", 6);
  app::ScanWorkflow scan(messages_);
  auto count_files = [&](app::ScanSource& source) {
    ScanRecordList found;
    app::SearchSources({&source}, "*.txt", messages_, &found, observer_, cancel_);
    return found.size();
  };
  app::OpenOutcome outcome;
  {
    app::SourceList sources;  // one command-line process
    app::ScanSource& image = sources.AddImage(path);
    ASSERT_EQ(scan.OpenOrScan(image, app::ScanMode::kQuick, {}, observer_, cancel_, &outcome), 0);
    EXPECT_TRUE(outcome.scanned);
    EXPECT_EQ(count_files(image), 1u);
  }
  ScanIndex::ResetInstance();  // the next process reads the index afresh
  {
    app::SourceList sources;
    app::ScanSource& image = sources.AddImage(path);
    ASSERT_EQ(scan.OpenOrScan(image, app::ScanMode::kQuick, {}, observer_, cancel_, &outcome), 0);
    EXPECT_TRUE(outcome.reopened);
    EXPECT_FALSE(outcome.scanned);
    EXPECT_EQ(count_files(image), 1u);
    // A quick result is never taken for a deep scan's resume state.
    EXPECT_EQ(DeepFolderOf(image), "");
    app::OpenOptions only_saved;
    only_saved.scan_if_missing = false;
    EXPECT_EQ(
        scan.OpenOrScan(image, app::ScanMode::kDeep, only_saved, observer_, cancel_, &outcome),
        kErrFileNotFound);
  }
  ScanIndex::ResetInstance();
  {
    // The image is written again: its saved result no longer stands for it.
    Volume("card.img", "Other File.txt", 7);
    app::SourceList sources;
    app::ScanSource& image = sources.AddImage(path);
    ASSERT_EQ(scan.OpenOrScan(image, app::ScanMode::kQuick, {}, observer_, cancel_, &outcome), 0);
    EXPECT_TRUE(outcome.scanned);
    ScanRecordList found;
    app::SearchSources({&image}, "*.txt", messages_, &found, observer_, cancel_);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(RecordName(found[0]), "Other File.txt");
  }
  EXPECT_TRUE(observer_.questions.empty());
}

TEST_F(ScanWorkflowTest, RunResults) {
  app::SourceList sources;
  app::ScanSource& image = sources.AddImage(Volume("card.img", "Lost File.txt", 5));
  app::ScanWorkflow scan(messages_);

  // A blank image has no file system for a quick scan: no engine.
  std::vector<uint8_t> zeros(1 << 20, 0);
  const std::string blank_path = work_ + "/blank.img";
  FILE* blank_file = std::fopen(blank_path.c_str(), "wb");
  ASSERT_NE(blank_file, nullptr);
  std::fwrite(zeros.data(), 1, zeros.size(), blank_file);
  std::fclose(blank_file);
  app::ScanSource& blank = sources.AddImage(blank_path);
  EXPECT_EQ(scan.Run({&blank}, app::ScanMode::kQuick, observer_, cancel_),
            app::RunResult::kNoEngine);
  // Among several sources, one without a file system is passed over.
  EXPECT_EQ(scan.Run({&blank, &image}, app::ScanMode::kQuick, observer_, cancel_),
            app::RunResult::kFinished);
  EXPECT_TRUE(image.engine);
  EXPECT_FALSE(blank.engine);
  EXPECT_EQ(scan.ResultSources(), std::vector<app::ScanSource*>{&image});

  app::CancelToken cancelled;
  cancelled.Cancel();
  EXPECT_EQ(scan.Run({&image}, app::ScanMode::kQuick, observer_, cancelled),
            app::RunResult::kCancelled);
}

}  // namespace
}  // namespace velmora::testing
