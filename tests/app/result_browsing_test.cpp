// The search over a scanned volume: type choices, extension groups, the type
// tree, the ticked set and the selection summary.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "app/result_browsing.h"
#include "app/scan_workflow.h"
#include "app/size_text.h"
#include "app_test_support.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

using app::TickState;

TEST(TypeChoicesTest, FilterFollowsTheTickedOptions) {
  app::TypeChoices choices;
  EXPECT_TRUE(choices.IsTicked("OptJPG"));
  EXPECT_NE(choices.Filter().find("*.other"), std::string::npos);
  for (const char* group : {"FileTypePhoto", "FileTypeAudio", "FileTypeVideo", "FileTypeOffice",
                            "FileTypeZip", "FileTypeOther"}) {
    choices.SetGroup(group, false);
  }
  // Nothing ticked: the five category lists, others left out.
  EXPECT_EQ(choices.Filter(), std::string(kPhotoExtensions) + "|" + kAudioExtensions + "|" +
                                  kVideoExtensions + "|" + kDocumentExtensions + "|" +
                                  kArchiveExtensions);
  choices.SetOption("OptJPG", true);
  EXPECT_EQ(choices.Filter(), "*.jpeg|*.jpg");
  choices.SetOption(app::kOtherOption, true);
  EXPECT_EQ(choices.Filter(), "*.jpeg|*.jpg|*.other");
  // "rm" is an audio extension before it is a video one.
  EXPECT_EQ(app::FindOption("OptRM")->group, "FileTypeAudio");
}

class ResultBrowsingTest : public AppWorkflowTest {
 protected:
  void SetUp() override {
    if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    AppWorkflowTest::SetUp();
    {
      FatVolumeBuilder fat(work_ + "/card.img", 12, 4 << 20);
      const std::vector<std::pair<std::string, std::vector<uint8_t>>> files = {
          {"/a.JPEG", SampleContent("jpg", 6000, 1)},
          {"/b photo.jpg", SampleContent("jpg", 7000, 2)},
          {"/c photo.jpeg", SampleContent("jpg", 8000, 3)},
          {"/read me", RandomText(3000, 4)},
          {"/Report 1.docx", SampleContent("docx", 9000, 5)},
      };
      // All written before any is deleted, so none lands on another's clusters.
      for (const auto& [path, content] : files) fat.AddFile(path, content);
      for (const auto& [path, content] : files) fat.Delete(path);
      fat.Finish();
    }
    source_ = &sources_.AddImage(work_ + "/card.img");
    app::ScanWorkflow scan(messages_);
    ASSERT_EQ(scan.Run({source_}, app::ScanMode::kQuick, observer_, cancel_),
              app::RunResult::kFinished);
    ASSERT_EQ(
        app::SearchSources({source_}, choices_.Filter(), messages_, &results_, observer_, cancel_),
        app::RunResult::kFinished);
  }
  static const app::TypeNode* Child(const std::vector<app::CategoryNode>& tree,
                                    const std::string& node, const std::string& extension) {
    for (const auto& category : tree) {
      if (category.name != node) continue;
      for (const auto& child : category.children) {
        if (child.extension == extension) return &child;
      }
    }
    return nullptr;
  }

  app::SourceList sources_;
  app::ScanSource* source_ = nullptr;
  app::TypeChoices choices_;
  ScanRecordList results_;
};

TEST_F(ResultBrowsingTest, GroupsMergeExtensionsAndNameTheRestUnknow) {
  ASSERT_EQ(results_.size(), 5u);
  EXPECT_GT(observer_.search_reports, 0);
  const app::ExtensionGroups groups = app::GroupByExtension(results_);
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups.at("jpg").size(), 3u);
  EXPECT_EQ(groups.at("doc").size(), 1u);
  EXPECT_EQ(groups.at("unknow").size(), 1u);

  auto tree = app::BuildTypeTree(groups, choices_, messages_);
  ASSERT_EQ(tree.size(), 6u);
  EXPECT_EQ(tree[0].text, "Photos");
  const app::TypeNode* jpg = Child(tree, "NodePhoto", "jpg");
  ASSERT_NE(jpg, nullptr);
  EXPECT_EQ(jpg->text, "JPG/JPEG (3)");
  EXPECT_EQ(jpg->records->size(), 3u);
  ASSERT_NE(Child(tree, "NodeOffice", "doc"), nullptr);
  EXPECT_EQ(Child(tree, "NodeOffice", "doc")->text, "DOC/DOCX (1)");
  ASSERT_NE(Child(tree, "NodeOther", "unknow"), nullptr);
  EXPECT_EQ(Child(tree, "NodeOther", "unknow")->text, "UNKNOW Files (1)");

  choices_.SetOption(app::kOtherOption, false);
  tree = app::BuildTypeTree(groups, choices_, messages_);
  EXPECT_EQ(Child(tree, "NodeOther", "unknow"), nullptr);
}

TEST_F(ResultBrowsingTest, CancelledSearchKeepsWhatWasListedAndStopsThere) {
  app::ScanSource& copy = sources_.AddImage(work_ + "/card.img");
  app::ScanWorkflow scan(messages_);
  ASSERT_EQ(scan.Run({&copy}, app::ScanMode::kQuick, observer_, cancel_),
            app::RunResult::kFinished);
  app::CancelToken cancelled;
  cancelled.Cancel();
  RecordingObserver observer;
  ScanRecordList found;
  EXPECT_EQ(app::SearchSources({source_, &copy}, choices_.Filter(), messages_, &found, observer,
                               cancelled),
            app::RunResult::kCancelled);
  EXPECT_EQ(observer.stages.size(), 1u);  // the second source is not listed
  EXPECT_EQ(observer.search_reports, 0);
  EXPECT_LE(found.size(), results_.size());  // a listing block read before the stop stays
}

TEST_F(ResultBrowsingTest, TickedSetSurvivesNodeChanges) {
  const app::ExtensionGroups groups = app::GroupByExtension(results_);
  const ScanRecordList& photos = groups.at("jpg");
  const ScanRecordList& documents = groups.at("doc");
  app::TickedSet ticked;
  EXPECT_EQ(app::Summarize(ticked, messages_).text, messages_.at("MSG0803"));
  EXPECT_FALSE(app::Summarize(ticked, messages_).recover_enabled);

  ticked.TickAll(photos);                                  // the photo node is ticked
  EXPECT_EQ(ticked.StateOf(documents), TickState::kNone);  // another node is shown
  EXPECT_EQ(ticked.StateOf(photos), TickState::kAll);      // and back
  EXPECT_FALSE(ticked.Tick(photos[0]));                    // ticking twice changes nothing
  EXPECT_TRUE(ticked.Untick(photos[1]));
  EXPECT_FALSE(ticked.Untick(photos[1]));
  EXPECT_EQ(ticked.StateOf(photos), TickState::kSome);
  ticked.Tick(documents[0]);

  const app::SelectionSummary summary = app::Summarize(ticked, messages_);
  EXPECT_TRUE(summary.recover_enabled);
  EXPECT_EQ(summary.count, 3u);
  EXPECT_EQ(summary.bytes, photos[0].size + photos[2].size + documents[0].size);
  EXPECT_EQ(summary.text,
            "Chosen: " + app::FormatSize(static_cast<int64_t>(summary.bytes)) + " in 3 files");

  // The same file from another source is another key.
  ScanRecord other = photos[0];
  other.drive_tag = 1002;
  EXPECT_FALSE(ticked.Contains(other));
  EXPECT_EQ(ticked.Records().size(), 3u);
}

}  // namespace
}  // namespace velmora::testing

namespace velmora::testing {
namespace {

ScanRecord RowRecord(const char* name, uint64_t size, uint64_t written, bool directory = false) {
  ScanRecord record{};
  SetRecordName(&record, name);
  record.size = size;
  record.last_write = written;
  record.is_directory = directory ? 1 : 0;
  return record;
}

TEST(FileListRows, TimesShowAsUtcAndZeroAsDashes) {
  EXPECT_EQ(app::FileTimeText(130435996290000000ULL), "2014-5-3 14:07:09");
  EXPECT_EQ(app::FileTimeText(0), "    ----    ");
  const ScanRecord folder = RowRecord("DCIM", 0, 0, true);
  EXPECT_EQ(app::ColumnText(folder, app::FileColumn::kSize), "");
  EXPECT_EQ(app::ColumnText(folder, app::FileColumn::kType), "folder");
  EXPECT_EQ(app::ColumnText(RowRecord("notes", 1, 0), app::FileColumn::kType), "file");
  EXPECT_EQ(app::ColumnText(RowRecord("a.Jpg", 1024, 0), app::FileColumn::kSize), "1.00 KB");
}

TEST(FileListRows, SortFoldersFirstTimesByValueNamesWithoutCase) {
  const ScanRecord october = RowRecord("b.txt", 5, 130565952000000000ULL);
  const ScanRecord september = RowRecord("A.txt", 9, 130540032000000000ULL);
  // As texts "2014-10-1" would sort before "2014-9-1".
  EXPECT_TRUE(app::RowLess(september, october, app::FileColumn::kModified));
  EXPECT_FALSE(app::RowLess(october, september, app::FileColumn::kModified));
  EXPECT_TRUE(app::RowLess(september, october, app::FileColumn::kName));
  EXPECT_TRUE(app::RowLess(RowRecord("d", 0, 0, true), october, app::FileColumn::kSize));
  EXPECT_TRUE(app::RowLess(october, september, app::FileColumn::kSize));
  EXPECT_TRUE(app::FirstSortAscending(app::FileColumn::kName));
  EXPECT_FALSE(app::FirstSortAscending(app::FileColumn::kSize));
  EXPECT_FALSE(app::FirstSortAscending(app::FileColumn::kCreated));
}

TEST(CancelTokenHold, HoldingOnlyWhileAWorkerWaitsPaused) {
  app::CancelToken token;
  EXPECT_FALSE(token.Holding());
  token.Pause();
  EXPECT_FALSE(token.Holding());  // nobody at a checkpoint yet
  std::thread worker([&token] { EXPECT_FALSE(token.Checkpoint()); });
  while (!token.Holding()) std::this_thread::yield();
  token.Resume();
  worker.join();
  EXPECT_FALSE(token.Holding());
}

}  // namespace
}  // namespace velmora::testing
