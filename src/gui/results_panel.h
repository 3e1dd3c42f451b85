#pragma once

#include <QObject>
#include <map>
#include <vector>

#include "app/language_settings.h"
#include "app/result_browsing.h"
#include "engine/scan_record.h"

class QCheckBox;
class QLabel;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

namespace velmora::gui {

// The results page: the type tree ("TypeTree") over the extension groups, the
// file list of the chosen group ("FileList"), the box over the list
// ("ChkAllListSel") and the selection summary. It owns the found records,
// their groups and the ticked set. Tree items keep the indices of their node
// and rows a copy of their record, never an address into the results.
class ResultsPanel : public QObject {
  Q_OBJECT
 public:
  ResultsPanel(QWidget* skin, app::LanguageSettings& language, QObject* parent);

  QTreeWidget* TypeTree() const { return type_tree_; }
  QTreeWidget* FileList() const { return file_list_; }
  QCheckBox* AllRowsBox() const { return all_rows_; }
  QCheckBox* ShowExistingBox() const { return show_existing_; }
  QLabel* SelectionInfo() const { return selection_info_; }
  const app::TickedSet& Ticked() const { return ticked_; }
  bool HasResults() const { return !tree_.empty(); }

  // Empties the ticked set and the records before a search; the search
  // appends to the list returned.
  ScanRecordList* BeginResults();
  // Groups the records and shows the groups `choices` lets through.
  void Load(const app::TypeChoices& choices);
  // The texts of the tree and the summary in the current language.
  void Retranslate();
  // The file records behind the list's rows, in row order (no folders).
  ScanRecordList ShownFiles() const;

 signals:
  // The ticked set changed (the page texts count it).
  void TicksChanged();
  // A row became the current one, or was activated (double click, Enter).
  void RowChosen(const ScanRecord& record);
  void RowOpened(const ScanRecord& record);

 private:
  app::TextTable& Messages() const { return language_.Section("Messages"); }
  void FillTypeTree();
  void FillFileList(QTreeWidgetItem* node);
  const ScanRecordList* RecordsOfNode(const QTreeWidgetItem* node) const;
  // The box a type-tree node shows for the ticked set.
  Qt::CheckState StateOfNode(const QTreeWidgetItem* node) const;
  void TickNode(QTreeWidgetItem* node, bool tick);
  void RefreshTicks();
  void SortFileList(int column);

  QWidget* skin_;
  app::LanguageSettings& language_;
  QTreeWidget* type_tree_ = nullptr;
  QTreeWidget* file_list_ = nullptr;
  QCheckBox* all_rows_ = nullptr;
  QCheckBox* show_existing_ = nullptr;
  QLabel* selection_info_ = nullptr;
  bool updating_ = false;

  ScanRecordList results_;
  app::ExtensionGroups groups_;
  // The choices the tree was built with: a new language rebuilds the same tree.
  app::TypeChoices shown_choices_;
  std::vector<app::CategoryNode> tree_;
  app::TickedSet ticked_;
  QTreeWidgetItem* shown_node_ = nullptr;
  std::map<int, bool> sort_ascending_;
};

}  // namespace velmora::gui
