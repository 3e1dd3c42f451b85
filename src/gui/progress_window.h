#pragma once

#include <QDialog>
#include <QMap>
#include <QString>
#include <functional>
#include <thread>

#include "app/cancel_token.h"
#include "app/language_settings.h"
#include "app/workflow_observer.h"

class QTreeWidget;

namespace velmora::gui {

// Control texts for a progress window: name -> text (an empty text hides the
// control), and the bar's value when percent is 0 or more.
struct ProgressUpdate {
  QMap<QString, QString> texts;
  int percent = -1;
};

// A modal window over one worker thread. The worker reports through an
// observer whose calls are queued to this window's thread; no widget is
// touched from the worker. Cancel, close and Escape ask the skin's question
// while the worker is held at its next progress report.
class ProgressWindow : public QDialog {
  Q_OBJECT
 public:
  using Job = std::function<app::RunResult(app::WorkflowObserver&, app::CancelToken&)>;

  ProgressWindow(const QString& skin, const std::string& section, const char* question_key,
                 app::LanguageSettings& language, QWidget* owner);
  ~ProgressWindow() override;

  // Starts `job` once the window is shown; the result is the window's: 1
  // finished, 2 cancelled, 3 failed. After a quit was asked for, nothing runs (2).
  int Run(Job job);

  // The owner's window may still be closed while this one runs (it is disabled,
  // not blocked, so its close request arrives): see AskStopForQuit.
  void LetOwnerClose() { owner_may_close_ = true; }
  // The window running with LetOwnerClose, if any.
  static ProgressWindow* Running();
  // Asks `question` ("stop and quit?"); on yes the work stops, later runs are
  // refused, and the owner's window is closed once this one has ended.
  bool AskStopForQuit(const QString& question);
  static bool QuitRequested();

  QWidget* Skin() const { return skin_; }
  app::CancelToken& Token() { return cancel_; }
  bool WorkerDone() const { return done_; }

  // Applies an update on the window's thread.
  void Apply(const ProgressUpdate& update);
  // Posts an update from any thread.
  void Post(ProgressUpdate update);

  void reject() override { AskCancel(); }

 signals:
  void WorkerFinished(int result);

 protected:
  // The worker has ended; by default the window closes with its result.
  virtual void Finish(app::RunResult result);
  void AskCancel();
  // Pauses the work and asks `question`; on yes stops it (and, with `quit`, the program after
  // it). A finish that arrived meanwhile is shown after the answer. True when it stops.
  bool AskToStop(const QString& question, bool quit);
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  // The run is over and only waits to be closed (recovery's Finish).
  bool over_ = false;
  app::LanguageSettings& language_;

 private:
  class QueuedObserver;
  void OnWorkerDone(app::RunResult result);

  QWidget* skin_ = nullptr;
  const char* question_key_;
  Job job_;
  std::thread worker_;
  app::CancelToken cancel_;
  bool started_ = false;
  bool owner_may_close_ = false;
  bool quit_after_ = false;
  bool done_ = false;
  bool asking_ = false;
  bool pending_finish_ = false;
  app::RunResult result_ = app::RunResult::kFinished;
  std::unique_ptr<QueuedObserver> observer_;
};

// The detail list of a recovery run: failures red at the top, successes below.
// `unreadable_format` (MSG0813) tells of bytes that could not be read, "%s" the count.
void AddDetailLine(QTreeWidget* list, const app::RecoveryLine& line,
                   const std::string& unreadable_format);

}  // namespace velmora::gui
