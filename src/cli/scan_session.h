#pragma once

#include <cstdint>
#include <string>

#include "app/cancel_token.h"
#include "app/source_session.h"
#include "app/workflow_observer.h"
#include "cli/arguments.h"
#include "engine/scan_record.h"

namespace velmora::cli {

// What the workflows report, on the terminal: a live progress line and
// notices on stderr. Ctrl-C (and SIGTERM) cancel through `cancel`.
class TerminalObserver : public app::WorkflowObserver {
 public:
  TerminalObserver(std::string label, app::CancelToken& cancel);
  ~TerminalObserver() override;

  void OnScanProgress(const app::ScanProgress& progress) override;
  void OnRecoveryProgress(const app::RecoveryProgress& progress) override;
  void OnNotice(const std::string& text) override;

  // Ends the live line, so what follows starts on a line of its own.
  void Finish();
  void SetLabel(std::string label) { label_ = std::move(label); }
  static bool Interrupted();

 private:
  void CheckInterrupt();
  void Print(int percent, int seconds_remaining, uint64_t a, uint64_t b, uint64_t c);

  std::string label_;
  app::CancelToken& cancel_;
  bool terminal_ = false;
  int64_t last_print_ms_ = -1;
  int last_percent_ = -1;
  bool printed_ = false;
};

// Opens the result of `session` that --quick/--deep choose (the newest saved one when neither
// is given), with progress on the terminal (Ctrl-C cancels through `cancel`), and lists every
// file of it.
int OpenAllRecords(const ParsedArgs& parsed, app::SourceSession& session, app::CancelToken& cancel,
                   ScanRecordList* records, std::string* error);

// Says on stderr that the result `session` holds is a stopped deep scan's, and the command that
// finishes it; true when it is one.
bool ReportPartialResult(const app::SourceSession& session, const std::string& source_text);
// The command that finishes a stopped deep scan of `source_text`.
std::string FinishCommand(const std::string& source_text);

// A word for /bin/sh: quoted only when it needs to be.
std::string ShellWord(const std::string& word);

}  // namespace velmora::cli
