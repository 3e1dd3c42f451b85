#pragma once

#include <QObject>

#include "app/language_settings.h"
#include "app/scan_source.h"

class QLabel;
class QStackedWidget;
class QWidget;

namespace velmora::gui {

class DiskListPanel;
class ResultsPanel;

// The pages of the main window and the ways between them: the mode buttons
// of the home page (with their guide texts), the tab bar, Prev and Next, and
// the page texts. It keeps the chosen mode.
class Navigation : public QObject {
  Q_OBJECT
 public:
  enum Page { kHome = 0, kScanPage = 1, kTypePage = 2, kResultPage = 3 };

  Navigation(QWidget* skin, QStackedWidget* pages, app::LanguageSettings& language,
             DiskListPanel& disks, ResultsPanel& results, QObject* parent);

  Page CurrentPage() const;
  QWidget* PageWidget(Page page) const;
  QLabel* GuideText() const;

  void OpenPage(Page page);
  // The scan page in a mode; image-creation mode keeps the scan mode.
  void OpenScanPage(app::ScanMode mode, bool image_mode);
  void GoBack();
  void GoNext();
  void ApplyPageTexts();

  app::ScanMode Mode() const { return mode_; }
  bool ImageMode() const { return image_mode_; }
  // A scan starts: Prev on its results goes back to the page it started from.
  void NoteScanStarted() { from_type_page_ = CurrentPage() == kTypePage; }
  // The results come from a scan that was stopped before it read the whole source.
  void SetResultPartial(bool partial) {
    result_partial_ = partial;
    ApplyPageTexts();
  }

 signals:
  // Next on the scan page in image-creation mode.
  void ImageCreationRequested();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QString Msg(const char* key) const;

  QWidget* skin_;
  QStackedWidget* pages_;
  app::LanguageSettings& language_;
  DiskListPanel& disks_;
  ResultsPanel& results_;
  app::ScanMode mode_ = app::ScanMode::kDeep;
  bool image_mode_ = false;
  bool result_partial_ = false;
  bool from_type_page_ = false;
};

}  // namespace velmora::gui
