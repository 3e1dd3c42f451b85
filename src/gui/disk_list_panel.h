#pragma once

#include <QObject>
#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "app/language_settings.h"
#include "app/scan_source.h"

class QTreeWidget;
class QTreeWidgetItem;

namespace velmora::gui {

// The disk list of the scan page ("DiskList") with the disk information
// beside it. Items keep the indices of their disk, row or image in the source
// list, never addresses: a refresh replaces the sources under them.
class DiskListPanel : public QObject {
  Q_OBJECT
 public:
  DiskListPanel(QWidget* skin, QWidget* scan_page, app::SourceList& sources,
                app::LanguageSettings& language, QObject* parent);

  QTreeWidget* Tree() const { return tree_; }

  // Rebuilds the list from the sources, keeping the selected row selected.
  void Fill();
  // A fresh enumeration of the disks (rows keep their engines).
  void Refresh();
  // Adds an image file (or a partitioned image as a disk) and selects it.
  void LoadImage(const QString& path);

  // The source of a row item; null for anything else.
  app::ScanSource* SourceOf(const QTreeWidgetItem* item) const;
  // A row's source, or every row of a disk node, in list order.
  std::vector<app::ScanSource*> SourcesOf(const QTreeWidgetItem* item) const;
  app::ScanSource* CurrentSource() const;
  std::vector<app::ScanSource*> CurrentSources() const;
  // The disk node selected (not one of its rows); null otherwise.
  const app::DiskNode* CurrentDisk() const;

  // Image-creation mode hides the image files: an image cannot be imaged.
  void SetImageMode(bool on);
  // Selects the first row of a removable disk, else the first row shown.
  void SelectDefaultRow();
  // Disk titles and the information labels in the current language.
  void Retranslate();

 signals:
  // A row was double-clicked outside image-creation mode.
  void ScanRequested();

 private:
  // What a row stands for, to find it again after a refresh.
  struct Identity {
    bool image = false;
    std::string path;
    uint64_t start = 0;
    uint64_t length = 0;
    bool operator==(const Identity&) const = default;
  };
  static Identity IdentityOf(const app::ScanSource& source);
  void FillKeeping(const std::optional<Identity>& selected);
  QString Msg(const char* key) const;
  QString DiskTitle(const app::DiskNode& disk) const;
  QTreeWidgetItem* ImageNode(bool create);
  QTreeWidgetItem* AddImageRow(size_t index);
  void ShowDiskInfo(const QTreeWidgetItem* item);

  QWidget* skin_;
  QWidget* scan_page_;
  app::SourceList& sources_;
  app::LanguageSettings& language_;
  QTreeWidget* tree_ = nullptr;
  bool image_mode_ = false;
};

}  // namespace velmora::gui
