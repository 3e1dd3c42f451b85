#include "gui/progress_window.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QPointer>
#include <QLabel>
#include <QProgressBar>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "gui/message_box.h"
#include "gui/skin.h"

namespace velmora::gui {

// Lives on the worker thread; every report becomes a queued call.
class ProgressWindow::QueuedObserver : public app::WorkflowObserver {
 public:
  explicit QueuedObserver(ProgressWindow* window) : window_(window) {}

  void OnStage(const std::string& text) override { Send(-1, {{"stage", text}}); }
  void OnScanProgress(const app::ScanProgress& progress) override {
    Send(progress.percent, {{"percent", progress.percent_text},
                            {"time", progress.time_text},
                            {"sectors", progress.sectors_text},
                            {"totalfile", progress.files_text}});
  }
  void OnSearchProgress(int percent, const std::string& text) override {
    Send(percent, {{"percent", text}});
  }
  void OnRecoveryProgress(const app::RecoveryProgress& progress) override {
    Send(progress.percent, {{"current", progress.current},
                            {"recovered", progress.counts_text},
                            {"percent", progress.percent_text}});
  }
  void OnImageProgress(const app::ImageProgress& progress) override {
    Send(progress.percent, {{"percent", progress.percent_text},
                            {"time", progress.time_text},
                            {"sectors", progress.sectors_text}});
  }
  void OnRecoveryLine(const app::RecoveryLine& line) override {
    QMetaObject::invokeMethod(
        window_,
        [window = window_, line] {
          AddDetailLine(window->skin_->findChild<QTreeWidget*>("DetailList"), line,
                        app::Lookup(window->language_.Section("Messages"), "MSG0813"));
        },
        Qt::QueuedConnection);
  }
  // Asked over the progress window: hiding a running dialog would end it.
  app::ResumeAnswer AskResume(const app::ScanSource&,
                              const app::ResumeQuestion& question) override {
    Choice choice = Choice::kOk;
    QMetaObject::invokeMethod(
        window_,
        [this, &question, &choice] {
          choice = AskWithButtons(BoxKind::kQuestion, Q(question.text), Q(question.continue_text),
                                  Q(question.start_over_text), window_->language_, window_);
        },
        Qt::BlockingQueuedConnection);
    switch (choice) {
      case Choice::kOk: return app::ResumeAnswer::kContinue;
      case Choice::kCancel: return app::ResumeAnswer::kStartOver;
      case Choice::kDismissed: break;
    }
    return app::ResumeAnswer::kCancel;
  }

 private:
  void Send(int percent, std::initializer_list<std::pair<const char*, std::string>> texts) {
    ProgressUpdate update;
    update.percent = percent;
    for (const auto& [name, text] : texts) update.texts[name] = Q(text);
    window_->Post(update);
  }

  ProgressWindow* window_;
};

ProgressWindow::ProgressWindow(const QString& skin, const std::string& section,
                               const char* question_key, app::LanguageSettings& language,
                               QWidget* owner)
    : QDialog(owner),
      language_(language),
      question_key_(question_key),
      observer_(std::make_unique<QueuedObserver>(this)) {
  setModal(true);
  skin_ = LoadSkin(skin, this);
  setObjectName(skin_->objectName());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(skin_);
  setStyleSheet(SkinStyleSheet());
  ApplyTexts(skin_, language.Section(section));
  if (auto* title = skin_->findChild<QLabel*>("title")) setWindowTitle(title->text());
  resize(skin_->size());
  for (const char* name : {"cancelbtn", "closebtn", "CancelBtn"}) {
    if (auto* button = skin_->findChild<QAbstractButton*>(name)) {
      connect(button, &QAbstractButton::clicked, this, &ProgressWindow::AskCancel);
    }
  }
}

ProgressWindow::~ProgressWindow() {
  if (worker_.joinable()) {
    cancel_.Cancel();
    worker_.join();
  }
}

namespace {
ProgressWindow* running_window = nullptr;
bool quit_requested = false;
}  // namespace

ProgressWindow* ProgressWindow::Running() { return running_window; }
bool ProgressWindow::QuitRequested() { return quit_requested; }

int ProgressWindow::Run(Job job) {
  if (quit_requested) return static_cast<int>(app::RunResult::kCancelled);
  job_ = std::move(job);
  QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
  // Only where no other modal window is open: one under it would still block the owner.
  if (!owner_may_close_ || !owner || QApplication::activeModalWidget() != nullptr) return exec();
  // A modal window makes the window manager's close of its owner vanish unseen;
  // the owner is disabled instead, so it takes no input but hears the close.
  const bool was_enabled = owner->isEnabled();
  owner->setEnabled(false);
  setEnabled(true);  // a window stays enabled under a disabled owner only when told
  running_window = this;
  setWindowModality(Qt::NonModal);
  QEventLoop loop;
  connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
  show();
  activateWindow();
  loop.exec(QEventLoop::DialogExec);
  running_window = nullptr;
  owner->setEnabled(was_enabled);
  if (quit_after_) {
    QPointer<QWidget> target(owner);
    QMetaObject::invokeMethod(
        owner,
        [target] {
          if (target) target->close();
        },
        Qt::QueuedConnection);
  }
  return result();
}

bool ProgressWindow::AskStopForQuit(const QString& question) {
  if (asking_) return false;  // the stop question is open: it decides first
  if (done_) {
    quit_requested = quit_after_ = true;
    return true;
  }
  return AskToStop(question, true);
}

bool ProgressWindow::AskToStop(const QString& question, bool quit) {
  asking_ = true;
  cancel_.Pause();
  const app::TextTable& messages = language_.Section("Messages");
  // Buttons that say what they do where the language has them; OK/Cancel elsewhere.
  QString stop_text;
  QString go_on_text;
  if (quit || std::string(question_key_) == app::msg::kScanCancelQuestion) {
    stop_text = Q(app::Lookup(messages, app::msg::kScanStop));
    go_on_text = Q(app::Lookup(messages, app::msg::kScanKeepGoing));
  }
  const bool stop = AskWithButtons(BoxKind::kQuestion, question, stop_text, go_on_text, language_,
                                   this) == Choice::kOk;
  asking_ = false;
  if (stop) {
    if (quit) quit_requested = quit_after_ = true;
    cancel_.Cancel();
  } else {
    cancel_.Resume();
  }
  if (pending_finish_) {
    pending_finish_ = false;
    Finish(result_);
  }
  return stop;
}

void ProgressWindow::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_ || !job_) return;
  started_ = true;
  worker_ = std::thread([this] {
    const app::RunResult result = job_(*observer_, cancel_);
    QMetaObject::invokeMethod(
        this, [this, result] { OnWorkerDone(result); }, Qt::QueuedConnection);
  });
}

void ProgressWindow::closeEvent(QCloseEvent* event) {
  if (done_ && !isVisible()) return QDialog::closeEvent(event);
  event->ignore();
  AskCancel();
}

void ProgressWindow::Post(ProgressUpdate update) {
  QMetaObject::invokeMethod(
      this, [this, update] { Apply(update); }, Qt::QueuedConnection);
}

void ProgressWindow::Apply(const ProgressUpdate& update) {
  for (auto it = update.texts.begin(); it != update.texts.end(); ++it) {
    if (auto* label = skin_->findChild<QLabel*>(it.key())) {
      label->setText(it.value());
      label->setVisible(!it.value().isEmpty());
    }
  }
  if (update.percent >= 0) {
    if (auto* bar = skin_->findChild<QProgressBar*>("progress")) bar->setValue(update.percent);
  }
}

void ProgressWindow::OnWorkerDone(app::RunResult result) {
  if (worker_.joinable()) worker_.join();
  done_ = true;
  result_ = result;
  emit WorkerFinished(static_cast<int>(result));
  // A question still open decides first; the window ends when it is answered.
  if (asking_) {
    pending_finish_ = true;
    return;
  }
  Finish(result);
}

void ProgressWindow::Finish(app::RunResult result) { done(static_cast<int>(result)); }

void ProgressWindow::AskCancel() {
  if (over_ || (done_ && !pending_finish_)) {
    done(over_ ? 1 : static_cast<int>(result_));
    return;
  }
  if (asking_) return;
  AskToStop(Q(app::Lookup(language_.Section("Messages"), question_key_)), false);
  // After a confirmed cancel the window closes when the worker reports back.
}

void AddDetailLine(QTreeWidget* list, const app::RecoveryLine& line,
                   const std::string& unreadable_format) {
  if (!list) return;
  std::string status = line.status;
  if (line.unreadable_bytes != 0 && !line.failed) {
    // Kept, but with zeros where the medium failed: said beside the status.
    std::string note = unreadable_format;
    const size_t at = note.find("%s");
    if (at != std::string::npos) note.replace(at, 2, std::to_string(line.unreadable_bytes));
    status += " (" + note + ")";
  }
  auto* item = new QTreeWidgetItem({Q(line.target), Q(status)});
  if (line.failed) {
    item->setForeground(0, QColor(0xFF, 0, 0));
    item->setForeground(1, QColor(0xFF, 0, 0));
    list->insertTopLevelItem(0, item);
  } else {
    list->addTopLevelItem(item);
  }
}

}  // namespace velmora::gui
