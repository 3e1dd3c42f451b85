#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

#include "app/language_settings.h"
#include "app/result_browsing.h"
#include "app/scan_source.h"
#include "app/scan_workflow.h"
#include "gui/disk_list_panel.h"
#include "gui/navigation.h"
#include "gui/preview_controller.h"
#include "gui/results_panel.h"
#include "gui/type_options_panel.h"
#include "preview/preview_session.h"

class QCheckBox;
class QLabel;
class QMenu;
class QTreeWidget;

namespace velmora {
class DeviceMonitor;
}

namespace velmora::gui {

class ProgressWindow;
class PreviewPane;
class CPreviewWnd;

// What the main window asks the user for with a file dialog.
enum class ChooseKind { kImageToLoad, kRecoveryFolder, kImageToWrite };

// The main window: the skin with its pages and the panels over them (disk
// list, type options, results, preview, navigation). It runs the modal
// windows of the workflows: scan, search, recovery and image creation. The
// workflows are the application layer's; this class only turns clicks into
// their calls and their results into controls.
class MainWindow : public QWidget {
  Q_OBJECT
 public:
  using Page = Navigation::Page;
  static constexpr Page kHome = Navigation::kHome;
  static constexpr Page kScanPage = Navigation::kScanPage;
  static constexpr Page kTypePage = Navigation::kTypePage;
  static constexpr Page kResultPage = Navigation::kResultPage;
  // `watch_devices`: refresh the disk list 5 s after a disk comes or goes.
  explicit MainWindow(app::LanguageSettings& language, bool watch_devices = true,
                      QWidget* parent = nullptr);
  ~MainWindow() override;

  // File dialogs go through this; tests answer without a dialog. `suggestion`
  // is the proposed file name when writing an image.
  using Chooser = std::function<QString(ChooseKind kind, const QString& suggestion)>;
  void SetChooser(Chooser chooser) { chooser_ = std::move(chooser); }

  // Typed access to the skin's controls.
  QWidget* Skin() const { return skin_; }
  QWidget* PageWidget(Page page) const { return navigation_->PageWidget(page); }
  Page CurrentPage() const { return navigation_->CurrentPage(); }
  QTreeWidget* DiskList() const { return disks_->Tree(); }
  QTreeWidget* TypeTree() const { return results_->TypeTree(); }
  QTreeWidget* FileList() const { return results_->FileList(); }
  QCheckBox* AllRowsBox() const { return results_->AllRowsBox(); }
  // Lists existing files beside the deleted ones (and their Entry column).
  QCheckBox* ShowExistingBox() const { return results_->ShowExistingBox(); }
  QLabel* SelectionInfo() const { return results_->SelectionInfo(); }
  QLabel* GuideText() const { return navigation_->GuideText(); }
  QMenu* AssistMenu() const { return assist_menu_; }
  PreviewPane* Preview() const { return preview_->Pane(); }
  // Where previews copy found files to (the scan-log directory).
  const preview::PreviewSession& PreviewFiles() const { return preview_->Files(); }

  // The panels, for finding one's way from a control to its code.
  DiskListPanel& Disks() const { return *disks_; }
  TypeOptionsPanel& TypeOptions() const { return *type_options_; }
  ResultsPanel& Results() const { return *results_; }
  PreviewController& PreviewControl() const { return *preview_; }
  Navigation& Pages() const { return *navigation_; }

  app::SourceList& Sources() { return sources_; }
  const app::TickedSet& Ticked() const { return results_->Ticked(); }
  const app::ScanWorkflow& Workflow() const { return scan_; }
  // Results of the last modal window: scan, search, recovery, image creation.
  int LastScanResult() const { return last_scan_result_; }
  int LastRecoveryResult() const { return last_recovery_result_; }
  const std::string& Destination() const { return destination_; }

  // Adds an image-file row and selects it.
  void LoadImage(const QString& path) { disks_->LoadImage(path); }
  // Rebuilds the disk list from a fresh enumeration (rows keep their engines).
  void RefreshDisks() { disks_->Refresh(); }
  void SetLanguage(const std::string& name);

 signals:
  // A modal window is about to run (tests use it to reach the window).
  void ModalStarted(ProgressWindow* window);
  // A preview's preparation window, or the preview window, is about to run.
  void PreviewPreparing(ProgressWindow* window);
  void PreviewWindowOpened(CPreviewWnd* window);

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void ConnectControls();
  void BuildAssistMenu();
  void ApplyAllTexts();

  void StartScan();
  void SearchResults();
  void ShowExistingFiles(bool on);
  void LoadResults();

  void StartRecovery();
  // Chooses the destination and runs the recovery window over `owner`; a
  // single record is the preview window's file.
  void RecoverRecords(const ScanRecordList& records, QWidget* owner, bool single);

  void StartImageCreation();
  void ShowPrivilegeHint();

  app::LanguageSettings& language_;
  app::TextTable& Messages() const { return language_.Section("Messages"); }
  QString Msg(const char* key) const;

  QWidget* skin_ = nullptr;
  QMenu* assist_menu_ = nullptr;

  Chooser chooser_;
  app::SourceList sources_;
  app::ScanWorkflow scan_;
  // A modal window runs: no preview, no disk-list rebuild.
  bool busy_ = false;
  int last_scan_result_ = 0;
  int last_recovery_result_ = 0;
  std::string destination_;

  // Children of this window; Qt deletes them.
  DiskListPanel* disks_ = nullptr;
  TypeOptionsPanel* type_options_ = nullptr;
  ResultsPanel* results_ = nullptr;
  PreviewController* preview_ = nullptr;
  Navigation* navigation_ = nullptr;

  QTimer refresh_timer_;
  std::unique_ptr<DeviceMonitor> monitor_;
};

}  // namespace velmora::gui
