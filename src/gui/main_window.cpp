#include "gui/main_window.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "app/build_info.h"
#include "app/recovery_workflow.h"
#include "app/saved_scans.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "gui/message_box.h"
#include "gui/preview_pane.h"
#include "gui/preview_window.h"
#include "gui/progress_window.h"
#include "gui/skin.h"
#include "storage/device_monitor.h"
#include "storage/disk_enumerator.h"
#include "storage/disk_image_writer.h"
#include "storage/error_codes.h"
#include "storage/image_destination.h"
#include "storage/size_text.h"
#include "storage/source_locator.h"

namespace velmora::gui {
namespace {

// What a disk-list item stands for.
constexpr int kKindRole = Qt::UserRole + 1;
constexpr int kPointerRole = Qt::UserRole + 2;
enum ItemKind { kDiskItem = 1, kRowItem = 2, kImageNodeItem = 3 };

constexpr const char* kModeButtons[] = {"BtnDeletedRecovery", "BtnFormattedRecovery",
                                        "BtnDeepRecovery", "BtnCreateImageMode"};
constexpr const char* kGuideKeys[] = {"MSG0101", "MSG0102", "MSG0103", "MSG0104"};
constexpr const char* kGroupSuffixes[] = {"Photo", "Audio", "Video", "Office", "Zip", "Other"};
constexpr const char* kPrivilegeKey = "MSG0222";

// Asks through the main window's boxes what the workflows ask on its thread.
class WindowObserver : public app::WorkflowObserver {
 public:
  WindowObserver(app::LanguageSettings& language, QWidget* owner) : language_(language), owner_(owner) {}
  bool ConfirmSameVolume(const app::ScanSource&, const std::string& warning) override {
    return Ask(BoxKind::kConfirm, Q(warning), language_, owner_);
  }

 private:
  app::LanguageSettings& language_;
  QWidget* owner_;
};

// File-list rows sort by the records they show, not only by their texts.
class FileRow : public QTreeWidgetItem {
 public:
  FileRow(const ScanRecord* record) : record_(record) {
    for (int column = 1; column <= static_cast<int>(app::FileColumn::kEntry); ++column) {
      setText(column, Q(app::ColumnText(*record, static_cast<app::FileColumn>(column))));
    }
    setFlags(flags() | Qt::ItemIsUserCheckable);
  }
  const ScanRecord& Record() const { return *record_; }
  bool operator<(const QTreeWidgetItem& other) const override {
    const int column = treeWidget() ? treeWidget()->sortColumn() : 1;
    return app::RowLess(*record_, static_cast<const FileRow&>(other).Record(),
                        static_cast<app::FileColumn>(column));
  }

 private:
  const ScanRecord* record_;
};

Qt::CheckState CheckOf(app::TickState state) {
  switch (state) {
    case app::TickState::kAll: return Qt::Checked;
    case app::TickState::kSome: return Qt::PartiallyChecked;
    default: return Qt::Unchecked;
  }
}

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

  pages_ = Control<QStackedWidget>(skin_, "TabPage");
  for (const char* page : {"ControlPanel.ui", "ScanDisk.ui", "FileType.ui", "RecoverFile.ui"}) {
    QWidget* widget = LoadSkin(page, pages_);
    if (!widget) qFatal("the page skin %s cannot be loaded", page);
    pages_->addWidget(widget);
  }
  disk_list_ = Control<QTreeWidget>(skin_, "DiskList");
  type_tree_ = Control<QTreeWidget>(skin_, "TypeTree");
  file_list_ = Control<QTreeWidget>(skin_, "FileList");
  all_rows_ = Control<QCheckBox>(skin_, "ChkAllListSel");
  show_existing_ = Control<QCheckBox>(skin_, "ChkShowExisting");
  selection_info_ = Control<QLabel>(skin_, "SelectedFileInfo");
  selection_info_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  Control<QWidget>(skin_, "BtnRecover")->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

  disk_list_->setHeaderLabels({"Name", "File system", "Size"});
  disk_list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  disk_list_->header()->setStretchLastSection(false);
  file_list_->setColumnCount(8);
  file_list_->setHeaderLabels({"", "Name", "Size", "Modified", "Created", "Path", "Type", "Entry"});
  file_list_->setColumnHidden(static_cast<int>(app::FileColumn::kEntry), true);
  file_list_->header()->setSectionsClickable(true);
  file_list_->setColumnWidth(0, 28);
  file_list_->setColumnWidth(1, 200);
  auto* splitter = Control<QSplitter>(skin_, "ResultSplitter");
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({200, 560});
  auto* list_splitter = Control<QSplitter>(skin_, "ListSplitter");
  list_splitter->setStretchFactor(0, 3);
  list_splitter->setStretchFactor(1, 2);
  preview_ = std::make_unique<preview::PreviewSession>(ScanLogDirectory());
  pane_ = new PreviewPane(PageWidget(kResultPage), language_);

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

  BuildTypeOptions();
  BuildAssistMenu();
  ConnectControls();
  FillDiskList();
  ApplyAllTexts();
  OpenPage(kHome);

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
      QMetaObject::invokeMethod(this, [this] { refresh_timer_.start(5000); }, Qt::QueuedConnection);
    });
    monitor_->Start();
  }
}

MainWindow::~MainWindow() {
  if (monitor_) monitor_->Stop();
  ClearPreview();
}

QString MainWindow::Msg(const char* key) const { return Q(app::Lookup(Messages(), key)); }

QWidget* MainWindow::PageWidget(Page page) const { return pages_->widget(page); }
MainWindow::Page MainWindow::CurrentPage() const { return static_cast<Page>(pages_->currentIndex()); }
QLabel* MainWindow::GuideText() const { return Control<QLabel>(skin_, "TxtMainInfo"); }

void MainWindow::ConnectControls() {
  auto on_click = [this](const char* name, auto handler) {
    connect(Control<QAbstractButton>(skin_, name), &QAbstractButton::clicked, this, handler);
  };
  on_click("BtnDeletedRecovery", [this] { OpenScanPage(app::ScanMode::kQuick, false); });
  on_click("BtnFormattedRecovery", [this] { OpenScanPage(app::ScanMode::kDeep, false); });
  on_click("BtnDeepRecovery", [this] { OpenScanPage(app::ScanMode::kDeep, false); });
  on_click("BtnCreateImageMode", [this] { OpenScanPage(mode_, true); });
  for (const char* name : kModeButtons) Control<QWidget>(skin_, name)->installEventFilter(this);
  on_click("BtnScan", [this] { StartScan(); });
  on_click("BtnAdvanceScan", [this] { OpenPage(kTypePage); });
  on_click("BtnLoadImage", [this] {
    const QString path = chooser_(ChooseKind::kImageToLoad, QString());
    if (!path.isEmpty()) LoadImage(path);
  });
  on_click("BtnCreateImage", [this] { StartImageCreation(); });
  on_click("BtnRecover", [this] { StartRecovery(); });
  on_click("BtnPrev", [this] { GoBack(); });
  on_click("BtnNext", [this] { GoNext(); });
  on_click("TabScan", [this] { OpenPage(kScanPage); });
  on_click("TabFileType", [this] { OpenPage(kTypePage); });
  on_click("TabRecover", [this] { OpenPage(kResultPage); });

  connect(disk_list_, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { ShowDiskInfo(item); });
  connect(disk_list_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    if (item->data(0, kKindRole).toInt() == kRowItem && !image_mode_) StartScan();
  });

  connect(type_tree_, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { FillFileList(item); });
  connect(type_tree_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int) {
    if (updating_) return;
    TickNode(item, item->checkState(0) != Qt::Unchecked);
  });
  connect(file_list_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
    if (updating_ || column != 0) return;
    const ScanRecord& record = static_cast<FileRow*>(item)->Record();
    if (item->checkState(0) == Qt::Checked) {
      ticked_.Tick(record);
    } else {
      ticked_.Untick(record);
    }
    RefreshTicks();
  });
  connect(show_existing_, &QCheckBox::clicked, this, [this](bool on) { ShowExistingFiles(on); });
  connect(all_rows_, &QCheckBox::clicked, this, [this] {
    const ScanRecordList* records = RecordsOfNode(shown_node_);
    if (!records) return RefreshTicks();
    if (ticked_.StateOf(*records) == app::TickState::kAll) {
      ticked_.UntickAll(*records);
    } else {
      ticked_.TickAll(*records);
    }
    RefreshTicks();
  });
  connect(file_list_->header(), &QHeaderView::sectionClicked, this,
          [this](int column) { SortFileList(column); });
  // Queued: the preparation window is modal and must not run inside the
  // list's own selection handling.
  connect(file_list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (updating_ || !item) return;
    QMetaObject::invokeMethod(this, [this, item] {
      if (file_list_->currentItem() == item) PreviewRow(item);
    }, Qt::QueuedConnection);
  });
  connect(file_list_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
    QMetaObject::invokeMethod(this, [this, item] {
      if (file_list_->currentItem() == item) OpenPreviewWindow(item);
    }, Qt::QueuedConnection);
  });
}

void MainWindow::BuildTypeOptions() {
  for (const char* suffix : kGroupSuffixes) {
    const std::string group = std::string("FileType") + suffix;
    auto* grid = qobject_cast<QGridLayout*>(
        Control<QWidget>(skin_, (QString("Options") + suffix).toLatin1().constData())->layout());
    int index = 0;
    for (const app::TypeOption& option : app::TypeOptions()) {
      if (option.group != group) continue;
      auto* box = new QCheckBox(Q(option.text));
      box->setObjectName(Q(option.name));
      box->setProperty("extensions", Q(option.extensions));
      box->setChecked(choices_.IsTicked(option.name));
      grid->addWidget(box, index / 3, index % 3);
      ++index;
      connect(box, &QCheckBox::toggled, this, [this, name = option.name](bool on) {
        if (!updating_) choices_.SetOption(name, on);
      });
    }
    const QString group_option = QString("Opt%1File").arg(suffix);
    auto* whole = Control<QCheckBox>(skin_, group_option.toLatin1().constData());
    connect(whole, &QCheckBox::toggled, this, [this, group, suffix](bool on) {
      choices_.SetGroup(group, on);
      updating_ = true;
      for (QCheckBox* box : Control<QWidget>(skin_, (QString("Options") + suffix).toLatin1().constData())
                                ->findChildren<QCheckBox*>()) {
        box->setChecked(on);
      }
      updating_ = false;
    });
    auto* big = Control<QAbstractButton>(skin_, (QString("Btn") + suffix).toLatin1().constData());
    connect(big, &QAbstractButton::clicked, this, [whole, big] {
      whole->setChecked(!whole->isChecked());
      big->setChecked(whole->isChecked());
    });
  }
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

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Enter) {
    for (int i = 0; i < 4; ++i) {
      if (watched->objectName() == kModeButtons[i]) GuideText()->setText(Msg(kGuideKeys[i]));
    }
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (ProgressWindow* running = ProgressWindow::Running()) {
    event->ignore();  // closed by the scan window once the scan has stopped
    running->AskStopForQuit(Msg(app::msg::kQuitDuringScan));
    return;
  }
  if (monitor_) monitor_->Stop();
  ClearPreview();
  QWidget::closeEvent(event);
}

// ---- pages ----

void MainWindow::OpenPage(Page page) {
  pages_->setCurrentIndex(page);
  Control<QWidget>(skin_, "TabBar")->setVisible(page != kHome);
  Control<QAbstractButton>(skin_, "TabScan")->setChecked(page == kScanPage);
  Control<QAbstractButton>(skin_, "TabFileType")->setChecked(page == kTypePage);
  Control<QAbstractButton>(skin_, "TabRecover")->setChecked(page == kResultPage);
  Control<QWidget>(skin_, "TabRecover")->setEnabled(!tree_.empty());
  Control<QWidget>(skin_, "BtnPrev")->setVisible(page != kHome);
  Control<QWidget>(skin_, "BtnNext")->setVisible(page != kResultPage);
  Control<QWidget>(skin_, "BtnScan")->setVisible(!image_mode_ && (page == kScanPage || page == kTypePage));
  Control<QWidget>(skin_, "BtnCreateImage")->setVisible(image_mode_ && page == kScanPage);
  Control<QWidget>(skin_, "TabFileType")->setVisible(!image_mode_);
  ApplyPageTexts();
}

void MainWindow::OpenScanPage(app::ScanMode mode, bool image_mode) {
  mode_ = mode;
  image_mode_ = image_mode;
  // An image cannot be imaged again.
  if (QTreeWidgetItem* images = ImageNode(false)) images->setHidden(image_mode_);
  OpenPage(kScanPage);
  SelectDefaultRow();
}

void MainWindow::GoBack() {
  switch (CurrentPage()) {
    case kResultPage: OpenPage(from_type_page_ ? kTypePage : kScanPage); break;
    case kTypePage: OpenPage(kScanPage); break;
    case kScanPage: OpenPage(kHome); break;
    default: break;
  }
}

void MainWindow::GoNext() {
  switch (CurrentPage()) {
    case kHome: OpenPage(kScanPage); SelectDefaultRow(); break;
    case kScanPage:
      if (SourceOf(disk_list_->currentItem()) || !SourcesOf(disk_list_->currentItem()).empty()) {
        if (image_mode_) {
          StartImageCreation();
        } else {
          OpenPage(kTypePage);
        }
      } else {
        Ask(BoxKind::kInformation, "Please select disk media for next step!", language_, this);
      }
      break;
    case kTypePage:
      if (!tree_.empty()) OpenPage(kResultPage);
      break;
    default: break;
  }
}

void MainWindow::ApplyAllTexts() {
  ApplyTexts(skin_, language_.Section("MainWnd"));
  ApplyTexts(skin_, language_.Section("MenuWnd"));
  for (QAction* action : assist_menu_->actions()) {
    const std::string text = app::Lookup(language_.Section("MenuWnd"), action->objectName().toStdString());
    if (!text.empty()) action->setText(Q(text));
  }
  Control<QLabel>(skin_, "LblProductName")->setText(Msg("MSG1209"));
  scan_.SetMessages(Messages());
  // Disk nodes and the results carry texts of the language too.
  for (int i = 0; i < disk_list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = disk_list_->topLevelItem(i);
    if (item->data(0, kKindRole).toInt() != kDiskItem) continue;
    const auto& disk = sources_.Disks()[item->data(0, kPointerRole).toULongLong()];
    item->setText(0, DiskTitle(disk));
  }
  if (!tree_.empty()) {
    tree_ = app::BuildTypeTree(groups_, choices_, Messages());
    updating_ = true;
    for (int i = 0; i < type_tree_->topLevelItemCount() && i < static_cast<int>(tree_.size()); ++i) {
      type_tree_->topLevelItem(i)->setText(0, Q(tree_[i].text));
    }
    updating_ = false;
  }
  RefreshTicks();
  ShowDiskInfo(disk_list_->currentItem());
  ApplyPageTexts();
}

void MainWindow::ApplyPageTexts() {
  QWidget* scan_page = PageWidget(kScanPage);
  Control<QLabel>(scan_page, "Txt1")->setText(Msg(image_mode_ ? "MSG0212" : "MSG0501"));
  Control<QLabel>(scan_page, "Txt2")->setText(Msg(image_mode_ ? "MSG0213" : "MSG0502"));
  Control<QAbstractButton>(skin_, "TabScan")->setText(Msg(image_mode_ ? "MSG0211" : "MSG0503"));
  QWidget* type_page = PageWidget(kTypePage);
  Control<QLabel>(type_page, "Txt1")->setText(Msg("MSG0601"));
  Control<QLabel>(type_page, "Txt2")->setText(Msg("MSG0602"));
  QWidget* result_page = PageWidget(kResultPage);
  Control<QLabel>(result_page, "Txt1")
      ->setText(Msg(scan_.LastRunPartial() ? app::msg::kScanPartial : "MSG0801"));
  Control<QLabel>(result_page, "Txt2")->setText(
      Q(app::FormatText(app::Lookup(Messages(), "MSG0802"), {std::to_string(ticked_.Count())})));
}

void MainWindow::SetLanguage(const std::string& name) {
  language_.SetLanguage(name);
  ApplyAllTexts();
}

// ---- disk list ----

void MainWindow::RefreshDisks() {
  DiskEnumerator enumerator;
  enumerator.Refresh();
  sources_.SetDisks(enumerator);
  FillDiskList();
}

// A loaded image is named by its file: its drive number only keys it and means nothing to a person.
QString MainWindow::DiskTitle(const app::DiskNode& disk) const {
  const QString kind = Msg(disk.removable ? "MSG0202" : "MSG0201");
  if (disk.number >= kFirstImageDriveNumber) {
    return QString("%1 %2").arg(kind, QFileInfo(Q(disk.device_path)).fileName());
  }
  return QString("%1 %2").arg(kind).arg(disk.number + 1);
}

void MainWindow::FillDiskList() {
  const app::ScanSource* selected = SourceOf(disk_list_->currentItem());
  disk_list_->clear();
  QTreeWidgetItem* reselect = nullptr;
  const QIcon disk_icon = style()->standardIcon(QStyle::SP_DriveHDIcon);
  const QIcon removable_icon = style()->standardIcon(QStyle::SP_DriveFDIcon);
  const QIcon volume_icon = style()->standardIcon(QStyle::SP_DirIcon);
  for (size_t i = 0; i < sources_.Disks().size(); ++i) {
    const app::DiskNode& disk = sources_.Disks()[i];
    auto* node = new QTreeWidgetItem(disk_list_);
    node->setData(0, kKindRole, kDiskItem);
    node->setData(0, kPointerRole, static_cast<qulonglong>(i));
    node->setIcon(0, disk.removable ? removable_icon : disk_icon);
    node->setText(0, DiskTitle(disk));
    node->setToolTip(0, Q(disk.device_path));
    for (const auto& row : disk.rows) {
      const PartitionEntry& entry = *row->entry;
      auto* item = new QTreeWidgetItem(node);
      item->setData(0, kKindRole, kRowItem);
      item->setData(0, kPointerRole, QVariant::fromValue(reinterpret_cast<quintptr>(row.get())));
      QString name = Q(entry.volume_label);
      if (name.isEmpty()) name = Q(entry.volume_path.empty() ? RegionKindName(entry.kind) : entry.volume_path);
      item->setText(0, QString("%1: %2").arg(entry.number).arg(name));
      item->setText(1, Q(entry.file_system_name));
      item->setText(2, Q(FormatSize(static_cast<int64_t>(entry.total))));
      item->setIcon(0, volume_icon);
      if (row.get() == selected) reselect = item;
    }
    node->setExpanded(true);
  }
  for (const auto& image : sources_.Images()) {
    QTreeWidgetItem* item = AddImageRow(*image);
    if (image.get() == selected) reselect = item;
  }
  if (reselect) disk_list_->setCurrentItem(reselect);
}

QTreeWidgetItem* MainWindow::ImageNode(bool create) {
  for (int i = 0; i < disk_list_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = disk_list_->topLevelItem(i);
    if (item->data(0, kKindRole).toInt() == kImageNodeItem) return item;
  }
  if (!create) return nullptr;
  auto* node = new QTreeWidgetItem(disk_list_, {"Image File"});
  node->setData(0, kKindRole, kImageNodeItem);
  node->setData(0, kNameRole, "ImageFile");
  node->setIcon(0, style()->standardIcon(QStyle::SP_DirOpenIcon));
  node->setExpanded(true);
  return node;
}

QTreeWidgetItem* MainWindow::AddImageRow(app::ScanSource& source) {
  auto* item = new QTreeWidgetItem(ImageNode(true));
  item->setData(0, kKindRole, kRowItem);
  item->setData(0, kPointerRole, QVariant::fromValue(reinterpret_cast<quintptr>(&source)));
  item->setText(0, Q(source.ShortName()));
  item->setText(2, Q(FormatSize(QFileInfo(Q(source.image_path)).size())));
  item->setIcon(0, style()->standardIcon(QStyle::SP_FileIcon));
  item->setToolTip(0, Q(source.image_path));
  return item;
}

void MainWindow::LoadImage(const QString& path) {
  // An image of a whole disk shows as a disk with its partitions.
  std::string not_partitioned;
  if (sources_.AddPartitionedImage(path.toStdString(), &not_partitioned) == kSuccess) {
    FillDiskList();
    QTreeWidgetItem* disk = nullptr;
    for (int i = 0; i < disk_list_->topLevelItemCount(); ++i) {
      if (disk_list_->topLevelItem(i)->data(0, kKindRole).toInt() == kDiskItem) disk = disk_list_->topLevelItem(i);
    }
    if (disk) disk_list_->setCurrentItem(disk->childCount() > 0 ? disk->child(0) : disk);
    return;
  }
  app::ScanSource& source = sources_.AddImage(path.toStdString());
  QTreeWidgetItem* item = nullptr;  // an image listed already keeps its one row
  for (QTreeWidgetItemIterator it(disk_list_); *it && !item; ++it)
    item = SourceOf(*it) == &source ? *it : nullptr;
  if (!item) item = AddImageRow(source);
  ImageNode(false)->setExpanded(true);
  disk_list_->setCurrentItem(item);
}

app::ScanSource* MainWindow::SourceOf(QTreeWidgetItem* item) const {
  if (!item || item->data(0, kKindRole).toInt() != kRowItem) return nullptr;
  return reinterpret_cast<app::ScanSource*>(item->data(0, kPointerRole).value<quintptr>());
}

std::vector<app::ScanSource*> MainWindow::SourcesOf(QTreeWidgetItem* item) const {
  if (!item) return {};
  if (app::ScanSource* source = SourceOf(item)) return {source};
  std::vector<app::ScanSource*> sources;
  for (int i = 0; i < item->childCount(); ++i) {
    if (app::ScanSource* source = SourceOf(item->child(i))) sources.push_back(source);
  }
  return sources;
}

void MainWindow::SelectDefaultRow() {
  if (SourceOf(disk_list_->currentItem())) return;
  QTreeWidgetItem* first = nullptr;
  for (QTreeWidgetItemIterator it(disk_list_); *it; ++it) {
    app::ScanSource* source = SourceOf(*it);
    if (!source || (*it)->isHidden() || ((*it)->parent() && (*it)->parent()->isHidden())) continue;
    if (!first) first = *it;
    if (!source->IsImage() && source->entry->removable) {
      first = *it;
      break;
    }
  }
  if (first) disk_list_->setCurrentItem(first);
}

void MainWindow::ShowDiskInfo(QTreeWidgetItem* item) {
  QWidget* page = PageWidget(kScanPage);
  QLabel* labels[6];
  for (int i = 0; i < 6; ++i) {
    labels[i] = Control<QLabel>(page, QString("Label%1").arg(i + 1).toLatin1().constData());
    labels[i]->setText(QString());
    labels[i]->setVisible(true);
  }
  const app::ScanSource* source = SourceOf(item);
  const bool selectable = source || !SourcesOf(item).empty();
  Control<QWidget>(skin_, "BtnAdvanceScan")->setEnabled(selectable);
  Control<QWidget>(skin_, "TabFileType")->setEnabled(selectable);
  if (!source) return;
  if (source->IsImage()) {
    labels[0]->setText(Msg("MSG0209") + " " + Q(source->image_path));
    labels[1]->setText(Msg("MSG0210") + " " + Q(FormatSize(QFileInfo(Q(source->image_path)).size())));
    for (int i = 2; i < 5; ++i) labels[i]->setVisible(false);
    return;
  }
  const PartitionEntry& entry = *source->entry;
  labels[0]->setText(QString("%1 %2").arg(Msg("MSG0203")).arg(entry.number));
  labels[1]->setText(entry.volume_label.empty() ? Msg("MSG0204")
                                                : Msg("MSG0204") + " " + Q(entry.volume_label));
  labels[2]->setText(Msg("MSG0205") + " " + Q(entry.file_system_name));
  labels[3]->setText(Msg("MSG0206") + " " + Q(FormatSize(static_cast<int64_t>(entry.total))));
  labels[4]->setText(Msg("MSG0207") + " " + Q(FormatSize(static_cast<int64_t>(entry.used))));
  labels[5]->setText(Msg("MSG0208") + " " + Q(FormatSize(static_cast<int64_t>(entry.free))));
}

void MainWindow::ShowPrivilegeHint(const app::ScanSource* source) {
  Ask(BoxKind::kWarning, Msg(kPrivilegeKey), language_, this);
}

// ---- scan and results ----

void MainWindow::StartScan() {
  const std::vector<app::ScanSource*> sources = SourcesOf(disk_list_->currentItem());
  if (sources.empty()) {
    Ask(BoxKind::kInformation, Msg("MSG0505"), language_, this);
    return;
  }
  from_type_page_ = CurrentPage() == kTypePage;
  busy_ = true;
  ProgressWindow window("ScanProcessWnd.ui", "ScanWnd", app::msg::kScanCancelQuestion, language_, this);
  window.LetOwnerClose();
  emit ModalStarted(&window);
  const app::ScanMode mode = mode_;
  last_scan_result_ = window.Run([this, sources, mode](app::WorkflowObserver& observer, app::CancelToken& cancel) {
    return scan_.Run(sources, mode, observer, cancel);
  });
  busy_ = false;
  if (last_scan_result_ == static_cast<int>(app::RunResult::kNoEngine)) {
    for (const app::ScanSource* source : sources) {
      if (LacksPermission(DeviceOf(*source))) return ShowPrivilegeHint(source);
    }
    Ask(BoxKind::kWarning, Msg(app::msg::kScanNoEngine), language_, this);
    return;
  }
  SearchResults();
}

void MainWindow::SearchResults() {
  const std::vector<app::ScanSource*> sources = scan_.ResultSources();
  if (sources.empty()) return;
  ticked_.Clear();
  results_.clear();
  busy_ = true;
  ProgressWindow window("SearchProcessWnd.ui", "SearchProcessWnd", app::msg::kSearchCancelQuestion,
                        language_, this);
  emit ModalStarted(&window);
  const std::string filter = choices_.Filter();
  const app::TextTable messages = Messages();
  // A new scan's engines list deleted files only until told otherwise.
  for (app::ScanSource* source : sources) {
    SetListExistingFiles(source->engine.get(), show_existing_->isChecked());
  }
  window.Run([this, sources, filter, messages](app::WorkflowObserver& observer, app::CancelToken& cancel) {
    return app::SearchSources(sources, filter, messages, &results_, observer, cancel);
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
      show_existing_->setChecked(false);
      Ask(BoxKind::kWarning, Msg(app::msg::kExistingNeedsRescan), language_, this);
      return;
    }
  }
  file_list_->setColumnHidden(static_cast<int>(app::FileColumn::kEntry), !on);
  SearchResults();
}

void MainWindow::LoadResults() {
  file_list_->clear();
  shown_node_ = nullptr;
  ClearPreview();
  groups_ = app::GroupByExtension(results_);
  tree_ = app::BuildTypeTree(groups_, choices_, Messages());
  FillTypeTree();
  OpenPage(kResultPage);
  RefreshTicks();
}

void MainWindow::FillTypeTree() {
  updating_ = true;
  type_tree_->clear();
  const QIcon folder = style()->standardIcon(QStyle::SP_DirIcon);
  const QIcon file = style()->standardIcon(QStyle::SP_FileIcon);
  for (size_t i = 0; i < tree_.size(); ++i) {
    auto* node = new QTreeWidgetItem(type_tree_, {Q(tree_[i].text)});
    node->setData(0, kNameRole, Q(tree_[i].name));
    node->setFlags(node->flags() | Qt::ItemIsUserCheckable);
    node->setCheckState(0, Qt::Unchecked);
    node->setIcon(0, folder);
    for (size_t j = 0; j < tree_[i].children.size(); ++j) {
      auto* child = new QTreeWidgetItem(node, {Q(tree_[i].children[j].text)});
      child->setData(0, kNameRole, "filetype");
      child->setData(0, kPointerRole, QVariant::fromValue(reinterpret_cast<quintptr>(&tree_[i].children[j])));
      child->setFlags(child->flags() | Qt::ItemIsUserCheckable);
      child->setCheckState(0, Qt::Unchecked);
      child->setIcon(0, file);
    }
    node->setExpanded(!tree_[i].children.empty());
  }
  updating_ = false;
}

const ScanRecordList* MainWindow::RecordsOfNode(QTreeWidgetItem* node) const {
  if (!node || node->data(0, kNameRole).toString() != "filetype") return nullptr;
  return reinterpret_cast<const app::TypeNode*>(node->data(0, kPointerRole).value<quintptr>())->records;
}

void MainWindow::FillFileList(QTreeWidgetItem* node) {
  const ScanRecordList* records = RecordsOfNode(node);
  if (!records) return;
  shown_node_ = node;
  updating_ = true;
  file_list_->clear();
  const QIcon icon = node->icon(0);
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<int>(records->size()));
  for (const ScanRecord& record : *records) {
    auto* row = new FileRow(&record);
    row->setCheckState(0, ticked_.Contains(record) ? Qt::Checked : Qt::Unchecked);
    row->setIcon(1, icon);
    rows.push_back(row);
  }
  file_list_->addTopLevelItems(rows);
  file_list_->header()->setSortIndicatorShown(false);
  updating_ = false;
  RefreshTicks();
}

void MainWindow::TickNode(QTreeWidgetItem* node, bool tick) {
  std::vector<const ScanRecordList*> lists;
  if (const ScanRecordList* records = RecordsOfNode(node)) {
    lists.push_back(records);
  } else {
    for (int i = 0; i < node->childCount(); ++i) lists.push_back(RecordsOfNode(node->child(i)));
  }
  for (const ScanRecordList* records : lists) {
    if (!records) continue;
    if (tick) {
      ticked_.TickAll(*records);
    } else {
      ticked_.UntickAll(*records);
    }
  }
  RefreshTicks();
}

void MainWindow::RefreshTicks() {
  updating_ = true;
  for (int i = 0; i < type_tree_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* category = type_tree_->topLevelItem(i);
    int all = 0;
    int none = 0;
    for (int j = 0; j < category->childCount(); ++j) {
      QTreeWidgetItem* child = category->child(j);
      const app::TickState state = ticked_.StateOf(*RecordsOfNode(child));
      child->setCheckState(0, CheckOf(state));
      all += state == app::TickState::kAll;
      none += state == app::TickState::kNone;
    }
    const int count = category->childCount();
    category->setCheckState(0, count > 0 && all == count ? Qt::Checked
                               : none == count         ? Qt::Unchecked
                                                       : Qt::PartiallyChecked);
  }
  for (int i = 0; i < file_list_->topLevelItemCount(); ++i) {
    auto* row = static_cast<FileRow*>(file_list_->topLevelItem(i));
    row->setCheckState(0, ticked_.Contains(row->Record()) ? Qt::Checked : Qt::Unchecked);
  }
  const ScanRecordList* shown = RecordsOfNode(shown_node_);
  all_rows_->setCheckState(shown ? CheckOf(ticked_.StateOf(*shown)) : Qt::Unchecked);
  all_rows_->setEnabled(shown != nullptr);
  const app::SelectionSummary summary = app::Summarize(ticked_, Messages());
  selection_info_->setText(Q(summary.text));
  Control<QWidget>(skin_, "BtnRecover")->setEnabled(summary.recover_enabled);
  updating_ = false;
  ApplyPageTexts();
}

void MainWindow::SortFileList(int column) {
  if (column <= 0) return;  // the check-box column does not sort
  const auto which = static_cast<app::FileColumn>(column);
  auto found = sort_ascending_.find(column);
  const bool ascending = found == sort_ascending_.end() ? app::FirstSortAscending(which) : !found->second;
  sort_ascending_[column] = ascending;
  const Qt::SortOrder order = ascending ? Qt::AscendingOrder : Qt::DescendingOrder;
  // The rows compare through the header's sort column, so it is set first.
  file_list_->header()->setSortIndicatorShown(true);
  file_list_->header()->setSortIndicator(column, order);
  file_list_->sortItems(column, order);
}

// ---- recovery ----

void MainWindow::StartRecovery() {
  if (ticked_.Count() == 0) return;
  RecoverRecords(ticked_.Records(), this, false);
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
  RecoverWindow window("RecoverProcessWnd.ui", "RecoverProcessWnd", app::msg::kRecoverCancelQuestion,
                       language_, owner);
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
  last_recovery_result_ = window.Run(
      [&recovery, records, destination, single](app::WorkflowObserver& observer, app::CancelToken& cancel) {
        return single ? recovery.RecoverOne(records.front(), destination, observer, cancel)
                      : recovery.Run(records, destination, observer, cancel);
      });
  busy_ = false;
}

// ---- preview ----

int MainWindow::PreparePreview(const ScanRecord& record, QWidget* owner, preview::PreviewContent* content) {
  CPreviewProcessWnd window(record, language_, owner);
  const bool was_busy = busy_;
  busy_ = true;
  emit PreviewPreparing(&window);
  const int result = window.Prepare(*preview_, sources_.EngineFor(record), content);
  busy_ = was_busy;
  return result;
}

void MainWindow::PreviewRow(QTreeWidgetItem* item) {
  if (busy_) return;
  const ScanRecord record = static_cast<FileRow*>(item)->Record();
  previewed_.reset();
  preview_content_ = preview::PreviewContent();
  if (record.is_directory) {
    preview_content_.kind = preview::PreviewContent::Kind::kDirectory;
    pane_->Show(preview_content_);
    return;
  }
  // The player lets go of the last file before the next preparation deletes it.
  pane_->StopMedia();
  if (PreparePreview(record, this, &preview_content_) != preview::kPreparationFinished) {
    pane_->Clear();
    return;
  }
  previewed_ = record;
  pane_->Show(preview_content_);
}

void MainWindow::OpenPreviewWindow(QTreeWidgetItem* item) {
  if (busy_ || !item) return;
  const ScanRecord& record = static_cast<FileRow*>(item)->Record();
  if (record.is_directory) return;
  auto same = [&record](const ScanRecord& other) {
    return other.drive_tag == record.drive_tag && other.source_kind == record.source_kind &&
           other.record_index == record.record_index;
  };
  if (!previewed_ || !same(*previewed_)) PreviewRow(item);
  if (!previewed_ || !same(*previewed_)) return;
  ScanRecordList navigation;
  for (int i = 0; i < file_list_->topLevelItemCount(); ++i) {
    const ScanRecord& row = static_cast<FileRow*>(file_list_->topLevelItem(i))->Record();
    if (!row.is_directory) navigation.push_back(row);
  }
  // One player at a time: the window plays what the pane would.
  pane_->StopMedia();
  CPreviewWnd::Host host;
  host.prepare = [this](const ScanRecord& next, QWidget* owner, preview::PreviewContent* content) {
    return PreparePreview(next, owner, content);
  };
  host.recover = [this](const ScanRecord& shown, QWidget* owner) { RecoverRecords({shown}, owner, true); };
  host.release = [this] { ClearPreview(); };
  CPreviewWnd window(language_, std::move(host), std::move(navigation), *previewed_, preview_content_,
                     !preview_->TemporaryPath().empty(), this);
  busy_ = true;
  emit PreviewWindowOpened(&window);
  window.exec();
  busy_ = false;
}

void MainWindow::ClearPreview() {
  if (pane_) pane_->Clear();
  previewed_.reset();
  preview_content_ = preview::PreviewContent();
  if (preview_) preview_->Clear();
}

// ---- image creation ----

void MainWindow::StartImageCreation() {
  QTreeWidgetItem* item = disk_list_->currentItem();
  const app::ScanSource* row = SourceOf(item);
  const bool disk_node = item && item->data(0, kKindRole).toInt() == kDiskItem;
  if ((!row && !disk_node) || (row && row->IsImage())) {
    Ask(BoxKind::kInformation, Msg("MSG0216"), language_, this);
    return;
  }
  int disk_number = 0;
  uint64_t start = 0;
  uint64_t count = 0;
  uint64_t bytes = 0;
  std::string device;
  QString suggestion;
  if (row) {
    const PartitionEntry& entry = *row->entry;
    disk_number = entry.disk;
    start = entry.start;
    count = entry.length;
    bytes = entry.length * entry.sector_size;
    device = entry.disk_path;
    suggestion = QString("%1 (%2, %3).img").arg(entry.number).arg(Q(entry.file_system_name))
                     .arg(Q(FormatSize(static_cast<int64_t>(entry.total))));
  } else {
    const app::DiskNode& disk = sources_.Disks()[item->data(0, kPointerRole).toULongLong()];
    disk_number = disk.number;
    device = disk.device_path;
    for (const auto& region : disk.rows) {
      bytes = std::max<uint64_t>(bytes, (region->entry->start + region->entry->length) * region->entry->sector_size);
    }
    suggestion = QString("Physical Disk %1.img").arg(disk.number + 1);
  }
  if (LacksPermission(device)) return ShowPrivilegeHint(row);

  QString destination;
  for (;;) {
    destination = chooser_(ChooseKind::kImageToWrite, suggestion);
    if (destination.isEmpty()) return;
    std::string refusal;
    if (CheckImageDestination(device, bytes, destination.toStdString(), true, &refusal) == kSuccess) break;
    Ask(BoxKind::kInformation, Q(refusal), language_, this);
  }

  ProgressWindow window("CreateImageProcessWnd.ui", "CreateImageWnd", "MSG0306", language_, this);
  struct Context {
    ProgressWindow* window;
    app::CancelToken* cancel;
    app::TextTable messages;
  };
  Context context{&window, &window.Token(), Messages()};
  ProgressUpdate first;
  first.texts["stage"] = Msg("MSG0302") + " " + destination;
  window.Apply(first);
  busy_ = true;
  emit ModalStarted(&window);
  const int result = window.Run([&context, disk_number, start, count, destination](app::WorkflowObserver&,
                                                                               app::CancelToken&) {
    DiskImageWriter writer;
    writer.unreadable = UnreadablePolicy::kZeroFill;
    writer.progress = [](void* raw, int percent, uint64_t done, uint64_t total, int32_t seconds) {
      auto* shared = static_cast<Context*>(raw);
      auto text = [](const app::TextTable& table, const char* key) { return app::Lookup(table, key); };
      ProgressUpdate update;
      update.percent = percent;
      update.texts["percent"] = Q(text(shared->messages, "MSG0301")) + QString(" %1%").arg(percent);
      update.texts["time"] = seconds < 0 ? Q(text(shared->messages, "MSG0304"))
                                         : Q(text(shared->messages, "MSG0305")) + " " + Q(FormatDuration(seconds));
      update.texts["sectors"] = QString("%1 %2 / %3").arg(Q(text(shared->messages, "MSG0303"))).arg(done).arg(total);
      shared->window->Post(update);
      return shared->cancel->Checkpoint() ? kCancelledByUser : 0;
    };
    const int copied = CreateDiskImage(&writer, disk_number, start, count, destination.toStdString(), &context);
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
    OpenScanPage(app::ScanMode::kDeep, false);
    LoadImage(destination);
  }
}

}  // namespace velmora::gui
