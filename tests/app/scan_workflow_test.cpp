// The scan run over real generated volumes: rows in order, scan folders kept
// or removed, the resume answer, and the run results.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/result_browsing.h"
#include "app/saved_scans.h"
#include "app/scan_workflow.h"
#include "app_test_support.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "storage/error_codes.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
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
  const std::vector<std::string> expected_stages = {"Scanning volume " + rows[0]->ShortName(),
                                                    "Scanning volume " + rows[1]->ShortName()};
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

TEST_F(ScanWorkflowTest, QuickFoldersGoWithTheNextRunDeepFoldersStay) {
  app::SourceList sources;
  app::ScanSource& image = sources.AddImage(Volume("card.img", "Lost File.txt", 3));
  EXPECT_EQ(image.drive_tag, 1001);
  EXPECT_EQ(sources.AddImage(work_ + "/card.img").drive_tag, 1002);
  app::ScanWorkflow scan(messages_);

  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kQuick, observer_, cancel_), app::RunResult::kFinished);
  ASSERT_EQ(scan.LastQuickFolders().size(), 1u);
  const std::string first_quick = scan.LastQuickFolders()[0];
  EXPECT_TRUE(Exists(first_quick));

  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kQuick, observer_, cancel_), app::RunResult::kFinished);
  const std::string second_quick = scan.LastQuickFolders()[0];
  EXPECT_NE(second_quick, first_quick);
  EXPECT_FALSE(Exists(first_quick));
  EXPECT_TRUE(Exists(second_quick));

  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kDeep, observer_, cancel_), app::RunResult::kFinished);
  EXPECT_FALSE(Exists(second_quick));
  const std::string deep = DeepFolderOf(image);
  ASSERT_FALSE(deep.empty());

  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kQuick, observer_, cancel_), app::RunResult::kFinished);
  EXPECT_TRUE(Exists(deep));
  EXPECT_TRUE(observer_.questions.empty());  // the deep run found no saved scan to ask about
}

TEST_F(ScanWorkflowTest, ResumeAnswerDecidesBetweenSavedAndFreshScan) {
  app::SourceList sources;
  app::ScanSource& image = sources.AddImage(Volume("card.img", "Lost File.txt", 4));
  app::ScanWorkflow scan(messages_);
  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kDeep, observer_, cancel_), app::RunResult::kFinished);
  const std::string saved = DeepFolderOf(image);
  ASSERT_FALSE(saved.empty());

  observer_.resume_answer = true;  // the saved scan is served again
  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kDeep, observer_, cancel_), app::RunResult::kFinished);
  ASSERT_EQ(observer_.questions.size(), 1u);
  // A finished scan is offered for showing, not for resuming.
  EXPECT_EQ(observer_.questions[0], messages_.at("MSG1208"));
  EXPECT_EQ(DeepFolderOf(image), saved);

  observer_.resume_answer = false;  // afresh: the saved folder goes, a new one is written
  ASSERT_EQ(scan.Run({&image}, app::ScanMode::kDeep, observer_, cancel_), app::RunResult::kFinished);
  EXPECT_EQ(observer_.questions.size(), 2u);
  EXPECT_FALSE(Exists(saved));
  const std::string fresh = DeepFolderOf(image);
  EXPECT_FALSE(fresh.empty());
  EXPECT_NE(fresh, saved);
  ScanRecordList found;
  app::SearchSources({&image}, "*.txt", messages_, &found, observer_, cancel_);
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
    EXPECT_EQ(scan.OpenOrScan(image, app::ScanMode::kDeep, only_saved, observer_, cancel_, &outcome),
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
  EXPECT_EQ(scan.Run({&blank}, app::ScanMode::kQuick, observer_, cancel_), app::RunResult::kNoEngine);
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
