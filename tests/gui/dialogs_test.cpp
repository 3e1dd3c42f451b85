// Every dialog answers Escape, Enter and Space the way its buttons do and
// leaves the main window usable; boxes fit their text; a second start hands
// its images over; closing the main window during a scan asks first.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <memory>
#include <thread>

#include "app/build_info.h"
#include "app/language_settings.h"
#include "engine/scan_index.h"
#include "gui/main_window.h"
#include "gui/message_box.h"
#include "gui/preview_window.h"
#include "gui/progress_window.h"
#include "gui/single_instance.h"
#include "gui_test_support.h"
#include "support/content_gen.h"
#include "support/fat_volume_builder.h"
#include "support/test_env.h"

using namespace velmora;

namespace {

using testing::OnNextBox;
using testing::Shot;

// A key pressed where the user's focus is inside `window`.
void Press(QWidget* window, Qt::Key key) {
  QWidget* target = window->focusWidget() ? window->focusWidget() : window;
  QTest::keyClick(target, key);
}

QAction* MenuItem(gui::MainWindow& window, const char* name) {
  for (QAction* action : window.AssistMenu()->actions()) {
    if (action->objectName() == name) return action;
  }
  qFatal("no menu item %s", name);
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT
 private:
  std::string work_;
  std::unique_ptr<testing::ScopedDataDir> data_dir_;
  std::unique_ptr<app::LanguageSettings> language_;
  QObject waiters_;

  std::string Msg(const char* key) { return app::Lookup(language_->Section("Messages"), key); }

 private slots:
  void initTestCase() {
    work_ = testing::MakeTempDir("dialogs");
    data_dir_ = std::make_unique<testing::ScopedDataDir>();
    language_ = std::make_unique<app::LanguageSettings>(
        work_ + "/config.ini", std::string(VELMORA_SOURCE_DIR) + "/resources/languages/");
    language_->SetLanguage("English");
  }
  void cleanup() { qDeleteAll(waiters_.children()); }
  void cleanupTestCase() {
    if (!work_.empty()) testing::RemoveTree(work_);
  }

  void keysAnswerEveryMessageBoxLikeItsButtons() {
    for (gui::BoxKind kind :
         {gui::BoxKind::kError, gui::BoxKind::kConfirm, gui::BoxKind::kInformation,
          gui::BoxKind::kWarning, gui::BoxKind::kQuestion}) {
      const bool two_buttons = kind == gui::BoxKind::kConfirm || kind == gui::BoxKind::kQuestion;
      // Escape is the close button: no choice made, never OK.
      {
        gui::MessageBox box(kind, "Go on?", *language_);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        Press(&box, Qt::Key_Escape);
        QCOMPARE(box.result(), 2);
        QVERIFY(box.Dismissed());
        QVERIFY(!box.isVisible());
      }
      // Enter and Space press the focused button, which starts on OK.
      for (Qt::Key key : {Qt::Key_Return, Qt::Key_Space}) {
        gui::MessageBox box(kind, "Go on?", *language_);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        box.findChild<QAbstractButton*>("okbtn")->setFocus();
        Press(&box, key);
        QCOMPARE(box.result(), 1);
        QVERIFY(!box.isVisible());
      }
      if (two_buttons) {
        gui::MessageBox box(kind, "Go on?", *language_);
        box.show();
        QVERIFY(QTest::qWaitForWindowExposed(&box));
        box.findChild<QAbstractButton*>("cancelbtn")->setFocus();
        Press(&box, Qt::Key_Space);
        QCOMPARE(box.result(), 2);
        QVERIFY(!box.Dismissed());
      }
    }
  }

  void boxesFitTheirTextAndAboutNamesTheBuild() {
    const QString help =
        QString::fromStdString(Msg("MSG0101") + "\n\n" + Msg("MSG0103") + "\n\n" + Msg("MSG0222"));
    gui::MessageBox box(gui::BoxKind::kInformation, help, *language_);
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    Shot(&box, "dialog-help");
    auto* message = box.findChild<QLabel*>("message");
    QVERIFY(box.width() >= 400);
    // Every wrapped line is inside the label, which is inside the box.
    QVERIFY2(message->heightForWidth(message->width()) <= message->height(),
             qPrintable(QString("%1 > %2")
                            .arg(message->heightForWidth(message->width()))
                            .arg(message->height())));
    QVERIFY(message->geometry().bottom() <= message->parentWidget()->height());
    // A short text keeps the skin's size.
    gui::MessageBox small(gui::BoxKind::kInformation, "Done.", *language_);
    QCOMPARE(small.size(), QSize(400, 160));

    gui::MainWindow window(*language_, false);
    window.show();
    QString about;
    OnNextBox(&waiters_, [&about](gui::MessageBox* shown) {
      about = shown->Text();
      Shot(shown, "dialog-about");
      Press(shown, Qt::Key_Escape);
    });
    MenuItem(window, "item_about")->trigger();
    QVERIFY2(about.contains(app::VersionNumber()) && about.contains(app::BuildCommit()),
             qPrintable(about));
    QVERIFY(!QApplication::activeModalWidget());
  }

  void escapeInHelpAndPreviewLeavesTheMainWindowUsable() {
    gui::MainWindow window(*language_, false);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    bool closed = false;
    OnNextBox(&waiters_, [&closed](gui::MessageBox* box) {
      Press(box, Qt::Key_Escape);
      closed = !box->isVisible();
    });
    MenuItem(window, "item_help")->trigger();
    QVERIFY(closed);
    QVERIFY(!QApplication::activeModalWidget());

    // The preview window ends on Escape as on its Close button, whatever has the focus.
    preview::PreviewContent content;
    content.kind = preview::PreviewContent::Kind::kText;
    content.text = "notes";
    gui::CPreviewWnd::Host host;
    ScanRecord record{};
    for (const char* focus : {"NextBtn", "RecoveryBtn", "CancelBtn"}) {
      gui::CPreviewWnd preview(*language_, host, {}, record, content, true, &window);
      int result = -1;
      QTimer::singleShot(0, &preview, [&preview, focus] {
        preview.Skin()->findChild<QWidget*>(focus)->setFocus();
        Press(&preview, Qt::Key_Escape);
      });
      result = preview.exec();
      QCOMPARE(result, 2);
      QVERIFY(!preview.isVisible());
    }
    QVERIFY(!QApplication::activeModalWidget());
    // The main window takes clicks again.
    QTest::mouseClick(window.Skin()->findChild<QAbstractButton*>("BtnDeletedRecovery"),
                      Qt::LeftButton);
    QCOMPARE(window.CurrentPage(), gui::MainWindow::kScanPage);
  }

  void escapeInAProgressWindowAsksAndItsButtonsSayWhatTheyDo() {
    QWidget owner;
    owner.show();
    gui::ProgressWindow window("ScanProcessWnd.ui", "ScanWnd", app::msg::kScanCancelQuestion,
                               *language_, &owner);
    QStringList buttons;
    int questions = 0;
    // First question: Escape keeps scanning; second: Enter on Stop ends the window.
    std::function<void(gui::MessageBox*)> answer = [&](gui::MessageBox* box) {
      ++questions;
      buttons = {box->findChild<QAbstractButton*>("okbtn")->text(),
                 box->findChild<QAbstractButton*>("cancelbtn")->text()};
      if (questions == 1) {
        Shot(box, "dialog-stop-question");
        Press(box, Qt::Key_Escape);
        QTimer::singleShot(0, &window, [&] {
          QVERIFY(window.isVisible() && !window.Token().Cancelled());
          OnNextBox(&waiters_, answer);
          Press(&window, Qt::Key_Escape);
        });
        return;
      }
      box->findChild<QAbstractButton*>("okbtn")->setFocus();
      Press(box, Qt::Key_Return);
    };
    OnNextBox(&waiters_, answer);
    QTimer::singleShot(0, &window, [&window] { Press(&window, Qt::Key_Escape); });
    const int result = window.Run([](app::WorkflowObserver&, app::CancelToken& cancel) {
      while (!cancel.Checkpoint()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return app::RunResult::kCancelled;
    });
    QCOMPARE(questions, 2);
    QCOMPARE(result, 2);
    QCOMPARE(buttons, QStringList({QString::fromStdString(Msg("MSG0710")),
                                   QString::fromStdString(Msg("MSG0711"))}));
    QVERIFY(owner.isEnabled());
  }

  void closingTheMainWindowDuringAScanAsksThenStopsAndQuits() {
    if (!testing::FatBuilderAvailable()) QSKIP("mkfs.fat or mtools is not installed");
    const std::string big = work_ + "/big.img";
    {
      testing::FatVolumeBuilder fat(big, 32, 160 << 20);
      fat.AddFile("/A.JPG", testing::SampleContent("jpg", 40000, 3));
      fat.Delete("/A.JPG");
      fat.Finish();
    }
    ScanIndex::ResetInstance();
    gui::MainWindow window(*language_, false);
    window.show();
    window.LoadImage(QString::fromStdString(big));
    QTest::mouseClick(window.Skin()->findChild<QAbstractButton*>("BtnDeepRecovery"),
                      Qt::LeftButton);
    QString asked;
    connect(&window, &gui::MainWindow::ModalStarted, this, [&](gui::ProgressWindow* progress) {
      if (progress->objectName() != "ScanWnd") return;
      auto* watch = new QTimer(progress);
      connect(watch, &QTimer::timeout, progress, [&, progress, watch] {
        if (progress->Skin()->findChild<QProgressBar*>("progress")->value() < 15 &&
            !progress->WorkerDone())
          return;
        watch->stop();
        QVERIFY(!window.isEnabled());  // no input, but its close request arrives
        // "Keep scanning" first: nothing changes.
        OnNextBox(&waiters_, [&, progress](gui::MessageBox* box) {
          asked = box->Text();
          QTest::mouseClick(box->findChild<QAbstractButton*>("cancelbtn"), Qt::LeftButton);
          QTimer::singleShot(0, progress, [&, progress] {
            QVERIFY(progress->isVisible() && window.isVisible());
            OnNextBox(&waiters_, [](gui::MessageBox* yes) {
              QTest::mouseClick(yes->findChild<QAbstractButton*>("okbtn"), Qt::LeftButton);
            });
            window.close();
          });
        });
        window.close();
      });
      watch->start(5);
    });
    QTest::mouseClick(window.Skin()->findChild<QAbstractButton*>("BtnScan"), Qt::LeftButton);
    QCOMPARE(asked.toStdString(), Msg("MSG0714"));
    QCOMPARE(window.LastScanResult(), 2);
    QTRY_VERIFY(!window.isVisible());
    QVERIFY(gui::ProgressWindow::QuitRequested());
  }

  void secondStartHandsItsImagesToTheFirst() {
    const QString name = QString("velmora-dialogs-%1").arg(QCoreApplication::applicationPid());
    gui::SingleInstance first(name);
    QVERIFY(first.Listen());
    first.SetHasWindow(true);
    QStringList received;
    connect(&first, &gui::SingleInstance::ImagesHandedOver, this,
            [&received](const QStringList& images) { received = images; });
    // Names that would break a line-based message.
    const QStringList images = {"/tmp/card one.img", "/tmp/odd\nname%20.img"};
    gui::SingleInstance::HandOver answer = gui::SingleInstance::HandOver::kNone;
    std::thread second([&] { answer = gui::SingleInstance(name).TryHandOver(3000, images); });
    QTRY_COMPARE(received, images);
    second.join();
    QCOMPARE(answer, gui::SingleInstance::HandOver::kShown);
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
