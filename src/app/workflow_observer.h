#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/sector_reader.h"

namespace velmora::app {

struct ScanSource;

// How a progress window ends: 1 finished, 2 cancelled, 3 failed (no engine).
enum class RunResult { kFinished = 1, kCancelled = 2, kNoEngine = 3 };

// One scan progress report, with the texts made from the language tables.
struct ScanProgress {
  int percent = 0;             // of the bar, already scaled
  int seconds_remaining = -1;  // -1 while not estimated
  uint64_t sectors_done = 0;   // the deep engines' counters; all 0 from quick engines
  uint64_t sectors_total = 0;
  uint64_t files_found = 0;
  std::string percent_text;
  std::string time_text;
  std::string sectors_text;  // empty when the engine reports no sector counts
  std::string files_text;
};

// Counts of a recovery run; succeeded = processed - failed.
struct RecoveryCounts {
  int total = 0;
  int processed = 0;
  int failed = 0;
};

// One finished file of a recovery run: where it went and how it went.
struct RecoveryLine {
  std::string target;
  std::string status;  // "Success" or the system's text of the error
  bool failed = false;
  // Details for reports and the manifest.
  uint64_t id = 0;          // the record's id in its result
  std::string source_path;  // folder and name in the scanned volume
  uint64_t size = 0;
  int error = 0;
  std::string sha256;            // of the written file (hex), when asked for
  std::string kept;              // what could be read before a read error, kept under this path
  bool content_differs = false;  // written, but its bytes do not match its type
  // The written bytes contradict what the scan's result said of them (they matched, or were
  // another type): the result or the medium changed since, and the file is not the one listed.
  bool content_contradicts_result = false;
  bool skipped = false;  // already recovered into this destination, unchanged
  // Source bytes that could not be read and were written as zeros (the file is kept).
  std::vector<UnreadableSalvage::Range> unreadable;
  uint64_t unreadable_bytes = 0;
};

// One report of an image copy, with the texts made from the language tables.
struct ImageProgress {
  int percent = 0;
  uint64_t sectors_done = 0;
  uint64_t sectors_total = 0;
  int seconds_remaining = -1;  // -1 while not estimated
  std::string percent_text;
  std::string time_text;
  std::string sectors_text;
};

struct RecoveryProgress {
  int percent = 0;      // of the run: the files done, and the share of the one being copied
  std::string current;  // target path of the current file
  RecoveryCounts counts;
  std::string percent_text;
  std::string counts_text;
};

// The question before a stopped deep scan of a source is scanned again: the
// texts of the question and of its two buttons, and where the scan stopped.
struct ResumeQuestion {
  int percent = 0;
  std::string text;
  std::string continue_text;  // "Continue from 37%"
  std::string start_over_text;
};
// Continue the saved scan, drop it and scan afresh, or scan nothing (it stays saved).
enum class ResumeAnswer { kContinue, kStartOver, kCancel };

// What the workflows tell their face and ask of it. Calls come on the worker's
// thread; a window queues them to its own, the command line prints them.
// Defaults ignore reports and answer questions with OK.
class WorkflowObserver {
 public:
  virtual ~WorkflowObserver() = default;

  virtual void OnStage(const std::string& text) {}
  virtual void OnScanProgress(const ScanProgress& progress) {}
  // A source whose scan failed (the run goes on), or that no engine could read.
  virtual void OnSourceFailed(const ScanSource& source, int error) {}
  virtual void OnSearchProgress(int percent, const std::string& percent_text) {}
  virtual void OnRecoveryProgress(const RecoveryProgress& progress) {}
  virtual void OnRecoveryLine(const RecoveryLine& line) {}
  virtual void OnImageProgress(const ImageProgress& progress) {}
  // A sentence about what the workflow chose on its own (a saved result
  // reused, resumed or discarded); the command line prints it.
  virtual void OnNotice(const std::string& text) {}

  // A deep scan of `source` was stopped before it finished (a finished one is
  // reopened without asking).
  virtual ResumeAnswer AskResume(const ScanSource& source, const ResumeQuestion& question) {
    return ResumeAnswer::kContinue;
  }
  // The destination lies on the scanned volume `source`: true goes on.
  virtual bool ConfirmSameVolume(const ScanSource& source, const std::string& warning) {
    return true;
  }
};

}  // namespace velmora::app
