#pragma once

#include <string>
#include <vector>

#include "app/cancel_token.h"
#include "app/message_text.h"
#include "app/scan_source.h"
#include "app/workflow_observer.h"
#include "engine/file_recovery_parse.h"
#include "engine/scan_index.h"

namespace velmora::app {

struct OpenOptions {
  bool fresh = false;           // scan anew, dropping a saved result first
  bool scan_if_missing = true;  // without a saved result: scan (else kErrFileNotFound)
};

// What the last deep scan of a run did, beyond its result code.
struct DeepScanOutcome {
  bool resumed = false;          // continued a stopped scan of the same source
  bool finished_before = false;  // a saved scan that had read everything was reopened
  int resumed_percent = 0;       // where it continued from
  bool cancelled = false;        // stopped on a cancel (the state is saved when `saved`)
  bool saved = false;            // the position is kept for a later resume
  bool complete = false;         // the whole region has been read
  uint64_t unreadable_sectors = 0;
  uint64_t failed_buffers = 0;       // buffers an engine failed on; the pass went on
  std::string first_buffer_failure;  // "sector N: what went wrong"
};

// A result held by a deep scan that was stopped (cancelled, killed, or failed) before it read
// its whole source: it lists the files up to where the scan stopped only, until the scan is
// resumed. Every face that shows such a result says so.
struct PartialResult {
  bool partial = false;
  uint64_t position = 0;  // sectors from the region's start where the scan stopped
  uint64_t sectors = 0;   // the region's length
  int percent = 0;        // position of sectors
};
// What the engine `source` holds: partial or not.
PartialResult PartialResultOf(const ScanSource& source);

struct OpenOutcome {
  bool reopened = false;   // a saved result was served without reading the source
  bool scanned = false;    // the source was read
  bool cancelled = false;  // the scan stopped on a cancel
};

// The source as a person knows it: the image's file name, or the volume's label
// and device (never a bare display number).
std::string SourceTitle(const ScanSource& source);

// The notice that a saved result of `source` was made of other contents.
std::string OtherContentsNotice(const ScanSource& source, ScanMode mode);
// Said when a saved deep scan does not fit its source or logs and is dropped; `reason`
// says how, when known.
std::string DamagedStateNotice(const ScanSource& source, const std::string& reason = "");
// Said when the logs of a saved quick scan are not what was saved and it is dropped.
std::string DamagedResultNotice(const ScanSource& source, const std::string& reason);
// Names the source for the lock its scans and the readers of its result take.
std::string SourceLockKey(const ScanSource& source);
// Told when another process holds that lock.
std::string BusyText(const ScanSource& source);

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

  // Scans `source` now: a quick scan always reads it anew; a deep scan
  // continues a saved one (or reopens a finished one) unless it was discarded
  // first. 0, the scan's error, kCancelledByUser or kErrInvalidParameter (no engine).
  int ScanNow(ScanSource& source, ScanMode mode, WorkflowObserver& observer, CancelToken& cancel);
  // What the last deep scan (of Run, ScanNow or OpenOrScan) did.
  const DeepScanOutcome& LastDeepOutcome() const { return deep_outcome_; }
  // The file system metadata the last scan (quick, or a deep scan's quick phase) could not
  // read and went on without; told to the observer as a notice as well.
  const MetadataReadFaults& LastReadFaults() const { return read_faults_; }

  // The sources of the last run that hold an engine, in list order: what the
  // results page lists (not whichever row of the list holds an engine first).
  std::vector<ScanSource*> ResultSources() const;

  // The texts of another language, for the runs from now on.
  void SetMessages(TextTable messages) { messages_ = std::move(messages); }

  ScanMode LastMode() const { return last_mode_; }
  // Whether the last run's result is partial: it was stopped, or a deep scan did
  // not read its whole region; scanning again continues it.
  bool LastRunPartial() const { return last_run_partial_; }
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
  bool last_run_partial_ = false;
  std::vector<std::string> last_quick_folders_;
  DeepScanOutcome deep_outcome_;
  MetadataReadFaults read_faults_;
};

}  // namespace velmora::app
