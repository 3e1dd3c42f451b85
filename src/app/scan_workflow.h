#pragma once

#include <string>
#include <vector>

#include "app/cancel_token.h"
#include "app/message_text.h"
#include "app/scan_source.h"
#include "app/workflow_observer.h"

namespace velmora::app {

struct OpenOptions {
  bool fresh = false;           // scan anew, dropping a saved result first
  bool scan_if_missing = true;  // without a saved result: scan (else kErrFileNotFound)
};

struct OpenOutcome {
  bool reopened = false;   // a saved result was served without reading the source
  bool scanned = false;    // the source was read
  bool cancelled = false;  // the scan stopped on a cancel
};

// The scan of one or more sources, from the click on Scan to engines holding
// results. Run it on a worker thread; the observer gets progress and the
// resume question there.
class ScanWorkflow {
 public:
  // `messages`: the "Messages" section of the current language.
  explicit ScanWorkflow(TextTable messages) : messages_(std::move(messages)) {}

  // Scans `sources` in order (one row, or all rows of a disk node). The
  // previous run's engines are dropped first, and the folders of a previous
  // quick run are removed (a deep run's folders stay for resuming).
  // A source no engine can read ends a single-source run with kNoEngine; in a
  // run over several rows it is reported and passed over, and the run ends
  // with kNoEngine only when none could be read.
  RunResult Run(const std::vector<ScanSource*>& sources, ScanMode mode, WorkflowObserver& observer,
                CancelToken& cancel);

  // One source for the command line: its saved result from the saved-scan
  // index when there is one (deep: finished or stopped; quick: finished),
  // else a scan. The source then holds the engine, ready for queries.
  // 0, the scan's error, kCancelledByUser, or kErrFileNotFound.
  int OpenOrScan(ScanSource& source, ScanMode mode, const OpenOptions& options,
                 WorkflowObserver& observer, CancelToken& cancel, OpenOutcome* outcome);

  // The sources of the last run that hold an engine, in list order: what the
  // results page lists (not whichever row of the list holds an engine first).
  std::vector<ScanSource*> ResultSources() const;

  // The texts of another language, for the runs from now on.
  void SetMessages(TextTable messages) { messages_ = std::move(messages); }

  ScanMode LastMode() const { return last_mode_; }
  // Folders the last quick run wrote into (removed by the next run).
  const std::vector<std::string>& LastQuickFolders() const { return last_quick_folders_; }

  // Stage text of `source`: the number key is a format for the region's
  // number; the image key a format for the file name, or a prefix to it.
  static std::string StageText(const TextTable& messages, const ScanSource& source,
                               const char* number_key, const char* image_key,
                               bool image_key_is_prefix);

 private:
  void ForgetLastRun();
  int ScanOne(ScanSource& source, ScanMode mode, WorkflowObserver& observer, CancelToken& cancel);

  TextTable messages_;
  std::vector<ScanSource*> last_sources_;
  ScanMode last_mode_ = ScanMode::kDeep;
  std::vector<std::string> last_quick_folders_;
};

}  // namespace velmora::app
