#pragma once

#include <QObject>
#include <QPointer>
#include <functional>
#include <memory>
#include <optional>

#include "app/language_settings.h"
#include "app/scan_source.h"
#include "engine/scan_record.h"
#include "gui/preview_pane.h"
#include "gui/preview_window.h"
#include "preview/preview_session.h"

class QWidget;

namespace velmora::gui {

// The preview of the results page: prepares the chosen record behind the
// preparation window, shows it in the page's pane, and opens the preview
// window over the list's files. One preview (and one player) at a time.
class PreviewController : public QObject {
  Q_OBJECT
 public:
  // Recovers one record through the recovery window over `owner`.
  using Recover = std::function<void(const ScanRecord&, QWidget* owner)>;

  // `busy`: the window's flag that a modal window runs; no preview starts then.
  PreviewController(QWidget* result_page, QWidget* owner, app::SourceList& sources,
                    app::LanguageSettings& language, bool& busy, Recover recover);
  ~PreviewController() override;

  PreviewPane* Pane() const { return pane_; }
  const preview::PreviewSession& Files() const { return *session_; }

  // Shows `record` in the pane (a folder shows as such).
  void PreviewRecord(const ScanRecord& record);
  // The preview window over `record`, stepping through `navigation`.
  void OpenWindow(const ScanRecord& record, ScanRecordList navigation);
  // Empties the pane and deletes the temporary file.
  void Clear();

 signals:
  void PreviewPreparing(ProgressWindow* window);
  void PreviewWindowOpened(CPreviewWnd* window);

 private:
  int Prepare(const ScanRecord& record, QWidget* owner, preview::PreviewContent* content);

  QWidget* owner_;
  app::SourceList& sources_;
  app::LanguageSettings& language_;
  bool& busy_;
  Recover recover_;
  std::unique_ptr<preview::PreviewSession> session_;
  // Owned by the page, which may go first when the window closes.
  QPointer<PreviewPane> pane_;
  // The record the pane shows and what was prepared for it.
  std::optional<ScanRecord> previewed_;
  preview::PreviewContent content_;
};

}  // namespace velmora::gui
