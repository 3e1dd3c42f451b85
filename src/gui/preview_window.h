#pragma once

#include <QDialog>
#include <functional>

#include "app/language_settings.h"
#include "engine/file_recovery_parse.h"
#include "engine/scan_record.h"
#include "gui/progress_window.h"
#include "preview/preview_session.h"

namespace velmora::gui {

class PreviewPane;

// The small modal window over a preview's preparation: the record's engine
// copies the file out on the worker, the viewers read it there too, and the
// content comes back when the window closes with 1 (2: cancelled, nothing kept).
class CPreviewProcessWnd : public ProgressWindow {
  Q_OBJECT
 public:
  CPreviewProcessWnd(const ScanRecord& record, app::LanguageSettings& language, QWidget* owner);

  int Prepare(preview::PreviewSession& session, IFileRecoveryParse* engine,
              preview::PreviewContent* content);

 private:
  ScanRecord record_;
};

// The preview window: the prepared file large, previous/next over the photos
// of the result list (wrapping), and recovery of the file shown.
class CPreviewWnd : public QDialog {
  Q_OBJECT
 public:
  struct Host {
    // Runs the preparation window over `owner`; its result (1 or 2).
    std::function<int(const ScanRecord&, QWidget* owner, preview::PreviewContent*)> prepare;
    // Recovers one record through the recovery window over `owner`.
    std::function<void(const ScanRecord&, QWidget* owner)> recover;
    // Lets go of the shown file (stops players first).
    std::function<void()> release;
  };

  // `navigation`: the file records behind the result list's rows, in row order.
  // `from_file`: the content came from a temporary file (not memory), so
  // moving between photos makes sense.
  CPreviewWnd(app::LanguageSettings& language, Host host, ScanRecordList navigation,
              const ScanRecord& current, const preview::PreviewContent& content, bool from_file,
              QWidget* owner);
  ~CPreviewWnd() override;

  QWidget* Skin() const { return skin_; }
  PreviewPane* Pane() const { return pane_; }
  const ScanRecord& Current() const { return current_; }
  // Shows the previous or next photo of the list; false when there is none
  // or its preparation was cancelled.
  bool Step(bool forward);

  void reject() override { done(2); }

 private:
  void ShowContent(const preview::PreviewContent& content);

  app::LanguageSettings& language_;
  Host host_;
  ScanRecordList navigation_;
  ScanRecord current_;
  QWidget* skin_ = nullptr;
  PreviewPane* pane_ = nullptr;
};

}  // namespace velmora::gui
