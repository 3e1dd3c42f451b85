#include "cli/scan_session.h"

#include "cli/result_listing.h"
#include "cli/commands.h"
#include "storage/error_codes.h"
#include "app/file_choice.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>

namespace velmora::cli {

namespace {

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted.store(true); }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string FormatRemaining(int seconds) {
  if (seconds < 0) return "estimating";
  char text[64];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof(text), "%d Hour %d Min", seconds / 3600, seconds % 3600 / 60);
  } else if (seconds >= 60) {
    std::snprintf(text, sizeof(text), "%d Min %d Sec", seconds / 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof(text), "%d Sec", seconds);
  }
  return text;
}

}  // namespace

TerminalObserver::TerminalObserver(std::string label, app::CancelToken& cancel)
    : label_(std::move(label)), cancel_(cancel) {
  terminal_ = ::isatty(STDERR_FILENO) != 0;
  g_interrupted.store(false);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

TerminalObserver::~TerminalObserver() {
  Finish();
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
}

bool TerminalObserver::Interrupted() { return g_interrupted.load(); }

void TerminalObserver::CheckInterrupt() {
  // The signal handler only sets a flag; the token is told here, off the handler.
  if (g_interrupted.load() && !cancel_.Cancelled()) cancel_.Cancel();
}

void TerminalObserver::OnScanProgress(const app::ScanProgress& progress) {
  CheckInterrupt();
  Print(progress.percent, progress.seconds_remaining, progress.sectors_done, progress.sectors_total,
        progress.files_found);
}

void TerminalObserver::OnRecoveryProgress(const app::RecoveryProgress&) { CheckInterrupt(); }

void TerminalObserver::OnNotice(const std::string& text) {
  Finish();
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

void TerminalObserver::Print(int percent, int seconds_remaining, uint64_t a, uint64_t b,
                             uint64_t c) {
  const int64_t now = NowMs();
  // A terminal gets a live line; a log gets a plain line every few seconds.
  const int64_t interval = terminal_ ? 100 : 5000;
  if (percent == last_percent_ && last_print_ms_ >= 0 && now - last_print_ms_ < interval) return;
  if (!terminal_ && last_print_ms_ >= 0 && now - last_print_ms_ < interval && percent < 100) return;
  last_print_ms_ = now;
  last_percent_ = percent;
  char line[256];
  const std::string remaining =
      percent >= 100 ? "done" : FormatRemaining(seconds_remaining) + " left";
  int length =
      std::snprintf(line, sizeof(line), "%s %3d%%  %s", label_.c_str(), percent, remaining.c_str());
  if (b != 0 && length > 0 && length < static_cast<int>(sizeof(line))) {
    std::snprintf(line + length, sizeof(line) - static_cast<size_t>(length),
                  "  sectors %llu / %llu  files found %llu", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b), static_cast<unsigned long long>(c));
  }
  if (terminal_) {
    std::fprintf(stderr, "\r\033[K%s", line);
  } else {
    std::fprintf(stderr, "%s\n", line);
  }
  std::fflush(stderr);
  printed_ = true;
}

void TerminalObserver::Finish() {
  if (terminal_ && printed_) std::fprintf(stderr, "\n");
  printed_ = false;
}

int OpenAllRecords(const ParsedArgs& parsed, app::SourceSession& session, app::CancelToken& cancel,
                   ScanRecordList* records, std::string* error) {
  TerminalObserver observer(parsed.Has("--deep") ? "deep scan" : "quick scan", cancel);
  app::ScanMode used;
  int result = session.Open(ModeOption(parsed), observer, cancel, &used, error);
  // An id names one file: those `list --all` showed of existing files are found as well.
  if (result == 0 && session.ResultHoldsExistingFiles()) {
    SetListExistingFiles(session.Engine(), true);
  }
  if (result == 0) result = ListRecords(session.Engine(), "all", records, error);
  observer.Finish();
  return result;
}

int FailureExit(int error) { return error == kErrSharingViolation ? kExitBusy : kExitUsage; }

std::string FinishCommand(const std::string& source_text) {
  return "velmora scan " + ShellWord(source_text) + " --deep";
}

bool ReportPartialResult(const app::SourceSession& session, const std::string& source_text) {
  const app::PartialResult partial = session.Partial();
  if (!partial.partial) return false;
  std::fprintf(stderr,
               "Partial result: the deep scan of %s was stopped at %d%% of the source (sector "
               "%llu of %llu); files beyond that point are not in it yet. To finish it:\n  %s\n",
               app::EscapeControl(source_text).c_str(), partial.percent,
               static_cast<unsigned long long>(partial.position),
               static_cast<unsigned long long>(partial.sectors),
               FinishCommand(source_text).c_str());
  return true;
}

std::string ShellWord(const std::string& word) {
  // Control characters cannot stand raw in a command shown on a terminal: $'...' spells them
  // with escapes that bash, zsh and ksh read back as the same bytes.
  const bool control = std::any_of(word.begin(), word.end(), [](char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
  });
  if (control) {
    std::string quoted = "$'";
    for (const char c : EscapeControl(word)) {
      if (c == '\'')
        quoted += "\\'";
      else
        quoted += c;
    }
    return quoted + "'";
  }
  bool plain = !word.empty();
  for (const char c : word) {
    const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                      c == '/' || c == '.' || c == '_' || c == '-' || c == ':' || c == '@' ||
                      c == '+' || c == ',' || c == '=';
    plain = plain && safe;
  }
  if (plain) return word;
  std::string quoted = "'";
  for (const char c : word) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  return quoted + "'";
}

}  // namespace velmora::cli
