#pragma once

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "app/language_settings.h"
#include "app/result_browsing.h"
#include "app/scan_source.h"
#include "app/scan_workflow.h"
#include "preview/preview_session.h"

class QCheckBox;
class QLabel;
class QMenu;
class QStackedWidget;
class QTreeWidget;
class QTreeWidgetItem;

namespace velmora {
class DeviceMonitor;
}

namespace velmora::gui {

class ProgressWindow;
class PreviewPane;
class CPreviewWnd;

// What the main window asks the user for with a file dialog.
enum class ChooseKind { kImageToLoad, kRecoveryFolder, kImageToWrite };

// The main window: home page with the mode buttons, disk list, file types,
// results. The workflows are the application layer's; this class only turns
// clicks into their calls and their results into controls.
class MainWindow : public QWidget {
  Q_OBJECT
 public:
  enum Page { kHome = 0, kScanPage = 1, kTypePage = 2, kResultPage = 3 };
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
  QWidget* PageWidget(Page page) const;
  Page CurrentPage() const;
  QTreeWidget* DiskList() const { return disk_list_; }
  QTreeWidget* TypeTree() const { return type_tree_; }
  QTreeWidget* FileList() const { return file_list_; }
  QCheckBox* AllRowsBox() const { return all_rows_; }
  // Lists existing files beside the deleted ones (and their Entry column).
  QCheckBox* ShowExistingBox() const { return show_existing_; }
  QLabel* SelectionInfo() const { return selection_info_; }
  QLabel* GuideText() const;
  QMenu* AssistMenu() const { return assist_menu_; }
  PreviewPane* Preview() const { return pane_; }
  // Where previews copy found files to (the scan-log directory).
  const preview::PreviewSession& PreviewFiles() const { return *preview_; }

  app::SourceList& Sources() { return sources_; }
  const app::TickedSet& Ticked() const { return ticked_; }
  const app::ScanWorkflow& Workflow() const { return scan_; }
  // Results of the last modal window: scan, search, recovery, image creation.
  int LastScanResult() const { return last_scan_result_; }
  int LastRecoveryResult() const { return last_recovery_result_; }
  const std::string& Destination() const { return destination_; }

  // Adds an image-file row and selects it.
  void LoadImage(const QString& path);
  // Rebuilds the disk list from a fresh enumeration (rows keep their engines).
  void RefreshDisks();
  void SetLanguage(const std::string& name);

 signals:
  // A modal window is about to run (tests use it to reach the window).
  void ModalStarted(ProgressWindow* window);
  // A preview's preparation window, or the preview window, is about to run.
  void PreviewPreparing(ProgressWindow* window);
  void PreviewWindowOpened(CPreviewWnd* window);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void ConnectControls();
  void BuildAssistMenu();
  void OpenPage(Page page);
  void OpenScanPage(app::ScanMode mode, bool image_mode);
  void GoBack();
  void GoNext();
  void ApplyAllTexts();
  void ApplyPageTexts();

  void FillDiskList();
  QString DiskTitle(const app::DiskNode& disk) const;
  QTreeWidgetItem* ImageNode(bool create);
  QTreeWidgetItem* AddImageRow(app::ScanSource& source);
  app::ScanSource* SourceOf(QTreeWidgetItem* item) const;
  std::vector<app::ScanSource*> SourcesOf(QTreeWidgetItem* item) const;
  void ShowDiskInfo(QTreeWidgetItem* item);
  void SelectDefaultRow();

  void StartScan();
  void SearchResults();
  void ShowExistingFiles(bool on);
  void LoadResults();
  void FillTypeTree();
  void FillFileList(QTreeWidgetItem* node);
  const ScanRecordList* RecordsOfNode(QTreeWidgetItem* node) const;
  void TickNode(QTreeWidgetItem* node, bool tick);
  void RefreshTicks();
  void SortFileList(int column);

  void StartRecovery();
  // Chooses the destination and runs the recovery window over `owner`; a
  // single record is the preview window's file.
  void RecoverRecords(const ScanRecordList& records, QWidget* owner, bool single);

  void PreviewRow(QTreeWidgetItem* item);
  void OpenPreviewWindow(QTreeWidgetItem* item);
  int PreparePreview(const ScanRecord& record, QWidget* owner, preview::PreviewContent* content);
  void ClearPreview();
  void StartImageCreation();
  void ShowPrivilegeHint(const app::ScanSource* source);
  void BuildTypeOptions();

  app::LanguageSettings& language_;
  app::TextTable& Messages() const { return language_.Section("Messages"); }
  QString Msg(const char* key) const;

  QWidget* skin_ = nullptr;
  QStackedWidget* pages_ = nullptr;
  QTreeWidget* disk_list_ = nullptr;
  QTreeWidget* type_tree_ = nullptr;
  QTreeWidget* file_list_ = nullptr;
  QCheckBox* all_rows_ = nullptr;
  QCheckBox* show_existing_ = nullptr;
  QLabel* selection_info_ = nullptr;
  QMenu* assist_menu_ = nullptr;

  Chooser chooser_;
  app::SourceList sources_;
  app::ScanWorkflow scan_;
  app::ScanMode mode_ = app::ScanMode::kDeep;
  bool image_mode_ = false;
  bool from_type_page_ = false;
  bool busy_ = false;
  bool updating_ = false;
  int last_scan_result_ = 0;
  int last_recovery_result_ = 0;

  app::TypeChoices choices_;
  ScanRecordList results_;
  app::ExtensionGroups groups_;
  std::vector<app::CategoryNode> tree_;
  app::TickedSet ticked_;
  QTreeWidgetItem* shown_node_ = nullptr;
  std::map<int, bool> sort_ascending_;
  std::string destination_;

  std::unique_ptr<preview::PreviewSession> preview_;
  PreviewPane* pane_ = nullptr;
  // The record the pane shows and what was prepared for it.
  std::optional<ScanRecord> previewed_;
  preview::PreviewContent preview_content_;

  QTimer refresh_timer_;
  std::unique_ptr<DeviceMonitor> monitor_;
};

}  // namespace velmora::gui
