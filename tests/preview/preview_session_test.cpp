// Files put on a real FAT volume, deleted, found by the quick scan and
// previewed through their engine, as the results page does.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "engine/quick_ext_recovery.h"
#include "engine/scan_index.h"
#include "fat/fat_scan_helpers.h"
#include "preview/preview_session.h"
#include "preview/raw_text.h"
#include "support/content_gen.h"
#include "support/document_files.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

namespace velmora::preview {
namespace {

using testing::DocumentFiles;

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

class PreviewSessionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing::FatBuilderAvailable()) return;
    dir_ = new std::string(testing::MakeTempDir("preview-session"));
    put_names_ = new std::vector<std::string>;
    DocumentFiles files(*dir_ + "/made");
    std::vector<std::pair<std::string, std::string>> put = {
        {"Quarterly report.docx", files.Docx("q.docx", {"Revenue grew", "Costs fell"})},
        {"Budget sheet.xlsx", files.Xlsx("b.xlsx", 2, 3)},
        {"Team slides.pptx", files.Pptx("t.pptx", {"Kick-off", "Road map"})},
        {"Minutes final.odt", files.Odt("m.odt", {"Meeting opened"})},
        {"Old letter.rtf", files.Text("o.rtf", "{\\rtf1 Dear friend,\\par see you}")},
        {"Price list.csv", files.Text("p.csv", "item,price\ntea,3\n")},
        {"Backup set.zip", files.Archive("s.zip", "zip", {{"inner/notes.txt", "hello"}})},
        {"Backup set.7z", files.Archive("s.7z", "7z", {{"inner/notes.txt", "hello"}})},
        {"Holiday photo.png", files.Picture("h.png", 64, 48)},
        {"Tiny dot.png", files.Picture("d.png", 2, 2)},
        {"Wide dot.png", files.Picture("w.png", 3, 2)},
        {"Page scan.pdf", files.Pdf("s.pdf", 200, 100, "Velmora")},
        {"Read me first.txt", files.Text("r.txt", "plain words\n")},
        {"Song take.mp3", files.Text("s.mp3", std::string(5000, 'm'))},
    };
    const std::vector<uint8_t> words = testing::RandomText(30000, 5);
    const std::string broken = files.Docx("x.docx", {std::string(words.begin(), words.end())});
    put.push_back(
        {"Broken report.docx",
         files.Truncated(broken, "x-cut.docx", testing::ReadWholeFile(broken).size() / 2)});
    const std::string photo = files.Picture("c.png", 64, 64);
    if (!photo.empty()) put.push_back({"Cut photo.png", files.Truncated(photo, "c-cut.png", 60)});
    for (const auto& [name, fixture] :
         {std::pair<std::string, std::string>{"Shared text.doc", "fixture.doc.cfb"},
          {"Shared sheet.xls", "fixture.xls.cfb"},
          {"Shared deck.ppt", "fixture.ppt.cfb"}}) {
      const std::string path = testing::SharedTestData("file-type-fixtures/" + fixture);
      if (!path.empty()) put.push_back({name, path});
    }
    testing::FatVolumeBuilder fat(*dir_ + "/fat.img", 16, 32 << 20);
    for (const auto& [name, source] : put) {
      if (!source.empty())
        fat.AddFile("/" + name, testing::ReadWholeFile(source));  // "": tool missing
    }
    for (const auto& [name, source] : put) {
      if (source.empty()) continue;
      fat.Delete("/" + name);
      put_names_->push_back(name);
    }
    fat.Finish();
  }
  static void TearDownTestSuite() {
    if (dir_) testing::RemoveTree(*dir_);
    delete dir_;
    dir_ = nullptr;
    delete put_names_;
    put_names_ = nullptr;
  }

  void SetUp() override {
    if (!dir_) GTEST_SKIP() << "mkfs.fat and mtools are needed";
    engine_ = testing::ScanFatImage(*dir_ + "/fat.img", data_.Path() + "/log");
    ASSERT_TRUE(engine_);
    for (const auto& [path, record] : testing::ListTree(engine_.get())) records_[path] = record;
    for (const auto& name : *put_names_) EXPECT_TRUE(Has(name)) << name << " not found by the scan";
  }

  // The shown content of a found file; skips when it was not put on the volume.
  PreviewContent Show(PreviewSession* session, const std::string& name) {
    auto found = records_.find(name);
    if (found == records_.end()) return {};
    EXPECT_EQ(session->Prepare(engine_.get(), found->second, [](int) { return true; }),
              kPreparationFinished);
    EXPECT_EQ(session->ExtractionError(), 0) << name;
    return session->Show();
  }
  bool Has(const std::string& name) const { return records_.count(name) != 0; }

  static std::string* dir_;
  static std::vector<std::string>* put_names_;
  testing::ScopedDataDir data_;
  std::unique_ptr<CFastFatRecovery> engine_;
  std::map<std::string, ScanRecord> records_;
};

std::string* PreviewSessionTest::dir_ = nullptr;
std::vector<std::string>* PreviewSessionTest::put_names_ = nullptr;

TEST_F(PreviewSessionTest, DocumentsShowTheirText) {
  PreviewSession session(ScanLogDirectory());
  struct Case {
    const char* name;
    const char* expected;
  };
  for (const Case& c : {Case{"Quarterly report.docx", "Revenue grew\nCosts fell\n"},
                        Case{"Budget sheet.xlsx", "R1C1\tR1C2\tR1C3\nR2C1\tR2C2\tR2C3\n"},
                        Case{"Team slides.pptx", "Kick-off\n\nRoad map\n"},
                        Case{"Minutes final.odt", "Meeting opened\n"},
                        Case{"Old letter.rtf", "Dear friend,\nsee you"},
                        Case{"Price list.csv", "item\tprice\ntea\t3\n"}}) {
    const PreviewContent content = Show(&session, c.name);
    EXPECT_EQ(content.kind, PreviewContent::Kind::kText) << c.name;
    EXPECT_TRUE(content.from_viewer) << c.name;
    EXPECT_EQ(content.text, c.expected) << c.name;
  }
  if (Has("Shared text.doc")) {
    EXPECT_EQ(Show(&session, "Shared text.doc").text.rfind("Lorem ipsum", 0), 0u);
    EXPECT_NE(Show(&session, "Shared sheet.xls").text.find("\tHashimoto\t"), std::string::npos);
    EXPECT_NE(Show(&session, "Shared deck.ppt").text.find("Column 3\n"), std::string::npos);
  }
  for (const char* name : {"Backup set.zip", "Backup set.7z"}) {
    if (!Has(name)) continue;
    const PreviewContent listing = Show(&session, name);
    EXPECT_NE(listing.text.find("\n-------------------\n"), std::string::npos) << name;
    EXPECT_NE(listing.text.find(" 5  inner/notes.txt\n"), std::string::npos) << listing.text;
  }
}

TEST_F(PreviewSessionTest, PicturesAndPdfPages) {
  if (!Has("Holiday photo.png")) GTEST_SKIP() << "ImageMagick is needed";
  std::string first_path;
  {
    PreviewSession session(ScanLogDirectory());
    PreviewContent photo = Show(&session, "Holiday photo.png");
    ASSERT_EQ(photo.kind, PreviewContent::Kind::kPicture);
    EXPECT_EQ(photo.picture.width, 64);
    EXPECT_EQ(photo.picture.height, 48);
    first_path = session.TemporaryPath();
    EXPECT_TRUE(Exists(first_path));

    // At most 2 x 2 is no picture; one pixel more is.
    EXPECT_EQ(Show(&session, "Tiny dot.png").text, kPictureFailureText);
    EXPECT_EQ(Show(&session, "Wide dot.png").kind, PreviewContent::Kind::kPicture);
    EXPECT_EQ(Show(&session, "Cut photo.png").text, kPictureFailureText);
    const PreviewContent text = Show(&session, "Read me first.txt");
    EXPECT_EQ(text.text, "plain words\n\r\n");

    if (Has("Page scan.pdf")) {
      const PreviewContent page = Show(&session, "Page scan.pdf");
      ASSERT_EQ(page.kind, PreviewContent::Kind::kPicture);
      EXPECT_TRUE(page.pdf_page);
      // 200 x 100 points at 96 dots per inch.
      EXPECT_NEAR(page.picture.width, 267, 1);
      EXPECT_NEAR(page.picture.height, 133, 1);
      first_path = page.picture_path;
      EXPECT_TRUE(Exists(first_path));
    }
  }
  EXPECT_FALSE(Exists(first_path)) << "temporary files outlive their session";
}

TEST_F(PreviewSessionTest, DamagedDocumentFallsBackToItsFirstBytes) {
  PreviewSession session(ScanLogDirectory());
  const PreviewContent content = Show(&session, "Broken report.docx");
  ASSERT_EQ(content.kind, PreviewContent::Kind::kText);
  EXPECT_FALSE(content.from_viewer);
  const std::vector<uint8_t> bytes = testing::ReadWholeFile(session.TemporaryPath());
  ASSERT_GT(bytes.size(), kRawTextBytes);
  EXPECT_EQ(content.text, RawText(bytes.data(), kRawTextBytes));
}

TEST_F(PreviewSessionTest, MediaDirectoriesAndCancel) {
  PreviewSession session(ScanLogDirectory());
  const PreviewContent song = Show(&session, "Song take.mp3");
  EXPECT_EQ(song.kind, PreviewContent::Kind::kMedia);
  EXPECT_TRUE(song.audio);
  EXPECT_EQ(testing::ReadWholeFile(song.media_path), std::vector<uint8_t>(5000, 'm'));

  // A new preview first removes the previous one's file.
  ScanRecord folder{};
  folder.is_directory = 1;
  EXPECT_EQ(session.Prepare(engine_.get(), folder, [](int) { return true; }), kPreparationFinished);
  EXPECT_FALSE(Exists(song.media_path));
  EXPECT_EQ(session.Show().kind, PreviewContent::Kind::kDirectory);

  // Cancelled on the first progress report, from the worker thread.
  const ScanRecord& report = records_.at("Quarterly report.docx");
  bool asked = false;
  EXPECT_EQ(session.Prepare(engine_.get(), report,
                            [&](int) {
                              asked = true;
                              return false;
                            }),
            kPreparationCancelled);
  EXPECT_TRUE(asked);
  EXPECT_TRUE(session.TemporaryPath().empty());
  EXPECT_EQ(session.Show().kind, PreviewContent::Kind::kNothing);
  {
    PreviewWorker worker(&session, engine_.get(), report);
    EXPECT_EQ(worker.Wait(), kPreparationFinished);
    EXPECT_TRUE(worker.Finished());
  }
  EXPECT_TRUE(Exists(session.TemporaryPath()));
}

}  // namespace
}  // namespace velmora::preview

namespace velmora::preview {
namespace {

// An engine that, like the signature engine for kinds it keeps no file for,
// hands the data over in memory only.
class MemoryOnlyEngine : public CFastExtRecovery {
 public:
  int PreviewFile(const ScanRecord&, std::string* path, uint8_t* memory, int* bytes,
                  PreviewProgressCallback, void*) override {
    if (!memory || !bytes) return 87;
    capacity = *bytes;
    const std::string data("MZ\0carved", 9);
    std::copy(data.begin(), data.end(), memory);
    *bytes = static_cast<int>(data.size());
    path->clear();
    return 0;
  }
  int capacity = 0;
};

TEST(PreviewMemoryTest, DataDeliveredInMemoryShowsAsRawText) {
  testing::ScopedDataDir data;
  MemoryOnlyEngine engine;
  ScanRecord record{};
  SetRecordName(&record, "00001234.exe");
  PreviewSession session(ScanLogDirectory());
  EXPECT_EQ(session.Prepare(&engine, record, [](int) { return true; }), kPreparationFinished);
  EXPECT_EQ(engine.capacity, kPreviewMemoryBytes);
  const PreviewContent content = session.Show();
  EXPECT_EQ(content.kind, PreviewContent::Kind::kText);
  EXPECT_EQ(content.text, "MZ.carved\r\n");
}

}  // namespace
}  // namespace velmora::preview
