// The preview driven through the real windows, offscreen, on a FAT volume made
// at test time: a document, two pictures drawn with Qt and a WAV file, deleted,
// scanned and then previewed in the results pane and the preview window.
#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QMediaPlayer>
#include <QPainter>
#include <QRegularExpression>
#include <QSlider>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QTreeWidget>
#include <QVideoWidget>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>

#include "app/language_settings.h"
#include "engine/scan_index.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui/preview_pane.h"
#include "gui/preview_window.h"
#include "gui/progress_window.h"
#include "gui/skin.h"
#include "gui_test_support.h"
#include "support/document_files.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

using namespace velmora;
using velmora::gui::MainWindow;
namespace fs = std::filesystem;

namespace {

using testing::Shot;

std::vector<uint8_t> Picture(int width, int height, QColor colour, const char* format = "PNG") {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(colour);
  QPainter(&image).drawLine(0, 0, width - 1, height - 1);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  image.save(&buffer, format);
  return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Half a second of a 440 Hz tone, 8 kHz 16-bit mono PCM.
std::vector<uint8_t> Wav() {
  const uint32_t rate = 8000;
  const uint32_t samples = rate / 2;
  std::vector<uint8_t> out;
  auto put = [&out](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  auto tag = [&out](const char* text) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(text[i]));
  };
  tag("RIFF");
  put(36 + samples * 2, 4);
  tag("WAVE");
  tag("fmt ");
  put(16, 4);
  put(1, 2);  // PCM
  put(1, 2);  // mono
  put(rate, 4);
  put(rate * 2, 4);
  put(2, 2);
  put(16, 2);
  tag("data");
  put(samples * 2, 4);
  for (uint32_t i = 0; i < samples; ++i) {
    put(static_cast<uint16_t>(static_cast<int16_t>(8000 * std::sin(i * 2 * M_PI * 440 / rate))), 2);
  }
  return out;
}

void Click(QWidget* root, const char* name) {
  auto* button = root->findChild<QAbstractButton*>(name);
  QVERIFY2(button, name);
  QTest::mouseClick(button, Qt::LeftButton);
}

// Regular files directly in `folder` (the scan folders are directories).
std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(folder, error)) {
    if (entry.is_regular_file()) names.insert(entry.path().filename().string());
  }
  return names;
}

}  // namespace

class PreviewTest : public QObject {
  Q_OBJECT
 private:
  std::string work_;
  std::unique_ptr<testing::ScopedDataDir> data_dir_;
  std::unique_ptr<app::LanguageSettings> language_;
  std::unique_ptr<MainWindow> window_;
  std::string image_;
  std::vector<std::vector<uint8_t>> pictures_;
  const QString paragraph_ = "Harbour office figures for the second quarter";
  bool video_ = false;  // a one-second clip could be made with ffmpeg

  // Scans the volume for deleted files and shows the group `node` has at `child`.
  void ScanAndShow(const char* node, const QString& group = QString()) {
    window_->LoadImage(QString::fromStdString(image_));
    Click(window_->Skin(), "BtnDeletedRecovery");
    Click(window_->Skin(), "BtnScan");
    QCOMPARE(window_->LastScanResult(), 1);
    ShowGroup(node, group);
  }
  // Shows the group of category `node` whose text starts with `group`.
  void ShowGroup(const char* node, const QString& group = QString()) {
    QTreeWidget* tree = window_->TypeTree();
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
      QTreeWidgetItem* category = tree->topLevelItem(i);
      if (category->data(0, gui::kNameRole).toString() != node) continue;
      for (int j = 0; j < category->childCount(); ++j) {
        if (!category->child(j)->text(0).startsWith(group)) continue;
        tree->setCurrentItem(category->child(j));
        QVERIFY(window_->FileList()->topLevelItemCount() >= 1);
        return;
      }
    }
    QFAIL(node);
  }
  // Selects a row and waits until its preparation has been shown.
  void Select(int row) {
    QTreeWidgetItem* item = window_->FileList()->topLevelItem(row);
    QVERIFY(item);
    bool prepared = false;
    auto once = connect(
        window_.get(), &MainWindow::PreviewPreparing, this, [&prepared](gui::ProgressWindow* w) {
          connect(w, &gui::ProgressWindow::WorkerFinished, w, [&prepared] { prepared = true; });
        });
    window_->FileList()->setCurrentItem(item);
    QTRY_VERIFY_WITH_TIMEOUT(prepared && !QApplication::activeModalWidget(), 20000);
    disconnect(once);
  }
  gui::PreviewPane* Pane() const { return window_->Preview(); }

 private slots:
  void initTestCase() {
    if (!testing::FatBuilderAvailable()) QSKIP("mkfs.fat or mtools is not installed");
    work_ = testing::MakeTempDir("gui-preview");
    data_dir_ = std::make_unique<testing::ScopedDataDir>();
    language_ = std::make_unique<app::LanguageSettings>(
        work_ + "/config.ini", std::string(VELMORA_SOURCE_DIR) + "/resources/languages/");
    language_->SetLanguage("English");
    testing::DocumentFiles documents(work_ + "/documents");
    const std::string docx =
        documents.Docx("report.docx", {paragraph_.toStdString(), "Second line"});
    pictures_ = {Picture(64, 48, QColor(30, 120, 200)), Picture(40, 30, QColor(200, 90, 20))};
    image_ = work_ + "/card.img";
    testing::FatVolumeBuilder fat(image_, 16, 16 << 20);
    fat.AddFile("/REPORT.DOCX", testing::ReadWholeFile(docx));
    fat.AddFile("/HARBOUR.PNG", pictures_[0]);
    fat.AddFile("/QUAY.PNG", pictures_[1]);
    fat.AddFile("/BELL.WAV", Wav());
    fat.AddFile("/DOT.BMP", Picture(2, 2, Qt::black, "BMP"));
    const std::string clip = work_ + "/clip.avi";
    video_ = testing::RunCommand(
                 "ffmpeg -loglevel error -y -f lavfi -i testsrc=size=64x48:rate=10 -t 1 "
                 "-pix_fmt yuv420p " +
                 clip) == 0;
    if (video_) {
      fat.AddFile("/CLIP.AVI", testing::ReadWholeFile(clip));
      fat.Delete("/CLIP.AVI");
    }
    for (const char* name : {"/REPORT.DOCX", "/HARBOUR.PNG", "/QUAY.PNG", "/BELL.WAV", "/DOT.BMP"})
      fat.Delete(name);
    fat.Finish();
  }
  void init() {
    ScanIndex::ResetInstance();
    window_ = std::make_unique<MainWindow>(*language_, false);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }
  void cleanup() {
    window_.reset();
    ScanIndex::ResetInstance();
  }
  void cleanupTestCase() {
    if (!work_.empty()) testing::RemoveTree(work_);
  }

  void paneShowsDocumentPictureAndSound() {
    ScanAndShow("NodeOffice");
    connect(window_.get(), &MainWindow::PreviewPreparing, this, [](gui::ProgressWindow* w) {
      connect(w, &gui::ProgressWindow::WorkerFinished, w,
              [w] { Shot(w, "20-preview-preparation"); });
    });
    Select(0);
    QVERIFY2(Pane()->Edit()->toPlainText().contains(paragraph_),
             qPrintable(Pane()->Edit()->toPlainText()));
    const std::string document_copy = window_->PreviewFiles().TemporaryPath();
    QVERIFY(fs::exists(document_copy));
    Shot(window_.get(), "21-preview-document");

    ShowGroup("NodePhoto", "PNG");
    Select(0);
    QVERIFY(!fs::exists(document_copy));  // the next preview deleted it
    const QSize shown = Pane()->Picture().size();
    QVERIFY(shown == QSize(64, 48) || shown == QSize(40, 30));
    QCOMPARE(Pane()->Info()->text(),
             QString("Picture: %1 x %2 pixels").arg(shown.width()).arg(shown.height()));
    // The picture is scaled to the pane: it fills its height or its width.
    QTextImageFormat placed;
    for (QTextBlock block = Pane()->Edit()->document()->begin(); block.isValid();
         block = block.next()) {
      for (auto it = block.begin(); !it.atEnd(); ++it) {
        if (it.fragment().charFormat().isImageFormat())
          placed = it.fragment().charFormat().toImageFormat();
      }
    }
    QVERIFY(placed.isValid());
    const QSize room = Pane()->Edit()->viewport()->size();
    QVERIFY2(placed.width() <= room.width() && placed.height() <= room.height() &&
                 (placed.height() > room.height() - 20 || placed.width() > room.width() - 20),
             qPrintable(QString("%1x%2 in %3x%4")
                            .arg(placed.width())
                            .arg(placed.height())
                            .arg(room.width())
                            .arg(room.height())));
    QCOMPARE(placed.width() / placed.height(), double(shown.width()) / shown.height());
    Shot(window_.get(), "22-preview-picture");

    // A picture of at most 2 x 2 pixels is not shown.
    ShowGroup("NodePhoto", "BMP");
    Select(0);
    QCOMPARE(Pane()->Edit()->toPlainText(), QString("\nCan not preview the picture!"));
    QVERIFY(Pane()->Picture().isNull());

    ShowGroup("NodeAudio");
    Select(0);
    const std::string sound_copy = window_->PreviewFiles().TemporaryPath();
    QVERIFY(fs::exists(sound_copy));
    QWidget* page = window_->PageWidget(MainWindow::kResultPage);
    QVERIFY(page->findChild<QWidget*>("MediaPanel")->isVisible());
    QVERIFY(page->findChild<QAbstractButton*>("BtnPlay"));
    auto* slider = page->findChild<QSlider*>("MediaSlider");
    QVERIFY(slider);
    // Either the backend plays it (the slider learns its length) or the pane
    // says why it cannot; it never just hangs.
    QTRY_VERIFY_WITH_TIMEOUT(slider->maximum() > 0 || !Pane()->MediaState()->text().isEmpty(),
                             20000);
    if (slider->maximum() == 0) {
      QVERIFY2(Pane()->MediaState()->text().startsWith("Audio and video cannot be played here: "),
               qPrintable(Pane()->MediaState()->text()));
    } else {
      QVERIFY(slider->maximum() >= 400 && slider->maximum() <= 600);  // half a second
    }
    Shot(window_.get(), "23-preview-sound");
    if (video_) {
      ShowGroup("NodeVideo");
      Select(0);
      auto* video = page->findChild<QVideoWidget*>();
      QVERIFY(video && video->isVisible());
      QTRY_VERIFY_WITH_TIMEOUT(slider->maximum() > 0 || !Pane()->MediaState()->text().isEmpty(),
                               20000);
      QVERIFY2(slider->maximum() >= 900 ||
                   Pane()->MediaState()->text().startsWith("Audio and video cannot"),
               qPrintable(Pane()->MediaState()->text()));
      Shot(window_.get(), "23-preview-video");
    }
    // The next preview stops the player and deletes the sound's copy.
    ShowGroup("NodePhoto", "PNG");
    Select(0);
    QVERIFY(Pane()->Player()->source().isEmpty());
    QVERIFY(!fs::exists(sound_copy));
    window_.reset();  // exit removes the last copy too
    QVERIFY(FilesIn(ScanLogDirectory()).count("tmp.jpg") == 0);
  }

  void soundWithoutAMediaBackendIsExplained() {
    ScanAndShow("NodeAudio");
    qputenv("QT_MEDIA_BACKEND", "not-installed-here");
    Select(0);
    qunsetenv("QT_MEDIA_BACKEND");
    QCOMPARE(Pane()->MediaState()->text(),
             QString("Audio and video cannot be played here: the Qt Multimedia backend "
                     "\"not-installed-here\" is not installed"));
    QVERIFY(!window_->PageWidget(MainWindow::kResultPage)
                 ->findChild<QAbstractButton*>("BtnPlay")
                 ->isEnabled());
    QVERIFY(!Pane()->Player());
  }

  void previewWindowStepsOverPhotosAndRecoversTheShownOne() {
    ScanAndShow("NodePhoto", "PNG");
    QCOMPARE(window_->FileList()->topLevelItemCount(), 2);
    Select(0);
    const std::string destination = work_ + "/rescued";
    QDir().mkpath(QString::fromStdString(destination));
    window_->SetChooser([destination](gui::ChooseKind, const QString&) {
      return QString::fromStdString(destination);
    });
    connect(window_.get(), &MainWindow::ModalStarted, this, [](gui::ProgressWindow* progress) {
      connect(progress, &gui::ProgressWindow::WorkerFinished, progress, [progress] {
        QTimer::singleShot(0, progress, [progress] { Click(progress->Skin(), "FinishBtn"); });
      });
    });
    std::vector<QSize> sizes;
    QSize recovered_shown;
    bool bars_shown = false;
    connect(window_.get(), &MainWindow::PreviewWindowOpened, this, [&](gui::CPreviewWnd* preview) {
      QTimer::singleShot(0, preview, [&, preview] {
        QCOMPARE(preview->objectName(), QString("UIPreviewWnd"));
        bars_shown = preview->Skin()->findChild<QWidget*>("PrevBar")->isVisible() &&
                     preview->Skin()->findChild<QWidget*>("NextBar")->isVisible();
        sizes.push_back(preview->Pane()->Picture().size());
        Shot(preview, "24-preview-window");
        for (const char* step : {"NextBtn", "NextBtn", "PrevBtn"}) {
          Click(preview->Skin(), step);
          sizes.push_back(preview->Pane()->Picture().size());
        }
        recovered_shown = sizes.back();
        Click(preview->Skin(), "RecoveryBtn");
        Click(preview->Skin(), "CancelBtn");
      });
    });
    emit window_->FileList()->itemActivated(window_->FileList()->topLevelItem(0), 1);
    QTRY_VERIFY_WITH_TIMEOUT(sizes.size() == 4 && !QApplication::activeModalWidget(), 30000);
    QVERIFY(bars_shown);
    // Two photos: next, next wraps back to the first, previous goes to the second.
    QVERIFY(sizes[0] != sizes[1]);
    QCOMPARE(sizes[2], sizes[0]);
    QCOMPARE(sizes[3], sizes[1]);
    QCOMPARE(window_->LastRecoveryResult(), 1);
    const QStringList files =
        QDir(QString::fromStdString(destination + "/photo")).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    const std::vector<uint8_t> bytes =
        testing::ReadWholeFile(destination + "/photo/" + files[0].toStdString());
    QVERIFY(bytes == pictures_[0] || bytes == pictures_[1]);
    QCOMPARE(QImage::fromData(bytes.data(), static_cast<int>(bytes.size())).size(),
             recovered_shown);
    // Closing the window let go of its picture.
    QVERIFY(window_->PreviewFiles().TemporaryPath().empty());
    QVERIFY(Pane()->Picture().isNull());
  }

  void cancelledPreparationStopsTheWorkerAndKeepsNoFile() {
    ScanAndShow("NodeOffice");
    const std::set<std::string> before = FilesIn(ScanLogDirectory());
    bool held = false;
    bool worker_done = false;
    int result = 0;
    connect(window_.get(), &MainWindow::PreviewPreparing, this, [&](gui::ProgressWindow* progress) {
      // Held at its first progress report, so the cancel always meets a running worker.
      progress->Token().Pause();
      connect(progress, &QDialog::finished, this, [&, progress](int code) {
        result = code;
        worker_done = progress->WorkerDone();
      });
      QTimer::singleShot(0, progress, [&, progress] {
        QTRY_VERIFY_WITH_TIMEOUT(progress->Token().Holding(), 20000);
        held = true;
        auto* answer = new QTimer(progress);
        connect(answer, &QTimer::timeout, progress, [answer] {
          if (auto* box = qobject_cast<gui::MessageBox*>(QApplication::activeModalWidget())) {
            answer->stop();
            QCOMPARE(box->Text(), QString("Stop preparing the preview?"));
            Click(box, "okbtn");
          }
        });
        answer->start(10);
        Shot(progress, "25-preview-cancel");
        Click(progress->Skin(), "cancelbtn");
      });
    });
    window_->FileList()->setCurrentItem(window_->FileList()->topLevelItem(0));
    QTRY_VERIFY_WITH_TIMEOUT(result != 0 && !QApplication::activeModalWidget(), 30000);
    QVERIFY(held);
    QCOMPARE(result, 2);
    QVERIFY(worker_done);
    QVERIFY(Pane()->Edit()->toPlainText().isEmpty());
    QVERIFY(window_->PreviewFiles().TemporaryPath().empty());
    QCOMPARE(FilesIn(ScanLogDirectory()), before);
  }

  void everyPreviewTextIsInEveryLanguage() {
    std::set<QString> keys;
    const QRegularExpression key("MSG[0-9]{4}");
    for (const char* folder : {"src/gui", "src/preview"}) {
      for (const QFileInfo& file :
           QDir(QString(VELMORA_SOURCE_DIR) + "/" + folder).entryInfoList(QDir::Files)) {
        QFile source(file.filePath());
        QVERIFY(source.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(source.readAll());
        for (auto it = key.globalMatch(text); it.hasNext();) keys.insert(it.next().captured());
      }
    }
    QVERIFY(keys.count("MSG0906") && keys.count("MSG0901"));
    for (const char* language : {"English", "Deutsch"}) {
      app::LanguageSettings settings(work_ + "/keys.ini",
                                     std::string(VELMORA_SOURCE_DIR) + "/resources/languages/");
      QCOMPARE(settings.SetLanguage(language), 0);
      for (const QString& name : keys) {
        QVERIFY2(!app::Lookup(settings.Section("Messages"), name.toStdString()).empty(),
                 qPrintable(QString("%1 %2").arg(language, name)));
      }
      for (const char* control : {"PrevBtn", "NextBtn", "RecoveryBtn", "CancelBtn"}) {
        QVERIFY2(!app::Lookup(settings.Section("PreviewWnd"), control).empty(), control);
      }
    }
  }
};

QTEST_MAIN(PreviewTest)
#include "preview_test.moc"
