#include "gui/disk_list_panel.h"

#include <QFileInfo>
#include <QHeaderView>
#include <QLabel>
#include <QStyle>
#include <QTreeWidget>
#include <QTreeWidgetItemIterator>

#include "app/size_text.h"
#include "gui/skin.h"
#include "storage/disk_enumerator.h"
#include "storage/error_codes.h"
#include "storage/source_locator.h"

namespace velmora::gui {
namespace {

// What an item stands for, and where in the source list it is.
constexpr int kKindRole = Qt::UserRole + 1;
constexpr int kDiskRole = Qt::UserRole + 2;   // disk node index (disk nodes and their rows)
constexpr int kIndexRole = Qt::UserRole + 3;  // row index in its disk, or image index
enum ItemKind { kDiskItem = 1, kRowItem = 2, kImageNodeItem = 3, kImageItem = 4 };

int KindOf(const QTreeWidgetItem* item) { return item ? item->data(0, kKindRole).toInt() : 0; }

}  // namespace

DiskListPanel::DiskListPanel(QWidget* skin, QWidget* scan_page, app::SourceList& sources,
                             app::LanguageSettings& language, QObject* parent)
    : QObject(parent), skin_(skin), scan_page_(scan_page), sources_(sources), language_(language) {
  tree_ = Control<QTreeWidget>(skin_, "DiskList");
  tree_->setHeaderLabels({"Name", "File system", "Size"});
  tree_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  tree_->header()->setStretchLastSection(false);
  connect(tree_, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { ShowDiskInfo(item); });
  connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
    if (SourceOf(item) && !image_mode_) emit ScanRequested();
  });
}

QString DiskListPanel::Msg(const char* key) const {
  return Q(app::Lookup(language_.Section("Messages"), key));
}

DiskListPanel::Identity DiskListPanel::IdentityOf(const app::ScanSource& source) {
  if (source.IsImage()) return {true, source.image_path, 0, 0};
  return {false, source.entry->disk_path, source.entry->start, source.entry->length};
}

void DiskListPanel::Refresh() {
  std::optional<Identity> selected;
  if (const app::ScanSource* source = CurrentSource()) selected = IdentityOf(*source);
  DiskEnumerator enumerator;
  enumerator.Refresh();
  sources_.SetDisks(enumerator);
  FillKeeping(selected);
}

void DiskListPanel::Fill() {
  std::optional<Identity> selected;
  if (const app::ScanSource* source = CurrentSource()) selected = IdentityOf(*source);
  FillKeeping(selected);
}

// A loaded image is named by its file: its drive number only keys it and means nothing to a person.
QString DiskListPanel::DiskTitle(const app::DiskNode& disk) const {
  const QString kind = Msg(disk.removable ? "MSG0202" : "MSG0201");
  if (disk.number >= kFirstImageDriveNumber) {
    return QString("%1 %2").arg(kind, QFileInfo(Q(disk.device_path)).fileName());
  }
  return QString("%1 %2").arg(kind).arg(disk.number + 1);
}

void DiskListPanel::FillKeeping(const std::optional<Identity>& selected) {
  tree_->clear();
  QTreeWidgetItem* reselect = nullptr;
  const QIcon disk_icon = tree_->style()->standardIcon(QStyle::SP_DriveHDIcon);
  const QIcon removable_icon = tree_->style()->standardIcon(QStyle::SP_DriveFDIcon);
  const QIcon volume_icon = tree_->style()->standardIcon(QStyle::SP_DirIcon);
  for (size_t i = 0; i < sources_.Disks().size(); ++i) {
    const app::DiskNode& disk = sources_.Disks()[i];
    auto* node = new QTreeWidgetItem(tree_);
    node->setData(0, kKindRole, kDiskItem);
    node->setData(0, kDiskRole, static_cast<qulonglong>(i));
    node->setIcon(0, disk.removable ? removable_icon : disk_icon);
    node->setText(0, DiskTitle(disk));
    node->setToolTip(0, Q(disk.device_path));
    for (size_t r = 0; r < disk.rows.size(); ++r) {
      const PartitionEntry& entry = *disk.rows[r]->entry;
      auto* item = new QTreeWidgetItem(node);
      item->setData(0, kKindRole, kRowItem);
      item->setData(0, kDiskRole, static_cast<qulonglong>(i));
      item->setData(0, kIndexRole, static_cast<qulonglong>(r));
      QString name = Q(entry.volume_label);
      if (name.isEmpty())
        name = Q(entry.volume_path.empty() ? RegionKindName(entry.kind) : entry.volume_path);
      item->setText(0, QString("%1: %2").arg(entry.number).arg(name));
      item->setText(1, Q(entry.file_system_name));
      item->setText(2, Q(app::FormatSize(static_cast<int64_t>(entry.total))));
      item->setIcon(0, volume_icon);
      if (selected && IdentityOf(*disk.rows[r]) == *selected) reselect = item;
    }
    node->setExpanded(true);
  }
  for (size_t i = 0; i < sources_.Images().size(); ++i) {
    QTreeWidgetItem* item = AddImageRow(i);
    if (selected && IdentityOf(*sources_.Images()[i]) == *selected) reselect = item;
  }
  if (QTreeWidgetItem* images = ImageNode(false)) images->setHidden(image_mode_);
  if (reselect) tree_->setCurrentItem(reselect);
}

QTreeWidgetItem* DiskListPanel::ImageNode(bool create) {
  for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = tree_->topLevelItem(i);
    if (KindOf(item) == kImageNodeItem) return item;
  }
  if (!create) return nullptr;
  auto* node = new QTreeWidgetItem(tree_, {"Image File"});
  node->setData(0, kKindRole, kImageNodeItem);
  node->setData(0, kNameRole, "ImageFile");
  node->setIcon(0, tree_->style()->standardIcon(QStyle::SP_DirOpenIcon));
  node->setExpanded(true);
  return node;
}

QTreeWidgetItem* DiskListPanel::AddImageRow(size_t index) {
  const app::ScanSource& source = *sources_.Images()[index];
  auto* item = new QTreeWidgetItem(ImageNode(true));
  item->setData(0, kKindRole, kImageItem);
  item->setData(0, kIndexRole, static_cast<qulonglong>(index));
  item->setText(0, Q(source.ShortName()));
  item->setText(2, Q(app::FormatSize(QFileInfo(Q(source.image_path)).size())));
  item->setIcon(0, tree_->style()->standardIcon(QStyle::SP_FileIcon));
  item->setToolTip(0, Q(source.image_path));
  return item;
}

void DiskListPanel::LoadImage(const QString& path) {
  // An image of a whole disk shows as a disk with its partitions; loaded again, its node is
  // selected.
  std::string not_partitioned;
  if (sources_.AddPartitionedImage(path.toStdString(), &not_partitioned) == kSuccess) {
    Fill();
    const QString absolute = QFileInfo(path).canonicalFilePath();
    QTreeWidgetItem* disk = nullptr;
    for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
      QTreeWidgetItem* node = tree_->topLevelItem(i);
      if (KindOf(node) != kDiskItem) continue;
      const size_t index = node->data(0, kDiskRole).toULongLong();
      if (index < sources_.Disks().size() && Q(sources_.Disks()[index].device_path) == absolute) {
        disk = node;
      }
    }
    if (disk) tree_->setCurrentItem(disk->childCount() > 0 ? disk->child(0) : disk);
    return;
  }
  // An image listed already keeps its one row.
  const app::ScanSource& source = sources_.AddImage(path.toStdString());
  QTreeWidgetItem* item = nullptr;
  for (QTreeWidgetItemIterator it(tree_); *it && !item; ++it) {
    if (SourceOf(*it) == &source) item = *it;
  }
  if (!item) {
    for (size_t i = 0; i < sources_.Images().size(); ++i) {
      if (sources_.Images()[i].get() == &source) item = AddImageRow(i);
    }
  }
  ImageNode(false)->setExpanded(true);
  if (item) tree_->setCurrentItem(item);
}

app::ScanSource* DiskListPanel::SourceOf(const QTreeWidgetItem* item) const {
  const int kind = KindOf(item);
  if (kind != kRowItem && kind != kImageItem) return nullptr;
  const size_t index = item->data(0, kIndexRole).toULongLong();
  if (kind == kImageItem)
    return index < sources_.Images().size() ? sources_.Images()[index].get() : nullptr;
  const size_t disk = item->data(0, kDiskRole).toULongLong();
  if (disk >= sources_.Disks().size() || index >= sources_.Disks()[disk].rows.size())
    return nullptr;
  return sources_.Disks()[disk].rows[index].get();
}

std::vector<app::ScanSource*> DiskListPanel::SourcesOf(const QTreeWidgetItem* item) const {
  if (!item) return {};
  if (app::ScanSource* source = SourceOf(item)) return {source};
  std::vector<app::ScanSource*> sources;
  for (int i = 0; i < item->childCount(); ++i) {
    if (app::ScanSource* source = SourceOf(item->child(i))) sources.push_back(source);
  }
  return sources;
}

app::ScanSource* DiskListPanel::CurrentSource() const { return SourceOf(tree_->currentItem()); }

std::vector<app::ScanSource*> DiskListPanel::CurrentSources() const {
  return SourcesOf(tree_->currentItem());
}

const app::DiskNode* DiskListPanel::CurrentDisk() const {
  const QTreeWidgetItem* item = tree_->currentItem();
  if (KindOf(item) != kDiskItem) return nullptr;
  const size_t index = item->data(0, kDiskRole).toULongLong();
  return index < sources_.Disks().size() ? &sources_.Disks()[index] : nullptr;
}

void DiskListPanel::SetImageMode(bool on) {
  image_mode_ = on;
  if (QTreeWidgetItem* images = ImageNode(false)) images->setHidden(on);
}

void DiskListPanel::SelectDefaultRow() {
  if (CurrentSource()) return;
  QTreeWidgetItem* first = nullptr;
  for (QTreeWidgetItemIterator it(tree_); *it; ++it) {
    app::ScanSource* source = SourceOf(*it);
    if (!source || (*it)->isHidden() || ((*it)->parent() && (*it)->parent()->isHidden())) continue;
    if (!first) first = *it;
    if (!source->IsImage() && source->entry->removable) {
      first = *it;
      break;
    }
  }
  if (first) tree_->setCurrentItem(first);
}

void DiskListPanel::Retranslate() {
  for (int i = 0; i < tree_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = tree_->topLevelItem(i);
    if (KindOf(item) != kDiskItem) continue;
    const size_t index = item->data(0, kDiskRole).toULongLong();
    if (index < sources_.Disks().size()) item->setText(0, DiskTitle(sources_.Disks()[index]));
  }
  ShowDiskInfo(tree_->currentItem());
}

void DiskListPanel::ShowDiskInfo(const QTreeWidgetItem* item) {
  QLabel* labels[6];
  for (int i = 0; i < 6; ++i) {
    labels[i] = Control<QLabel>(scan_page_, QString("Label%1").arg(i + 1).toLatin1().constData());
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
    labels[1]->setText(Msg("MSG0210") + " " +
                       Q(app::FormatSize(QFileInfo(Q(source->image_path)).size())));
    for (int i = 2; i < 5; ++i) labels[i]->setVisible(false);
    return;
  }
  const PartitionEntry& entry = *source->entry;
  labels[0]->setText(QString("%1 %2").arg(Msg("MSG0203")).arg(entry.number));
  labels[1]->setText(entry.volume_label.empty() ? Msg("MSG0204")
                                                : Msg("MSG0204") + " " + Q(entry.volume_label));
  labels[2]->setText(Msg("MSG0205") + " " + Q(entry.file_system_name));
  labels[3]->setText(Msg("MSG0206") + " " + Q(app::FormatSize(static_cast<int64_t>(entry.total))));
  labels[4]->setText(Msg("MSG0207") + " " + Q(app::FormatSize(static_cast<int64_t>(entry.used))));
  labels[5]->setText(Msg("MSG0208") + " " + Q(app::FormatSize(static_cast<int64_t>(entry.free))));
}

}  // namespace velmora::gui
