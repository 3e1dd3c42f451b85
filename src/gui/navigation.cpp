#include "gui/navigation.h"

#include <QAbstractButton>
#include <QEvent>
#include <QLabel>
#include <QStackedWidget>

#include "app/message_text.h"
#include "gui/disk_list_panel.h"
#include "gui/message_box.h"
#include "gui/results_panel.h"
#include "gui/skin.h"

namespace velmora::gui {
namespace {

constexpr const char* kModeButtons[] = {"BtnDeletedRecovery", "BtnFormattedRecovery",
                                        "BtnDeepRecovery", "BtnCreateImageMode"};
constexpr const char* kGuideKeys[] = {"MSG0101", "MSG0102", "MSG0103", "MSG0104"};

}  // namespace

Navigation::Navigation(QWidget* skin, QStackedWidget* pages, app::LanguageSettings& language,
                       DiskListPanel& disks, ResultsPanel& results, QObject* parent)
    : QObject(parent),
      skin_(skin),
      pages_(pages),
      language_(language),
      disks_(disks),
      results_(results) {
  auto on_click = [this](const char* name, auto handler) {
    connect(Control<QAbstractButton>(skin_, name), &QAbstractButton::clicked, this, handler);
  };
  on_click("BtnDeletedRecovery", [this] { OpenScanPage(app::ScanMode::kQuick, false); });
  on_click("BtnFormattedRecovery", [this] { OpenScanPage(app::ScanMode::kDeep, false); });
  on_click("BtnDeepRecovery", [this] { OpenScanPage(app::ScanMode::kDeep, false); });
  on_click("BtnCreateImageMode", [this] { OpenScanPage(mode_, true); });
  for (const char* name : kModeButtons) Control<QWidget>(skin_, name)->installEventFilter(this);
  on_click("BtnAdvanceScan", [this] { OpenPage(kTypePage); });
  on_click("BtnPrev", [this] { GoBack(); });
  on_click("BtnNext", [this] { GoNext(); });
  on_click("TabScan", [this] { OpenPage(kScanPage); });
  on_click("TabFileType", [this] { OpenPage(kTypePage); });
  on_click("TabRecover", [this] { OpenPage(kResultPage); });
  connect(&results_, &ResultsPanel::TicksChanged, this, [this] { ApplyPageTexts(); });
}

QString Navigation::Msg(const char* key) const {
  return Q(app::Lookup(language_.Section("Messages"), key));
}

QWidget* Navigation::PageWidget(Page page) const { return pages_->widget(page); }
Navigation::Page Navigation::CurrentPage() const {
  return static_cast<Page>(pages_->currentIndex());
}
QLabel* Navigation::GuideText() const { return Control<QLabel>(skin_, "TxtMainInfo"); }

bool Navigation::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Enter) {
    for (int i = 0; i < 4; ++i) {
      if (watched->objectName() == kModeButtons[i]) GuideText()->setText(Msg(kGuideKeys[i]));
    }
  }
  return QObject::eventFilter(watched, event);
}

void Navigation::OpenPage(Page page) {
  pages_->setCurrentIndex(page);
  Control<QWidget>(skin_, "TabBar")->setVisible(page != kHome);
  Control<QAbstractButton>(skin_, "TabScan")->setChecked(page == kScanPage);
  Control<QAbstractButton>(skin_, "TabFileType")->setChecked(page == kTypePage);
  Control<QAbstractButton>(skin_, "TabRecover")->setChecked(page == kResultPage);
  Control<QWidget>(skin_, "TabRecover")->setEnabled(results_.HasResults());
  Control<QWidget>(skin_, "BtnPrev")->setVisible(page != kHome);
  Control<QWidget>(skin_, "BtnNext")->setVisible(page != kResultPage);
  Control<QWidget>(skin_, "BtnScan")
      ->setVisible(!image_mode_ && (page == kScanPage || page == kTypePage));
  Control<QWidget>(skin_, "BtnCreateImage")->setVisible(image_mode_ && page == kScanPage);
  Control<QWidget>(skin_, "TabFileType")->setVisible(!image_mode_);
  ApplyPageTexts();
}

void Navigation::OpenScanPage(app::ScanMode mode, bool image_mode) {
  mode_ = mode;
  image_mode_ = image_mode;
  disks_.SetImageMode(image_mode_);
  OpenPage(kScanPage);
  disks_.SelectDefaultRow();
}

void Navigation::GoBack() {
  switch (CurrentPage()) {
    case kResultPage: OpenPage(from_type_page_ ? kTypePage : kScanPage); break;
    case kTypePage: OpenPage(kScanPage); break;
    case kScanPage: OpenPage(kHome); break;
    default: break;
  }
}

void Navigation::GoNext() {
  switch (CurrentPage()) {
    case kHome:
      OpenPage(kScanPage);
      disks_.SelectDefaultRow();
      break;
    case kScanPage:
      if (!disks_.CurrentSources().empty()) {
        if (image_mode_) {
          emit ImageCreationRequested();
        } else {
          OpenPage(kTypePage);
        }
      } else {
        Ask(BoxKind::kInformation, "Please select disk media for next step!", language_,
            skin_->window());
      }
      break;
    case kTypePage:
      if (results_.HasResults()) OpenPage(kResultPage);
      break;
    default: break;
  }
}

void Navigation::ApplyPageTexts() {
  QWidget* scan_page = PageWidget(kScanPage);
  Control<QLabel>(scan_page, "Txt1")->setText(Msg(image_mode_ ? "MSG0212" : "MSG0501"));
  Control<QLabel>(scan_page, "Txt2")->setText(Msg(image_mode_ ? "MSG0213" : "MSG0502"));
  Control<QAbstractButton>(skin_, "TabScan")->setText(Msg(image_mode_ ? "MSG0211" : "MSG0503"));
  QWidget* type_page = PageWidget(kTypePage);
  Control<QLabel>(type_page, "Txt1")->setText(Msg("MSG0601"));
  Control<QLabel>(type_page, "Txt2")->setText(Msg("MSG0602"));
  QWidget* result_page = PageWidget(kResultPage);
  Control<QLabel>(result_page, "Txt1")
      ->setText(Msg(result_partial_ ? app::msg::kScanPartial : "MSG0801"));
  Control<QLabel>(result_page, "Txt2")
      ->setText(Q(app::FormatText(app::Lookup(language_.Section("Messages"), "MSG0802"),
                                  {std::to_string(results_.Ticked().Count())})));
}

}  // namespace velmora::gui
