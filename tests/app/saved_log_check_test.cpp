// A saved result whose logs are not what was saved is named and scanned anew, never served;
// recovery judges the bytes it wrote, not the verdict the result kept.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/recovery_workflow.h"
#include "app/result_browsing.h"
#include "app/saved_scans.h"
#include "app/scan_workflow.h"
#include "app_test_support.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "storage/error_codes.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

class NoticeObserver : public RecordingObserver {
 public:
  void OnNotice(const std::string& text) override { notices.push_back(text); }
  bool Told(const std::string& part) const {
    return std::any_of(notices.begin(), notices.end(), [&](const std::string& notice) {
      return notice.find(part) != std::string::npos;
    });
  }
  std::vector<std::string> notices;
};

class SavedLogCheckTest : public AppWorkflowTest {
 protected:
  void SetUp() override {
    if (!FatBuilderAvailable()) GTEST_SKIP() << "mkfs.fat or mtools is not installed";
    AppWorkflowTest::SetUp();
  }
  // A FAT12 volume whose deleted files are a document and a photo.
  std::string Volume(const std::string& file, uint64_t seed, size_t document_bytes = 6000) {
    FatVolumeBuilder fat(work_ + "/" + file, 12, 4 << 20);
    fat.AddFile("/Packing list.docx", SampleContent("docx", document_bytes, seed));
    fat.AddFile("/Harbour.jpg", SampleContent("jpg", 9000, seed + 1));
    fat.Delete("/Packing list.docx");
    fat.Delete("/Harbour.jpg");
    fat.Finish();
    return work_ + "/" + file;
  }
  struct Opened {
    app::OpenOutcome outcome;
    std::vector<std::string> names;
    ScanRecordList records;
  };
  // Opens (or scans) the image as a command does, in a process of its own.
  Opened Open(const std::string& image, app::ScanMode mode, NoticeObserver& observer) {
    ScanIndex::ResetInstance();
    Opened opened;
    sources_ = std::make_unique<app::SourceList>();
    app::ScanSource& source = sources_->AddImage(image);
    workflow_ = std::make_unique<app::ScanWorkflow>(messages_);
    EXPECT_EQ(
        workflow_->OpenOrScan(source, mode, app::OpenOptions{}, observer, cancel_, &opened.outcome),
        kSuccess);
    EXPECT_NE(source.engine, nullptr);
    if (source.engine == nullptr) return opened;
    source.engine->GetFilesByType(app::TypeChoices().Filter(), &opened.records);
    for (const ScanRecord& record : opened.records) opened.names.emplace_back(RecordName(record));
    std::sort(opened.names.begin(), opened.names.end());
    return opened;
  }
  std::string LogOf(const std::string& image, app::ScanMode mode, const char* prefix) {
    ScanIndex::ResetInstance();
    ScanIndexRecord record{};
    if (!app::SavedResultFor(sources_->AddImage(image), mode, &record)) return {};
    std::string name;
    const std::string folder = app::FolderOf(record);
    return ScanIndex::Instance().FindLogFile(folder, prefix, &name) ? folder + name : std::string();
  }

  std::unique_ptr<app::SourceList> sources_;
  std::unique_ptr<app::ScanWorkflow> workflow_;
};

TEST_F(SavedLogCheckTest, DamagedLogsAreNamedAndScannedAnewNeverServed) {
  const std::string image = Volume("card.img", 1);
  const std::string other = Volume("other.img", 7, 7000);
  NoticeObserver first;
  const std::vector<std::string> expected = Open(image, app::ScanMode::kQuick, first).names;
  ASSERT_EQ(expected.size(), 2u);
  (void)Open(other, app::ScanMode::kQuick, first);
  {
    NoticeObserver again;
    const Opened intact = Open(image, app::ScanMode::kQuick, again);
    EXPECT_TRUE(intact.outcome.reopened) << "a whole log is served as saved";
    EXPECT_EQ(intact.names, expected);
  }
  using Damage = std::function<void(const std::string& log)>;
  const std::vector<std::pair<const char*, Damage>> damages = {
      {"one record short",
       [](const std::string& log) {
         fs::resize_file(log, fs::file_size(log) - sizeof(ScanRecord));
       }},
      {"zeroed",
       [](const std::string& log) {
         const auto size = fs::file_size(log);
         fs::resize_file(log, 0);
         fs::resize_file(log, size);
       }},
      {"one byte flipped",
       [](const std::string& log) {
         std::fstream file(log, std::ios::in | std::ios::out | std::ios::binary);
         file.seekg(100);
         const char byte = static_cast<char>(file.get() ^ 0x01);
         file.seekp(100);
         file.put(byte);
       }},
      {"the other image's log",
       [&](const std::string& log) {
         const std::string theirs = LogOf(other, app::ScanMode::kQuick, "Fast_");
         ASSERT_FALSE(theirs.empty());
         fs::copy_file(theirs, log, fs::copy_options::overwrite_existing);
       }},
  };
  for (const auto& [what, damage] : damages) {
    SCOPED_TRACE(what);
    const std::string log = LogOf(image, app::ScanMode::kQuick, "Fast_");
    ASSERT_FALSE(log.empty());
    damage(log);
    NoticeObserver observer;
    const Opened opened = Open(image, app::ScanMode::kQuick, observer);
    EXPECT_FALSE(opened.outcome.reopened);
    EXPECT_TRUE(opened.outcome.scanned);
    EXPECT_TRUE(observer.Told("is damaged (its log Fast_"))
        << ::testing::PrintToString(observer.notices);
    EXPECT_EQ(opened.names, expected);
  }
  // A deep result is checked the same way when its engine opens it.
  NoticeObserver deep;
  const std::vector<std::string> deep_expected = Open(image, app::ScanMode::kDeep, deep).names;
  const std::string carved = LogOf(image, app::ScanMode::kDeep, "File_Type_");
  ASSERT_FALSE(carved.empty());
  std::fstream(carved, std::ios::in | std::ios::out | std::ios::binary).put('\x7f');
  NoticeObserver reopened;
  const Opened opened = Open(image, app::ScanMode::kDeep, reopened);
  EXPECT_FALSE(opened.outcome.reopened);
  EXPECT_TRUE(reopened.Told("is damaged (its log File_Type_"))
      << ::testing::PrintToString(reopened.notices);
  EXPECT_EQ(opened.names, deep_expected);
}

TEST_F(SavedLogCheckTest, AResultSavedWithoutChecksumsIsScannedAnew) {
  const std::string image = Volume("card.img", 3);
  NoticeObserver first;
  const std::vector<std::string> expected = Open(image, app::ScanMode::kQuick, first).names;
  // As an older version left it: the index names the folder, no sums speak for its logs.
  fs::remove(ScanIndex::Instance().Directory() + "/config.sums");
  NoticeObserver observer;
  const Opened opened = Open(image, app::ScanMode::kQuick, observer);
  EXPECT_TRUE(opened.outcome.scanned);
  EXPECT_TRUE(observer.Told("without checksums")) << ::testing::PrintToString(observer.notices);
  EXPECT_EQ(opened.names, expected);
  NoticeObserver later;
  EXPECT_TRUE(Open(image, app::ScanMode::kQuick, later).outcome.reopened) << "summed this time";
}

TEST_F(SavedLogCheckTest, RecoveryJudgesTheBytesItWroteNotTheSavedVerdict) {
  const std::string image = Volume("card.img", 5);
  NoticeObserver observer;
  Opened opened = Open(image, app::ScanMode::kQuick, observer);
  ASSERT_EQ(opened.records.size(), 2u);
  auto named = [&](const char* name) {
    return *std::find_if(opened.records.begin(), opened.records.end(),
                         [&](const ScanRecord& r) { return RecordName(r) == name; });
  };
  const ScanRecord photo = named("Harbour.jpg");
  ScanRecord document = named("Packing list.docx");
  ASSERT_TRUE(ContentAgrees(document));
  // The document's record pointed at the photo's data, its verdict left as it was.
  document.object_id = photo.object_id.get();
  document.size = photo.size.get();
  app::RecoveryWorkflow recovery(*sources_, messages_);
  ASSERT_EQ(recovery.Run({document, photo}, work_ + "/out", observer, cancel_),
            app::RunResult::kFinished);
  ASSERT_EQ(observer.lines.size(), 2u);
  for (const app::RecoveryLine& line : observer.lines) {
    const bool is_document = line.target.ends_with("Packing list.docx");
    EXPECT_EQ(line.content_differs, is_document) << line.target;
    EXPECT_EQ(line.content_contradicts_result, is_document) << line.target;
  }
}

}  // namespace
}  // namespace velmora::testing
