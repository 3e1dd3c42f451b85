// The desktop windows driven like a user would, offscreen, on generated FAT
// volumes: load, scan, browse, tick, recover, cancel, languages. Every page
// and window is saved as a PNG under build/screenshots for review.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "app/language_settings.h"
#include "app/result_browsing.h"
#include "engine/scan_index.h"
#include "gui/crash_report.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui/progress_window.h"
#include "gui/single_instance.h"
#include "gui/skin.h"
#include "gui_test_support.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/partition_image.h"
#include "support/test_env.h"

using namespace velmora;
using velmora::gui::MainWindow;

namespace {

using testing::Shot;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Waiters for boxes that never came end with their test.
QObject* BoxWaiters() {
  static QObject* waiters = new QObject;
  return waiters;
}

// Runs `action` on the next modal message box, once it is up.
void OnNextBox(std::function<void(gui::MessageBox*)> action) {
  testing::OnNextBox(BoxWaiters(), std::move(action));
}

// Answers the next box with `button`; the shared text is the box's once it came.
std::shared_ptr<QString> AnswerNextBox(const char* button, const QString& shot = QString()) {
  auto text = std::make_shared<QString>();
  OnNextBox([text, button, shot](gui::MessageBox* box) {
    *text = box->Text();
    if (!shot.isEmpty()) Shot(box, shot);
    QTest::mouseClick(box->findChild<QAbstractButton*>(button), Qt::LeftButton);
  });
  return text;
}

void Click(QWidget* root, const char* name) {
  auto* button = root->findChild<QAbstractButton*>(name);
  QVERIFY2(button, name);
  QTest::mouseClick(button, Qt::LeftButton);
}

QTreeWidgetItem* FindRow(QTreeWidget* tree, const QString& text) {
  for (QTreeWidgetItemIterator it(tree); *it; ++it) {
    if ((*it)->text(0).contains(text)) return *it;
  }
  return nullptr;
}

QTreeWidgetItem* Category(QTreeWidget* tree, const char* name) {
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    if (tree->topLevelItem(i)->data(0, gui::kNameRole).toString() == name)
      return tree->topLevelItem(i);
  }
  return nullptr;
}

}  // namespace

class GuiTest : public QObject {
  Q_OBJECT
 private:
  std::string work_;
  std::unique_ptr<testing::ScopedDataDir> data_dir_;
  std::unique_ptr<app::LanguageSettings> language_;
  std::unique_ptr<MainWindow> window_;
  std::string image_;
  std::map<std::string, std::vector<uint8_t>> photos_;

  void NewWindow() {
    window_ = std::make_unique<MainWindow>(*language_, false);
    window_->show();
    QVERIFY(QTest::qWaitForWindowExposed(window_.get()));
  }

 private slots:
  void initTestCase() {
    if (!testing::FatBuilderAvailable()) QSKIP("mkfs.fat or mtools is not installed");
    work_ = testing::MakeTempDir("gui");
    data_dir_ = std::make_unique<testing::ScopedDataDir>();
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(work_ + "/config"));
    language_ = std::make_unique<app::LanguageSettings>(
        work_ + "/config.ini", std::string(VELMORA_SOURCE_DIR) + "/resources/languages/");
    language_->SetLanguage("English");
    // Two photos and a document, deleted from a FAT16 volume.
    image_ = work_ + "/card.img";
    testing::FatVolumeBuilder fat(image_, 16, 16 << 20);
    // All written before any is deleted, so none lands on another's clusters.
    for (int i = 1; i <= 2; ++i) {
      const std::string name = "IMG_000" + std::to_string(i) + ".JPG";
      photos_[name] = testing::SampleContent("jpg", 30000 + 7000 * i, i);
      fat.AddFile("/" + name, photos_[name]);
    }
    fat.AddFile("/REPORT.PDF", testing::SampleContent("pdf", 12000, 9));
    for (const auto& [name, content] : photos_) fat.Delete("/" + name);
    fat.Delete("/REPORT.PDF");
    fat.Finish();
  }

  void init() {
    ScanIndex::ResetInstance();
    NewWindow();
  }
  void cleanup() {
    qDeleteAll(BoxWaiters()->children());
    window_.reset();
    language_->SetLanguage("English");
    ScanIndex::ResetInstance();
  }
  void cleanupTestCase() {
    if (!work_.empty()) testing::RemoveTree(work_);
  }

  void homePageShowsModesAndGuideTexts() {
    QCOMPARE(window_->size(), QSize(800, 500));
    QCOMPARE(window_->windowTitle(), QString("Free Tessaly"));
    QCOMPARE(window_->CurrentPage(), MainWindow::kHome);
    QWidget* deep = window_->Skin()->findChild<QWidget*>("BtnDeepRecovery");
    QEvent enter(QEvent::Enter);
    QApplication::sendEvent(deep, &enter);
    QCOMPARE(window_->GuideText()->text().toStdString(),
             app::Lookup(language_->Section("Messages"), "MSG0103"));
    QCOMPARE(window_->Skin()->findChild<QLabel*>("LblProductName")->text(),
             QString("Velmora File Recovery"));
    Shot(window_.get(), "1-home");
    // Scan with nothing chosen: told to choose, nothing runs.
    Click(window_->Skin(), "BtnDeletedRecovery");
    const auto told = AnswerNextBox("okbtn");
    Click(window_->Skin(), "BtnScan");
    QCOMPARE(told->toStdString(), app::Lookup(language_->Section("Messages"), "MSG0505"));
    QCOMPARE(window_->LastScanResult(), 0);
  }

  void loadedImageShowsInDiskListWithInformation() {
    window_->LoadImage(QString::fromStdString(image_));
    Click(window_->Skin(), "BtnDeletedRecovery");
    QCOMPARE(window_->CurrentPage(), MainWindow::kScanPage);
    QTreeWidgetItem* node = FindRow(window_->DiskList(), "Image File");
    QVERIFY(node);
    QCOMPARE(node->childCount(), 1);
    QCOMPARE(node->child(0)->text(0), QString("card.img"));
    QCOMPARE(node->child(0)->text(2), QString("16.00 MB"));
    window_->DiskList()->setCurrentItem(node->child(0));
    auto* label1 = window_->Skin()->findChild<QLabel*>("Label1");
    QVERIFY(label1->text().endsWith(QString::fromStdString(image_)));
    QVERIFY(window_->Skin()->findChild<QWidget*>("BtnAdvanceScan")->isEnabled());
    Shot(window_.get(), "2-select-location");
    Click(window_->Skin(), "BtnNext");
    QCOMPARE(window_->CurrentPage(), MainWindow::kTypePage);
    Shot(window_.get(), "3-file-types");
  }

  void deepScanTickAndRecoverByteForByte() {
    window_->LoadImage(QString::fromStdString(image_));
    Click(window_->Skin(), "BtnDeepRecovery");
    int windows = 0;
    connect(window_.get(), &MainWindow::ModalStarted, this,
            [&windows](gui::ProgressWindow* progress) {
              const QString name = QString("4-window-%1").arg(progress->objectName());
              connect(progress, &gui::ProgressWindow::WorkerFinished, progress, [progress, name] {
                Shot(progress, name);
                // Recovery waits for Finish; the detail list is opened first for the picture.
                if (auto* finish = progress->Skin()->findChild<QAbstractButton*>("FinishBtn")) {
                  QTimer::singleShot(0, progress, [progress, finish, name] {
                    QTest::mouseClick(progress->Skin()->findChild<QAbstractButton*>("DetailBtn"),
                                      Qt::LeftButton);
                    Shot(progress, name + "-details");
                    QTest::mouseClick(finish, Qt::LeftButton);
                  });
                }
              });
              ++windows;
            });
    Click(window_->Skin(), "BtnScan");
    QCOMPARE(window_->LastScanResult(), 1);
    QCOMPARE(window_->CurrentPage(), MainWindow::kResultPage);
    QTreeWidgetItem* photos = Category(window_->TypeTree(), "NodePhoto");
    QVERIFY(photos);
    QVERIFY(photos->childCount() >= 1);
    QTreeWidgetItem* jpg = photos->child(0);
    QVERIFY2(jpg->text(0).startsWith("JPG") && jpg->text(0).contains("("),
             qPrintable(jpg->text(0)));
    QVERIFY(Category(window_->TypeTree(), "NodeOffice")->childCount() >= 1);

    window_->TypeTree()->setCurrentItem(jpg);
    QVERIFY(window_->FileList()->topLevelItemCount() >= 2);
    QCOMPARE(window_->AllRowsBox()->checkState(), Qt::Unchecked);
    // One row ticked: the box over the list is partly ticked.
    window_->FileList()->topLevelItem(0)->setCheckState(0, Qt::Checked);
    QCOMPARE(window_->AllRowsBox()->checkState(), Qt::PartiallyChecked);
    QCOMPARE(window_->Ticked().Count(), size_t{1});
    // Ticking the node ticks every row under it, and the box follows.
    jpg->setCheckState(0, Qt::Checked);
    QCOMPARE(window_->AllRowsBox()->checkState(), Qt::Checked);
    const size_t ticked = window_->Ticked().Count();
    QCOMPARE(ticked, static_cast<size_t>(window_->FileList()->topLevelItemCount()));
    QVERIFY(window_->SelectionInfo()->text().contains(QString::number(ticked)));
    // Sizes sort largest first on the first click, then the other way.
    QTest::mouseClick(window_->FileList()->header()->viewport(), Qt::LeftButton, {},
                      QPoint(window_->FileList()->header()->sectionViewportPosition(2) + 5, 5));
    QCOMPARE(window_->FileList()->header()->sortIndicatorSection(), 2);
    QCOMPARE(window_->FileList()->header()->sortIndicatorOrder(), Qt::DescendingOrder);
    const auto size_of = [this](int row) {
      return window_->FileList()->topLevelItem(row)->text(2).split(' ')[0].toDouble();  // both in
                                                                                        // KB
    };
    QVERIFY(size_of(0) > size_of(1));
    Shot(window_.get(), "5-results");

    const std::string destination = work_ + "/out";
    QDir().mkpath(QString::fromStdString(destination));
    window_->SetChooser([destination](gui::ChooseKind, const QString&) {
      return QString::fromStdString(destination);
    });
    Click(window_->Skin(), "BtnRecover");
    QCOMPARE(window_->LastRecoveryResult(), 1);
    QCOMPARE(windows, 3);  // scan, search, recovery
    // FAT keeps deleted names without their first letter; the content decides.
    std::vector<std::vector<uint8_t>> recovered;
    for (const QString& file :
         QDir(QString::fromStdString(destination + "/photo")).entryList(QDir::Files)) {
      recovered.push_back(ReadFile(destination + "/photo/" + file.toStdString()));
    }
    QCOMPARE(recovered.size(), photos_.size());
    for (const auto& [name, content] : photos_) {
      QVERIFY2(std::find(recovered.begin(), recovered.end(), content) != recovered.end(),
               name.c_str());
    }
  }

  void existingFilesBoxListsLiveFilesBesideDeletedOnes() {
    // One photo kept and one deleted: the box brings the kept one in, marked live.
    const std::string image = work_ + "/live.img";
    {
      testing::FatVolumeBuilder fat(image, 16, 16 << 20);
      fat.AddFile("/KEEP.JPG", testing::SampleContent("jpg", 20000, 3));
      fat.AddFile("/GONE.JPG", testing::SampleContent("jpg", 25000, 4));
      fat.Delete("/GONE.JPG");
      fat.Finish();
    }
    window_->LoadImage(QString::fromStdString(image));
    Click(window_->Skin(), "BtnDeletedRecovery");
    Click(window_->Skin(), "BtnScan");
    QCOMPARE(window_->CurrentPage(), MainWindow::kResultPage);
    QCheckBox* box = window_->ShowExistingBox();
    QCOMPARE(box->text().toStdString(),
             app::Lookup(language_->Section("MainWnd"), "ChkShowExisting"));
    QVERIFY(!box->isChecked());
    const auto rows = [this] {
      QTreeWidgetItem* photos = Category(window_->TypeTree(), "NodePhoto");
      if (!photos || photos->childCount() == 0) return QStringList();
      window_->TypeTree()->setCurrentItem(photos->child(0));
      QStringList shown;
      for (int i = 0; i < window_->FileList()->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = window_->FileList()->topLevelItem(i);
        shown << row->text(1) + "=" + row->text(static_cast<int>(app::FileColumn::kEntry));
      }
      shown.sort();
      return shown;
    };
    const int entry_column = static_cast<int>(app::FileColumn::kEntry);
    QCOMPARE(rows(), QStringList({"!ONE.JPG=deleted"}));
    QVERIFY(window_->FileList()->isColumnHidden(entry_column));

    QTest::mouseClick(box, Qt::LeftButton);
    QVERIFY(box->isChecked());
    QCOMPARE(rows(), QStringList({"!ONE.JPG=deleted", "KEEP.JPG=live"}));
    QVERIFY(!window_->FileList()->isColumnHidden(entry_column));
    Shot(window_.get(), "5b-existing-files");

    QTest::mouseClick(box, Qt::LeftButton);
    QCOMPARE(rows(), QStringList({"!ONE.JPG=deleted"}));
    QVERIFY(window_->FileList()->isColumnHidden(entry_column));
  }

  void cancelQuestionHoldsTheScanThenEndsIt() {
    // A larger volume, so the scan is still running when the questions come.
    const std::string big = work_ + "/big.img";
    {
      testing::FatVolumeBuilder fat(big, 32, 160 << 20);
      fat.AddFile("/A.JPG", testing::SampleContent("jpg", 40000, 3));
      fat.Delete("/A.JPG");
      fat.Finish();
    }
    window_->LoadImage(QString::fromStdString(big));
    Click(window_->Skin(), "BtnDeepRecovery");
    bool held = false;
    bool went_on = false;
    connect(window_.get(), &MainWindow::ModalStarted, this, [&](gui::ProgressWindow* progress) {
      if (progress->objectName() != "ScanWnd") return;
      // Cancelled in the sector pass, after the quick first tenth, a deep scan is saved for
      // resuming.
      auto* watch = new QTimer(progress);
      connect(watch, &QTimer::timeout, progress, [&, progress, watch] {
        if (progress->Skin()->findChild<QProgressBar*>("progress")->value() < 15 &&
            !progress->WorkerDone())
          return;
        watch->stop();
        // First answer Cancel: the scan was held and goes on.
        OnNextBox([&, progress](gui::MessageBox* box) {
          QTRY_VERIFY_WITH_TIMEOUT(progress->Token().Holding() || progress->WorkerDone(), 20000);
          held = progress->Token().Holding();
          Shot(box, "6-cancel-question");
          QTest::mouseClick(box->findChild<QAbstractButton*>("cancelbtn"), Qt::LeftButton);
          QTimer::singleShot(0, progress, [&, progress] {
            went_on = !progress->Token().Cancelled() && progress->isVisible();
            // Then OK: the window ends with 2.
            OnNextBox([](gui::MessageBox* yes) {
              QTest::mouseClick(yes->findChild<QAbstractButton*>("okbtn"), Qt::LeftButton);
            });
            Click(progress->Skin(), "cancelbtn");
          });
        });
        Click(progress->Skin(), "cancelbtn");
      });
      watch->start(5);
    });
    Click(window_->Skin(), "BtnScan");
    QVERIFY(held);
    QVERIFY(went_on);
    QCOMPARE(window_->LastScanResult(), 2);

    // The stopped deep scan was saved: scanning the image again asks to resume.
    disconnect(window_.get(), &MainWindow::ModalStarted, this, nullptr);
    const auto question = AnswerNextBox("okbtn", "7-resume-question");
    Click(window_->Skin(), "BtnScan");
    QVERIFY2(question->contains("big.img") && !question->contains("%s"), qPrintable(*question));
    QCOMPARE(window_->LastScanResult(), 1);
  }

  void imageOfAPartitionHoldsItsSectors() {
    const std::string disk = work_ + "/disk.img";
    testing::WriteMbrDisk(disk, 2048 + (16 << 20) / 512 + 64,
                          {{2048, 0, testing::kMbrTypeFat16Lba, image_}});
    window_->LoadImage(QString::fromStdString(disk));
    Click(window_->Skin(), "BtnCreateImageMode");
    QTreeWidgetItem* row = window_->DiskList()->currentItem();
    QVERIFY(row && row->parent());
    QVERIFY(!window_->Skin()->findChild<QWidget*>("BtnScan")->isVisible());
    const std::string copy = work_ + "/copy.img";
    window_->SetChooser([copy](gui::ChooseKind kind, const QString&) {
      return kind == gui::ChooseKind::kImageToWrite ? QString::fromStdString(copy) : QString();
    });
    connect(window_.get(), &MainWindow::ModalStarted, this, [](gui::ProgressWindow* progress) {
      connect(progress, &gui::ProgressWindow::WorkerFinished, progress,
              [progress] { Shot(progress, "4-window-CreateImageWnd"); });
    });
    const auto offer = AnswerNextBox("cancelbtn");
    Click(window_->Skin(), "BtnCreateImage");
    QCOMPARE(offer->toStdString(), app::Lookup(language_->Section("Messages"), "MSG0214"));
    QVERIFY(ReadFile(copy) == ReadFile(image_));
  }

  // Started with a card image, then the disks listed (as at start-up): the card's volume and
  // the system disk's first row both show "1", and the ticked files still come from the card.
  void cardVolumeBesideTheSystemDiskRecoversItsFiles() {
    const std::string disk = work_ + "/numbered.img";
    testing::WriteMbrDisk(disk, 2048 + (16 << 20) / 512 + 64,
                          {{2048, 0, testing::kMbrTypeFat16Lba, image_}});
    window_->LoadImage(QString::fromStdString(disk));
    window_->RefreshDisks();
    QTreeWidgetItem* row = window_->DiskList()->currentItem();
    QVERIFY(row && row->text(0).contains("VELMORA"));
    Click(window_->Skin(), "BtnDeletedRecovery");
    QCOMPARE(window_->DiskList()->currentItem(), row);
    Click(window_->Skin(), "BtnScan");
    QCOMPARE(window_->LastScanResult(), 1);
    Category(window_->TypeTree(), "NodePhoto")->setCheckState(0, Qt::Checked);
    QCOMPARE(window_->Ticked().Count(), photos_.size());
    const std::string destination = work_ + "/numbered-out";
    window_->SetChooser([destination](gui::ChooseKind, const QString&) {
      return QString::fromStdString(destination);
    });
    int failed_lines = -1;
    connect(window_.get(), &MainWindow::ModalStarted, this,
            [&failed_lines](gui::ProgressWindow* progress) {
              connect(progress, &gui::ProgressWindow::WorkerFinished, progress,
                      [progress, &failed_lines] {
                        auto* finish = progress->Skin()->findChild<QAbstractButton*>("FinishBtn");
                        if (!finish) return;
                        QTimer::singleShot(0, progress, [progress, finish, &failed_lines] {
                          failed_lines = 0;
                          auto* details = progress->Skin()->findChild<QTreeWidget*>("DetailList");
                          for (int i = 0; i < details->topLevelItemCount(); ++i) {
                            failed_lines += details->topLevelItem(i)->text(1) != "Success";
                          }
                          QTest::mouseClick(finish, Qt::LeftButton);
                        });
                      });
            });
    Click(window_->Skin(), "BtnRecover");
    QCOMPARE(failed_lines, 0);
    std::vector<std::vector<uint8_t>> recovered;
    for (const QString& file :
         QDir(QString::fromStdString(destination + "/photo")).entryList(QDir::Files)) {
      recovered.push_back(ReadFile(destination + "/photo/" + file.toStdString()));
    }
    QCOMPARE(recovered.size(), photos_.size());
    for (const auto& [name, content] : photos_) {
      QVERIFY2(std::find(recovered.begin(), recovered.end(), content) != recovered.end(),
               name.c_str());
    }
  }

  void secondQuickScanRemovesThePreviousFolder() {
    window_->LoadImage(QString::fromStdString(image_));
    Click(window_->Skin(), "BtnDeletedRecovery");
    Click(window_->Skin(), "BtnScan");
    QCOMPARE(window_->LastScanResult(), 1);
    QCOMPARE(window_->Workflow().LastQuickFolders().size(), size_t{1});
    const std::string first = window_->Workflow().LastQuickFolders()[0];
    QVERIFY(Exists(first));
    Click(window_->Skin(), "BtnPrev");
    Click(window_->Skin(), "BtnScan");
    QCOMPARE(window_->LastScanResult(), 1);
    QVERIFY(!Exists(first));
    QVERIFY(Exists(window_->Workflow().LastQuickFolders()[0]));
  }

  void languageMenuSwitchesEveryText() {
    QMenu* languages = window_->AssistMenu()->findChild<QMenu*>("LanguageMenu");
    QVERIFY(languages);
    QMetaObject::invokeMethod(languages, "aboutToShow");
    QAction* german = languages->findChild<QAction*>("Deutsch");
    QVERIFY(german);
    german->trigger();
    const std::string scan = app::Lookup(language_->Section("MainWnd"), "BtnScan");
    QCOMPARE(window_->Skin()->findChild<QAbstractButton*>("BtnScan")->text().toStdString(), scan);
    QVERIFY(scan != "Scan");
    QCOMPARE(window_->Skin()->findChild<QLabel*>("LblProductName")->text().toStdString(),
             app::Lookup(language_->Section("Messages"), "MSG1209"));
    Click(window_->Skin(), "BtnDeletedRecovery");
    QCOMPARE(window_->PageWidget(MainWindow::kScanPage)
                 ->findChild<QLabel*>("Txt1")
                 ->text()
                 .toStdString(),
             app::Lookup(language_->Section("Messages"), "MSG0501"));
    Shot(window_.get(), "8-deutsch");
    window_->SetLanguage("English");
    QCOMPARE(window_->Skin()->findChild<QAbstractButton*>("BtnScan")->text(), QString("Scan"));
  }

  void languageSwitchOnTheResultsPageKeepsNodesAndTicks() {
    // Two photos and a file of a type no option names, all deleted.
    const std::string image = work_ + "/mixed.img";
    {
      testing::FatVolumeBuilder fat(image, 16, 16 << 20);
      fat.AddFile("/A.JPG", testing::SampleContent("jpg", 20000, 5));
      fat.AddFile("/B.JPG", testing::SampleContent("jpg", 24000, 6));
      fat.AddFile("/DATA.XYZ", std::vector<uint8_t>(3000, 0x5A));
      for (const char* name : {"/A.JPG", "/B.JPG", "/DATA.XYZ"}) fat.Delete(name);
      fat.Finish();
    }
    window_->LoadImage(QString::fromStdString(image));
    Click(window_->Skin(), "BtnDeletedRecovery");
    Click(window_->Skin(), "BtnScan");
    QCOMPARE(window_->CurrentPage(), MainWindow::kResultPage);
    QTreeWidgetItem* jpg = Category(window_->TypeTree(), "NodePhoto")->child(0);
    QTreeWidgetItem* xyz = Category(window_->TypeTree(), "NodeOther")->child(0);
    QVERIFY(jpg && xyz);
    QCOMPARE(xyz->text(0), QString("XYZ Files (1)"));
    window_->TypeTree()->setCurrentItem(jpg);
    QCOMPARE(window_->FileList()->topLevelItemCount(), 2);
    window_->FileList()->topLevelItem(0)->setCheckState(0, Qt::Checked);
    const QString jpg_text = jpg->text(0);

    // The tree is rebuilt in the new language under the items that show it,
    // and renaming the nodes ticks nothing.
    window_->SetLanguage("Deutsch");
    const app::TextTable& german = language_->Section("Messages");
    QCOMPARE(Category(window_->TypeTree(), "NodePhoto")->text(0).toStdString(),
             app::Lookup(german, "MSG0807"));
    QCOMPARE(xyz->text(0), QString("XYZ-Dateien (1)"));
    QCOMPARE(jpg->text(0), jpg_text);
    QCOMPARE(jpg->checkState(0), Qt::PartiallyChecked);
    QCOMPARE(window_->Ticked().Count(), size_t{1});
    QCOMPARE(window_->AllRowsBox()->checkState(), Qt::PartiallyChecked);
    QCOMPARE(window_->SelectionInfo()->text().toStdString(),
             app::Summarize(window_->Ticked(), german).text);
    Shot(window_.get(), "8b-results-deutsch");
    // Ticking after the switch reaches the records of the rebuilt nodes.
    jpg->setCheckState(0, Qt::Checked);
    QCOMPARE(window_->Ticked().Count(), size_t{2});
    xyz->setCheckState(0, Qt::Checked);
    QCOMPARE(window_->Ticked().Count(), size_t{3});
    QCOMPARE(Category(window_->TypeTree(), "NodeOther")->checkState(0), Qt::Checked);
    window_->SetLanguage("English");
    QCOMPARE(xyz->text(0), QString("XYZ Files (1)"));
  }

  void messageBoxesAnswerOkAndCancel() {
    gui::MessageBox question(gui::BoxKind::kQuestion, "Go on?", *language_);
    question.show();
    Shot(&question, "9-message-question");
    Click(&question, "cancelbtn");
    QCOMPARE(question.result(), 2);
    gui::MessageBox error(gui::BoxKind::kError, "It broke.", *language_);
    QVERIFY(!error.findChild<QAbstractButton*>("cancelbtn"));
    error.show();
    Click(&error, "okbtn");
    QCOMPARE(error.result(), 1);
    QVERIFY(error.windowTitle() == "Error");
  }

  void secondStartHandsOverToTheFirst() {
    const QString name = QString("velmora-test-%1").arg(QCoreApplication::applicationPid());
    gui::SingleInstance first(name);
    QCOMPARE(first.TryHandOver(200), gui::SingleInstance::HandOver::kNone);
    QVERIFY(first.Listen());
    int raised = 0;
    connect(&first, &gui::SingleInstance::Activated, this, [&raised] { ++raised; });
    // The hand-over waits on its socket, so the first copy answers from a thread's loop.
    gui::SingleInstance::HandOver answer = gui::SingleInstance::HandOver::kNone;
    std::thread second([&] { answer = gui::SingleInstance(name).TryHandOver(3000); });
    QTRY_VERIFY(answer != gui::SingleInstance::HandOver::kNone || !second.joinable());
    second.join();
    QCOMPARE(answer, gui::SingleInstance::HandOver::kNoWindow);
    first.SetHasWindow(true);
    std::thread third([&] { answer = gui::SingleInstance(name).TryHandOver(3000); });
    QTRY_COMPARE(raised, 1);
    third.join();
    QCOMPARE(answer, gui::SingleInstance::HandOver::kShown);
  }

  void crashReportIsNamedByLocalTime() {
    std::tm time{};
    time.tm_year = 114;
    time.tm_mon = 4;
    time.tm_mday = 3;
    time.tm_hour = 14;
    time.tm_min = 7;
    time.tm_sec = 9;
    QCOMPARE(QString::fromStdString(gui::CrashReportName(time)), QString("2014-5-3&14-7-9.dmp"));
  }

  void fatalSignalLeavesAReportWithABacktrace() {
    const std::string folder = work_ + "/crash";
    QDir().mkpath(QString::fromStdString(folder));
    const pid_t child = ::fork();
    if (child == 0) {
      if (::chdir(folder.c_str()) != 0) ::_exit(3);
      gui::InstallCrashHandler(work_);
      ::raise(SIGSEGV);
      ::_exit(4);
    }
    int status = 0;
    QCOMPARE(::waitpid(child, &status, 0), child);
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV);
    const QStringList reports =
        QDir(QString::fromStdString(folder + "/D-Error")).entryList({"*.dmp"});
    QCOMPARE(reports.size(), 1);
    QFile report(QString::fromStdString(folder + "/D-Error/") + reports[0]);
    QVERIFY(report.open(QIODevice::ReadOnly));
    const QByteArray text = report.readAll();
    QVERIFY2(text.contains("signal 11") && text.contains("backtrace:\n") && text.count('\n') > 3,
             text.constData());
  }
};

QTEST_MAIN(GuiTest)
#include "gui_test.moc"
