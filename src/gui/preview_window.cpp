#include "gui/preview_window.h"

#include <QAbstractButton>
#include <QLabel>
#include <QVBoxLayout>

#include "engine/record_text.h"
#include "gui/preview_pane.h"
#include "gui/skin.h"
#include "preview/photo_navigation.h"

namespace velmora::gui {

CPreviewProcessWnd::CPreviewProcessWnd(const ScanRecord& record, app::LanguageSettings& language,
                                       QWidget* owner)
    : ProgressWindow("PreviewProcessWnd.ui", "PreviewProcessWnd", preview::kMsgCancelQuestion,
                     language, owner),
      record_(record) {
  const app::TextTable& messages = language.Section("Messages");
  const QString title = QString("%1 %2").arg(Q(app::Lookup(messages, preview::kMsgPreviewTitle)),
                                             Q(std::string(RecordName(record))));
  Control<QLabel>(Skin(), "title")->setText(title);
  setWindowTitle(title);
  ProgressUpdate start;
  start.percent = 0;
  start.texts["percent"] = QString("%1 0%").arg(Q(app::Lookup(messages, preview::kMsgPreparing)));
  Apply(start);
  resize(450, 250);
}

int CPreviewProcessWnd::Prepare(preview::PreviewSession& session, IFileRecoveryParse* engine,
                                preview::PreviewContent* content) {
  const QString preparing = Q(app::Lookup(language_.Section("Messages"), preview::kMsgPreparing));
  const ScanRecord record = record_;
  preview::PreviewContent prepared;
  const int result = Run([&, this](app::WorkflowObserver&, app::CancelToken& cancel) {
    const int rc = session.Prepare(engine, record, [&, this](int percent) {
      // Held here while the cancel question is open.
      if (cancel.Checkpoint()) return false;
      ProgressUpdate update;
      update.percent = percent;
      update.texts["percent"] = QString("%1 %2%").arg(preparing).arg(percent);
      Post(update);
      return true;
    });
    if (rc == preview::kPreparationCancelled) return app::RunResult::kCancelled;
    prepared = session.Show();
    // Stopped after the copy was made: nothing of it stays.
    if (cancel.Cancelled()) {
      session.Clear();
      return app::RunResult::kCancelled;
    }
    return app::RunResult::kFinished;
  });
  if (result == preview::kPreparationFinished) *content = std::move(prepared);
  return result;
}

CPreviewWnd::CPreviewWnd(app::LanguageSettings& language, Host host, ScanRecordList navigation,
                         const ScanRecord& current, const preview::PreviewContent& content,
                         bool from_file, QWidget* owner)
    : QDialog(owner),
      language_(language),
      host_(std::move(host)),
      navigation_(std::move(navigation)),
      current_(current) {
  setModal(true);
  skin_ = LoadSkin("PreviewWnd.ui", this);
  if (!skin_) qFatal("the preview window skin cannot be loaded");
  setObjectName(skin_->objectName());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(skin_);
  setStyleSheet(SkinStyleSheet());
  ApplyTexts(skin_, language.Section("PreviewWnd"));
  resize(600, 500);
  pane_ = new PreviewPane(skin_, language);

  if (!from_file) {
    Control<QWidget>(skin_, "PrevBar")->hide();
    Control<QWidget>(skin_, "NextBar")->hide();
  }
  connect(Control<QAbstractButton>(skin_, "PrevBtn"), &QAbstractButton::clicked, this,
          [this] { Step(false); });
  connect(Control<QAbstractButton>(skin_, "NextBtn"), &QAbstractButton::clicked, this,
          [this] { Step(true); });
  connect(Control<QAbstractButton>(skin_, "RecoveryBtn"), &QAbstractButton::clicked, this,
          [this] { host_.recover(current_, this); });
  for (const char* name : {"CancelBtn", "closebtn"}) {
    connect(Control<QAbstractButton>(skin_, name), &QAbstractButton::clicked, this,
            [this] { done(2); });
  }
  ShowContent(content);
}

CPreviewWnd::~CPreviewWnd() {
  pane_->StopMedia();
  if (host_.release) host_.release();
}

void CPreviewWnd::ShowContent(const preview::PreviewContent& content) {
  const QString name = Q(std::string(RecordName(current_)));
  const QString title = QString("%1 %2").arg(
      Q(app::Lookup(language_.Section("Messages"), preview::kMsgPreviewTitle)), name);
  Control<QLabel>(skin_, "title")->setText(title);
  setWindowTitle(title);
  pane_->Show(content);
}

bool CPreviewWnd::Step(bool forward) {
  const std::optional<size_t> next = preview::AdjacentPhoto(navigation_, current_, forward);
  if (!next) return false;
  // The player lets go of the file before the next preparation replaces it.
  pane_->StopMedia();
  const ScanRecord record = navigation_[*next];
  preview::PreviewContent content;
  if (host_.prepare(record, this, &content) != preview::kPreparationFinished) {
    pane_->Clear();
    return false;
  }
  current_ = record;
  ShowContent(content);
  return true;
}

}  // namespace velmora::gui
