#include "gui/results_panel.h"

#include <QCheckBox>
#include <QHeaderView>
#include <QLabel>
#include <QSplitter>
#include <QStyle>
#include <QTreeWidget>

#include "gui/skin.h"

namespace velmora::gui {
namespace {

// Where a type-tree item's node is in the tree the panel keeps.
constexpr int kCategoryRole = Qt::UserRole + 1;
constexpr int kChildRole = Qt::UserRole + 2;

// File-list rows sort by the records they show, not only by their texts.
class FileRow : public QTreeWidgetItem {
 public:
  explicit FileRow(const ScanRecord& record) : record_(record) {
    for (int column = 1; column <= static_cast<int>(app::FileColumn::kEntry); ++column) {
      setText(column, Q(app::ColumnText(record, static_cast<app::FileColumn>(column))));
    }
    setFlags(flags() | Qt::ItemIsUserCheckable);
  }
  const ScanRecord& Record() const { return record_; }
  bool operator<(const QTreeWidgetItem& other) const override {
    const int column = treeWidget() ? treeWidget()->sortColumn() : 1;
    return app::RowLess(record_, static_cast<const FileRow&>(other).Record(),
                        static_cast<app::FileColumn>(column));
  }

 private:
  ScanRecord record_;
};

Qt::CheckState CheckOf(app::TickState state) {
  switch (state) {
    case app::TickState::kAll: return Qt::Checked;
    case app::TickState::kSome: return Qt::PartiallyChecked;
    default: return Qt::Unchecked;
  }
}

}  // namespace

ResultsPanel::ResultsPanel(QWidget* skin, app::LanguageSettings& language, QObject* parent)
    : QObject(parent), skin_(skin), language_(language) {
  type_tree_ = Control<QTreeWidget>(skin_, "TypeTree");
  file_list_ = Control<QTreeWidget>(skin_, "FileList");
  all_rows_ = Control<QCheckBox>(skin_, "ChkAllListSel");
  show_existing_ = Control<QCheckBox>(skin_, "ChkShowExisting");
  selection_info_ = Control<QLabel>(skin_, "SelectedFileInfo");
  selection_info_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  Control<QWidget>(skin_, "BtnRecover")->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);

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

  connect(type_tree_, &QTreeWidget::currentItemChanged, this,
          [this](QTreeWidgetItem* item) { FillFileList(item); });
  connect(type_tree_, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int) {
    // Texts change too (the skin's pass names the category nodes): only a box
    // that differs from the ticked set is the user's click.
    if (updating_ || item->checkState(0) == StateOfNode(item)) return;
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
  // Queued: the preview's preparation window is modal and must not run
  // inside the list's own selection handling.
  connect(file_list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (updating_ || !item) return;
    QMetaObject::invokeMethod(
        this,
        [this, item] {
          if (file_list_->currentItem() == item)
            emit RowChosen(static_cast<FileRow*>(item)->Record());
        },
        Qt::QueuedConnection);
  });
  connect(file_list_, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) {
    QMetaObject::invokeMethod(
        this,
        [this, item] {
          if (file_list_->currentItem() == item)
            emit RowOpened(static_cast<FileRow*>(item)->Record());
        },
        Qt::QueuedConnection);
  });
}

ScanRecordList* ResultsPanel::BeginResults() {
  ticked_.Clear();
  results_.clear();
  return &results_;
}

void ResultsPanel::Load(const app::TypeChoices& choices) {
  file_list_->clear();
  shown_node_ = nullptr;
  groups_ = app::GroupByExtension(results_);
  shown_choices_ = choices;
  tree_ = app::BuildTypeTree(groups_, shown_choices_, Messages());
  FillTypeTree();
  RefreshTicks();
}

void ResultsPanel::Retranslate() {
  if (!tree_.empty()) {
    // The same groups and choices give the same nodes in the same places, so
    // the items' indices stay right and only their texts change.
    tree_ = app::BuildTypeTree(groups_, shown_choices_, Messages());
    updating_ = true;
    for (int i = 0; i < type_tree_->topLevelItemCount() && i < static_cast<int>(tree_.size());
         ++i) {
      QTreeWidgetItem* category = type_tree_->topLevelItem(i);
      const app::CategoryNode& node = tree_[static_cast<size_t>(i)];
      category->setText(0, Q(node.text));
      for (int j = 0; j < category->childCount() && j < static_cast<int>(node.children.size());
           ++j) {
        category->child(j)->setText(0, Q(node.children[static_cast<size_t>(j)].text));
      }
    }
    updating_ = false;
  }
  RefreshTicks();
}

ScanRecordList ResultsPanel::ShownFiles() const {
  ScanRecordList files;
  for (int i = 0; i < file_list_->topLevelItemCount(); ++i) {
    const ScanRecord& row = static_cast<FileRow*>(file_list_->topLevelItem(i))->Record();
    if (!row.is_directory) files.push_back(row);
  }
  return files;
}

void ResultsPanel::FillTypeTree() {
  updating_ = true;
  type_tree_->clear();
  const QIcon folder = type_tree_->style()->standardIcon(QStyle::SP_DirIcon);
  const QIcon file = type_tree_->style()->standardIcon(QStyle::SP_FileIcon);
  for (size_t i = 0; i < tree_.size(); ++i) {
    auto* node = new QTreeWidgetItem(type_tree_, {Q(tree_[i].text)});
    node->setData(0, kNameRole, Q(tree_[i].name));
    node->setData(0, kCategoryRole, static_cast<qulonglong>(i));
    node->setFlags(node->flags() | Qt::ItemIsUserCheckable);
    node->setCheckState(0, Qt::Unchecked);
    node->setIcon(0, folder);
    for (size_t j = 0; j < tree_[i].children.size(); ++j) {
      auto* child = new QTreeWidgetItem(node, {Q(tree_[i].children[j].text)});
      child->setData(0, kNameRole, "filetype");
      child->setData(0, kCategoryRole, static_cast<qulonglong>(i));
      child->setData(0, kChildRole, static_cast<qulonglong>(j));
      child->setFlags(child->flags() | Qt::ItemIsUserCheckable);
      child->setCheckState(0, Qt::Unchecked);
      child->setIcon(0, file);
    }
    node->setExpanded(!tree_[i].children.empty());
  }
  updating_ = false;
}

const ScanRecordList* ResultsPanel::RecordsOfNode(const QTreeWidgetItem* node) const {
  if (!node || node->data(0, kNameRole).toString() != "filetype") return nullptr;
  const size_t category = node->data(0, kCategoryRole).toULongLong();
  const size_t child = node->data(0, kChildRole).toULongLong();
  if (category >= tree_.size() || child >= tree_[category].children.size()) return nullptr;
  return tree_[category].children[child].records;
}

void ResultsPanel::FillFileList(QTreeWidgetItem* node) {
  const ScanRecordList* records = RecordsOfNode(node);
  if (!records) return;
  shown_node_ = node;
  updating_ = true;
  file_list_->clear();
  const QIcon icon = node->icon(0);
  QList<QTreeWidgetItem*> rows;
  rows.reserve(static_cast<int>(records->size()));
  for (const ScanRecord& record : *records) {
    auto* row = new FileRow(record);
    row->setCheckState(0, ticked_.Contains(record) ? Qt::Checked : Qt::Unchecked);
    row->setIcon(1, icon);
    rows.push_back(row);
  }
  file_list_->addTopLevelItems(rows);
  file_list_->header()->setSortIndicatorShown(false);
  updating_ = false;
  RefreshTicks();
}

void ResultsPanel::TickNode(QTreeWidgetItem* node, bool tick) {
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

Qt::CheckState ResultsPanel::StateOfNode(const QTreeWidgetItem* node) const {
  if (const ScanRecordList* records = RecordsOfNode(node))
    return CheckOf(ticked_.StateOf(*records));
  int all = 0;
  int none = 0;
  for (int j = 0; j < node->childCount(); ++j) {
    const ScanRecordList* records = RecordsOfNode(node->child(j));
    const app::TickState state = records ? ticked_.StateOf(*records) : app::TickState::kNone;
    all += state == app::TickState::kAll;
    none += state == app::TickState::kNone;
  }
  const int count = node->childCount();
  return count > 0 && all == count ? Qt::Checked
         : none == count           ? Qt::Unchecked
                                   : Qt::PartiallyChecked;
}

void ResultsPanel::RefreshTicks() {
  updating_ = true;
  for (int i = 0; i < type_tree_->topLevelItemCount(); ++i) {
    QTreeWidgetItem* category = type_tree_->topLevelItem(i);
    for (int j = 0; j < category->childCount(); ++j)
      category->child(j)->setCheckState(0, StateOfNode(category->child(j)));
    category->setCheckState(0, StateOfNode(category));
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
  emit TicksChanged();
}

void ResultsPanel::SortFileList(int column) {
  if (column <= 0) return;  // the check-box column does not sort
  const auto which = static_cast<app::FileColumn>(column);
  auto found = sort_ascending_.find(column);
  const bool ascending =
      found == sort_ascending_.end() ? app::FirstSortAscending(which) : !found->second;
  sort_ascending_[column] = ascending;
  const Qt::SortOrder order = ascending ? Qt::AscendingOrder : Qt::DescendingOrder;
  // The rows compare through the header's sort column, so it is set first.
  file_list_->header()->setSortIndicatorShown(true);
  file_list_->header()->setSortIndicator(column, order);
  file_list_->sortItems(column, order);
}

}  // namespace velmora::gui
