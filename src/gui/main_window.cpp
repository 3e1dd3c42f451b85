#include "gui/main_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QStackedWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "app/build_info.h"
#include "app/image_workflow.h"
#include "app/recovery_workflow.h"
#include "app/saved_scans.h"
#include "gui/message_box.h"
#include "gui/progress_window.h"
#include "gui/skin.h"
#include "storage/device_monitor.h"
#include "storage/error_codes.h"

namespace velmora::gui {
namespace {

constexpr const char* kPrivilegeKey = "MSG0222";

// Asks through the main window's boxes what the workflows ask on its thread.
class WindowObserver : public app::WorkflowObserver {
 public:
  WindowObserver(app::LanguageSettings& language, QWidget* owner)
      : language_(language), owner_(owner) {}
  bool ConfirmSameVolume(const app::ScanSource&, const std::string& warning) override {
    return Ask(BoxKind::kConfirm, Q(warning), language_, owner_);
  }

 private:
  app::LanguageSettings& language_;
  QWidget* owner_;
};

// A disk or partition that this user may not open: the usual reason a scan of
// one finds no engine on Linux.
bool LacksPermission(const std::string& device) {
  if (device.empty()) return false;
  const int fd = ::open(device.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ::close(fd);
    return false;
  }
  return errno == EACCES || errno == EPERM;
}

std::string DeviceOf(const app::ScanSource& source) {
  if (source.IsImage()) return std::string();
  return source.entry->volume_path.empty() ? source.entry->disk_path : source.entry->volume_path;
}

}  // namespace

MainWindow::MainWindow(app::LanguageSettings& language, bool watch_devices, QWidget* parent)
    : QWidget(parent), language_(language), scan_(language.Section("Messages")) {
  skin_ = LoadSkin("skin.ui", this);
  if (!skin_) qFatal("the main window skin cannot be loaded");
  setObjectName("MainWnd");
  setWindowTitle(skin_->windowTitle());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(skin_);
  setStyleSheet(SkinStyleSheet());
  resize(800, 500);

  auto* pages = Control<QStackedWidget>(skin_, "TabPage");
  for (const char* page : {"ControlPanel.ui", "ScanDisk.ui", "FileType.ui", "RecoverFile.ui"}) {
    QWidget* widget = LoadSkin(page, pages);
    if (!widget) qFatal("the page skin %s cannot be loaded", page);
    pages->addWidget(widget);
  }
  disks_ = new DiskListPanel(skin_, pages->widget(kScanPage), sources_, language_, this);
  type_options_ = new TypeOptionsPanel(skin_, this);
  results_ = new ResultsPanel(skin_, language_, this);
  preview_ = new PreviewController(
      pages->widget(kResultPage), this, sources_, language_, busy_,
      [this](const ScanRecord& shown, QWidget* owner) { RecoverRecords({shown}, owner, true); });
  navigation_ = new Navigation(skin_, pages, language_, *disks_, *results_, this);

  chooser_ = [this](ChooseKind kind, const QString& suggestion) {
    switch (kind) {
      case ChooseKind::kImageToLoad:
        return QFileDialog::getOpenFileName(this, QString(), QString(),
                                            "Image Files (*.img);;All Files(*.*) (*)");
      case ChooseKind::kRecoveryFolder:
        return QFileDialog::getExistingDirectory(this, "Select location for recovery");
      case ChooseKind::kImageToWrite:
        return QFileDialog::getSaveFileName(this, QString(), suggestion, "Image Files (*.img)");
    }
    return QString();
  };

  BuildAssistMenu();
  ConnectControls();
  disks_->Fill();
  ApplyAllTexts();
  navigation_->OpenPage(kHome);

  refresh_timer_.setSingleShot(true);
  connect(&refresh_timer_, &QTimer::timeout, this, [this] {
    // Rows are the scan's sources: never rebuild them under a running window.
    if (busy_) {
      refresh_timer_.start(5000);
    } else {
      RefreshDisks();
    }
  });
  if (watch_devices) {
    monitor_ = std::make_unique<DeviceMonitor>([this](const DeviceChange&) {
      QMetaObject::invokeMethod(
          this, [this] { refresh_timer_.start(5000); }, Qt::QueuedConnection);
    });
    monitor_->Start();
  }
}

MainWindow::~MainWindow() {
  if (monitor_) monitor_->Stop();
  preview_->Clear();
}

QString MainWindow::Msg(const char* key) const { return Q(app::Lookup(Messages(), key)); }

void MainWindow::ConnectControls() {
  auto on_click = [this](const char* name, auto handler) {
    connect(Control<QAbstractButton>(skin_, name), &QAbstractButton::clicked, this, handler);
  };
  on_click("BtnScan", [this] { StartScan(); });
  on_click("BtnLoadImage", [this] {
    const QString path = chooser_(ChooseKind::kImageToLoad, QString());
    if (!path.isEmpty()) LoadImage(path);
  });
  on_click("BtnCreateImage", [this] { StartImageCreation(); });
  on_click("BtnRecover", [this] { StartRecovery(); });
  connect(disks_, &DiskListPanel::ScanRequested, this, [this] { StartScan(); });
  connect(navigation_, &Navigation::ImageCreationRequested, this, [this] { StartImageCreation(); });
  connect(results_->ShowExistingBox(), &QCheckBox::clicked, this,
          [this](bool on) { ShowExistingFiles(on); });
  connect(results_, &ResultsPanel::RowChosen, preview_, &PreviewController::PreviewRecord);
  connect(results_, &ResultsPanel::RowOpened, this, [this](const ScanRecord& record) {
    preview_->OpenWindow(record, results_->ShownFiles());
  });
  connect(preview_, &PreviewController::PreviewPreparing, this, &MainWindow::PreviewPreparing);
  connect(preview_, &PreviewController::PreviewWindowOpened, this,
          &MainWindow::PreviewWindowOpened);
}

void MainWindow::BuildAssistMenu() {
  QWidget* menu_skin = LoadSkin("menu_assist.ui", this);
  menu_skin->hide();
  assist_menu_ = new QMenu(this);
  assist_menu_->setObjectName("MenuWnd");
  for (QAction* action : menu_skin->findChildren<QAction*>()) {
    assist_menu_->addAction(action);
    if (action->objectName() == "item_language") {
      auto* languages = new QMenu(assist_menu_);
      languages->setObjectName("LanguageMenu");
      action->setMenu(languages);
      connect(languages, &QMenu::aboutToShow, this, [this, languages] {
        languages->clear();
        for (const auto& [name, shown] : language_.Languages()) {
          QAction* entry = languages->addAction(Q(shown));
          entry->setObjectName(Q(name));
          entry->setCheckable(true);
          entry->setChecked(name == language_.CurrentLanguage());
          connect(entry, &QAction::triggered, this, [this, name = name] { SetLanguage(name); });
        }
      });
    } else if (action->objectName() == "item_about") {
      connect(action, &QAction::triggered, this, [this] {
        const std::string version =
            app::FormatText(app::Lookup(Messages(), app::msg::kAboutVersion),
                            {app::VersionNumber(), app::BuildCommit()});
        Ask(BoxKind::kInformation, Msg("MSG1209") + "\n" + Q(version), language_, this);
      });
    } else if (action->objectName() == "item_help") {
      connect(action, &QAction::triggered, this, [this] {
        Ask(BoxKind::kInformation, Msg("MSG0101") + "\n\n" + Msg("MSG0103"), language_, this);
      });
    }
  }
  Control<QToolButton>(skin_, "BtnMenu")->setMenu(assist_menu_);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (ProgressWindow* running = ProgressWindow::Running()) {
    event->ignore();  // closed by the scan window once the scan has stopped
    running->AskStopForQuit(Msg(app::msg::kQuitDuringScan));
    return;
  }
  if (monitor_) monitor_->Stop();
  preview_->Clear();
  QWidget::closeEvent(event);
}

void MainWindow::ApplyAllTexts() {
  ApplyTexts(skin_, language_.Section("MainWnd"));
  ApplyTexts(skin_, language_.Section("MenuWnd"));
  for (QAction* action : assist_menu_->actions()) {
    const std::string text =
        app::Lookup(language_.Section("MenuWnd"), action->objectName().toStdString());
    if (!text.empty()) action->setText(Q(text));
  }
  Control<QLabel>(skin_, "LblProductName")->setText(Msg("MSG1209"));
  scan_.SetMessages(Messages());
  // Disk nodes and the results carry texts of the language too.
  disks_->Retranslate();
  results_->Retranslate();
  navigation_->ApplyPageTexts();
}

void MainWindow::SetLanguage(const std::string& name) {
  language_.SetLanguage(name);
  ApplyAllTexts();
}

void MainWindow::ShowPrivilegeHint() {
  Ask(BoxKind::kWarning, Msg(kPrivilegeKey), language_, this);
}

// ---- scan and results ----

void MainWindow::StartScan() {
  const std::vector<app::ScanSource*> sources = disks_->CurrentSources();
  if (sources.empty()) {
    Ask(BoxKind::kInformation, Msg("MSG0505"), language_, this);
    return;
  }
  navigation_->NoteScanStarted();
  busy_ = true;
  ProgressWindow window("ScanProcessWnd.ui", "ScanWnd", app::msg::kScanCancelQuestion, language_,
                        this);
  window.LetOwnerClose();
  emit ModalStarted(&window);
  const app::ScanMode mode = navigation_->Mode();
  last_scan_result_ =
      window.Run([this, sources, mode](app::WorkflowObserver& observer, app::CancelToken& cancel) {
        return scan_.Run(sources, mode, observer, cancel);
      });
  busy_ = false;
  navigation_->SetResultPartial(scan_.LastRunPartial());
  if (last_scan_result_ == static_cast<int>(app::RunResult::kNoEngine)) {
    for (const app::ScanSource* source : sources) {
      if (LacksPermission(DeviceOf(*source))) return ShowPrivilegeHint();
    }
    Ask(BoxKind::kWarning, Msg(app::msg::kScanNoEngine), language_, this);
    return;
  }
  SearchResults();
}

void MainWindow::SearchResults() {
  const std::vector<app::ScanSource*> sources = scan_.ResultSources();
  if (sources.empty()) return;
  ScanRecordList* results = results_->BeginResults();
  busy_ = true;
  ProgressWindow window("SearchProcessWnd.ui", "SearchProcessWnd", app::msg::kSearchCancelQuestion,
                        language_, this);
  emit ModalStarted(&window);
  const std::string filter = type_options_->Choices().Filter();
  const app::TextTable messages = Messages();
  // A new scan's engines list deleted files only until told otherwise.
  for (app::ScanSource* source : sources) {
    SetListExistingFiles(source->engine.get(), results_->ShowExistingBox()->isChecked());
  }
  window.Run([sources, filter, messages, results](app::WorkflowObserver& observer,
                                                  app::CancelToken& cancel) {
    return app::SearchSources(sources, filter, messages, results, observer, cancel);
  });
  busy_ = false;
  LoadResults();
}

void MainWindow::ShowExistingFiles(bool on) {
  const std::vector<app::ScanSource*> sources = scan_.ResultSources();
  if (on) {
    for (const app::ScanSource* source : sources) {
      if (app::ResultHoldsExistingFiles(*source, scan_.LastMode())) continue;
      // A result of an older version would silently show deleted files only.
      results_->ShowExistingBox()->setChecked(false);
      Ask(BoxKind::kWarning, Msg(app::msg::kExistingNeedsRescan), language_, this);
      return;
    }
  }
  results_->FileList()->setColumnHidden(static_cast<int>(app::FileColumn::kEntry), !on);
  SearchResults();
}

void MainWindow::LoadResults() {
  preview_->Clear();
  results_->Load(type_options_->Choices());
  navigation_->OpenPage(kResultPage);
}

// ---- recovery ----

void MainWindow::StartRecovery() {
  if (results_->Ticked().Count() == 0) return;
  RecoverRecords(results_->Ticked().Records(), this, false);
}

void MainWindow::RecoverRecords(const ScanRecordList& records, QWidget* owner, bool single) {
  if (records.empty()) return;
  QString chosen = chooser_(ChooseKind::kRecoveryFolder, QString());
  if (chosen.isEmpty()) return;
  if (chosen.size() > 1 && chosen.endsWith('/')) chosen.chop(1);
  destination_ = chosen.toStdString();
  app::RecoveryWorkflow recovery(sources_, Messages());
  WindowObserver asker(language_, owner);
  if (!recovery.ConfirmDestination(destination_, asker)) return;

  // Recovery's window stays open at the end, for the detail list and Open folder.
  class RecoverWindow : public ProgressWindow {
   public:
    using ProgressWindow::ProgressWindow;
    void Finish(app::RunResult result) override {
      if (result == app::RunResult::kCancelled) return ProgressWindow::Finish(result);
      over_ = true;
      Control<QWidget>(Skin(), "FinishBtn")->show();
      Control<QWidget>(Skin(), "CancelBtn")->hide();
    }
  };
  RecoverWindow window("RecoverProcessWnd.ui", "RecoverProcessWnd",
                       app::msg::kRecoverCancelQuestion, language_, owner);
  QWidget* skin = window.Skin();
  Control<QWidget>(skin, "FinishBtn")->hide();
  auto* details = Control<QTreeWidget>(skin, "DetailList");
  details->setHeaderLabels({"File", "Status"});
  details->setColumnWidth(0, 360);
  // Smaller over the preview window.
  if (single) window.resize(450, 250);
  const QSize initial = window.size();
  connect(Control<QAbstractButton>(skin, "FinishBtn"), &QAbstractButton::clicked, &window,
          [&window] { window.done(1); });
  connect(Control<QAbstractButton>(skin, "DetailBtn"), &QAbstractButton::clicked, &window,
          [&window, details, initial] {
            details->setVisible(!details->isVisible());
            window.resize(details->isVisible() ? initial + QSize(150, 300) : initial);
          });
  connect(Control<QAbstractButton>(skin, "OpenBtn"), &QAbstractButton::clicked, &window,
          [this, &window] {
            if (QDesktopServices::openUrl(QUrl::fromLocalFile(Q(destination_)))) return;
            Ask(BoxKind::kWarning,
                Q(app::FormatText(app::Lookup(Messages(), app::msg::kOpenFolderFailed),
                                  {destination_})),
                language_, &window);
          });
  busy_ = true;
  emit ModalStarted(&window);
  const std::string destination = destination_;
  last_recovery_result_ =
      window.Run([&recovery, records, destination, single](app::WorkflowObserver& observer,
                                                           app::CancelToken& cancel) {
        return single ? recovery.RecoverOne(records.front(), destination, observer, cancel)
                      : recovery.Run(records, destination, observer, cancel);
      });
  busy_ = false;
}

// ---- image creation ----

void MainWindow::StartImageCreation() {
  const app::ScanSource* row = disks_->CurrentSource();
  const app::DiskNode* disk = disks_->CurrentDisk();
  if ((!row && !disk) || (row && row->IsImage())) {
    Ask(BoxKind::kInformation, Msg("MSG0216"), language_, this);
    return;
  }
  const app::ImageOrigin origin = row ? app::ImageOriginOf(*row) : app::ImageOriginOf(*disk);
  if (LacksPermission(origin.device_path)) return ShowPrivilegeHint();

  QString destination;
  for (;;) {
    destination = chooser_(ChooseKind::kImageToWrite, Q(origin.suggested_file));
    if (destination.isEmpty()) return;
    std::string refusal;
    // The save dialog has asked before an existing file is replaced.
    if (app::ImageWorkflow::CheckDestination(origin, destination.toStdString(), true, &refusal) ==
        kSuccess) {
      break;
    }
    Ask(BoxKind::kInformation, Q(refusal), language_, this);
  }

  ProgressWindow window("CreateImageProcessWnd.ui", "CreateImageWnd", "MSG0306", language_, this);
  app::ImageWorkflow imaging(Messages());
  app::ImageOptions options;
  options.replace_existing = true;
  busy_ = true;
  emit ModalStarted(&window);
  const std::string target = destination.toStdString();
  const int result = window.Run([&imaging, &origin, &options, &target](
                                    app::WorkflowObserver& observer, app::CancelToken& cancel) {
    const int copied = imaging.Run(origin, target, options, observer, cancel);
    if (copied == kCancelledByUser) return app::RunResult::kCancelled;
    return copied == kSuccess ? app::RunResult::kFinished : app::RunResult::kNoEngine;
  });
  busy_ = false;
  if (result == static_cast<int>(app::RunResult::kNoEngine)) {
    Ask(BoxKind::kInformation, Msg("MSG0217"), language_, this);
    return;
  }
  if (result == static_cast<int>(app::RunResult::kFinished) &&
      Ask(BoxKind::kQuestion, Msg("MSG0214"), language_, this)) {
    navigation_->OpenScanPage(app::ScanMode::kDeep, false);
    LoadImage(destination);
  }
}

}  // namespace velmora::gui
