#include "gui/preview_controller.h"

#include "engine/scan_index.h"
#include "gui/preview_pane.h"
#include "gui/preview_window.h"

namespace velmora::gui {

PreviewController::PreviewController(QWidget* result_page, QWidget* owner, app::SourceList& sources,
                                     app::LanguageSettings& language, bool& busy, Recover recover)
    : QObject(owner),
      owner_(owner),
      sources_(sources),
      language_(language),
      busy_(busy),
      recover_(std::move(recover)),
      session_(std::make_unique<preview::PreviewSession>(ScanLogDirectory())) {
  pane_ = new PreviewPane(result_page, language_);
}

PreviewController::~PreviewController() { Clear(); }

int PreviewController::Prepare(const ScanRecord& record, QWidget* owner,
                               preview::PreviewContent* content) {
  CPreviewProcessWnd window(record, language_, owner);
  const bool was_busy = busy_;
  busy_ = true;
  emit PreviewPreparing(&window);
  const int result = window.Prepare(*session_, sources_.EngineFor(record), content);
  busy_ = was_busy;
  return result;
}

void PreviewController::PreviewRecord(const ScanRecord& record) {
  if (busy_) return;
  previewed_.reset();
  content_ = preview::PreviewContent();
  if (record.is_directory) {
    content_.kind = preview::PreviewContent::Kind::kDirectory;
    pane_->Show(content_);
    return;
  }
  // The player lets go of the last file before the next preparation deletes it.
  pane_->StopMedia();
  if (Prepare(record, owner_, &content_) != preview::kPreparationFinished) {
    pane_->Clear();
    return;
  }
  previewed_ = record;
  pane_->Show(content_);
}

void PreviewController::OpenWindow(const ScanRecord& record, ScanRecordList navigation) {
  if (busy_ || record.is_directory) return;
  auto same = [&record](const ScanRecord& other) {
    return other.drive_tag == record.drive_tag && other.source_kind == record.source_kind &&
           other.record_index == record.record_index;
  };
  if (!previewed_ || !same(*previewed_)) PreviewRecord(record);
  if (!previewed_ || !same(*previewed_)) return;
  // One player at a time: the window plays what the pane would.
  pane_->StopMedia();
  CPreviewWnd::Host host;
  host.prepare = [this](const ScanRecord& next, QWidget* owner, preview::PreviewContent* content) {
    return Prepare(next, owner, content);
  };
  host.recover = recover_;
  host.release = [this] { Clear(); };
  CPreviewWnd window(language_, std::move(host), std::move(navigation), *previewed_, content_,
                     !session_->TemporaryPath().empty(), owner_);
  busy_ = true;
  emit PreviewWindowOpened(&window);
  window.exec();
  busy_ = false;
}

void PreviewController::Clear() {
  if (pane_) pane_->Clear();
  previewed_.reset();
  content_ = preview::PreviewContent();
  if (session_) session_->Clear();
}

}  // namespace velmora::gui
