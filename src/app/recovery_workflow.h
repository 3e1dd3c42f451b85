#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/cancel_token.h"
#include "app/message_text.h"
#include "app/recovery_manifest.h"
#include "app/scan_source.h"
#include "app/workflow_observer.h"
#include "engine/scan_record.h"

namespace velmora::app {

// How a recovery run writes its files.
struct RecoveryOptions {
  bool keep_paths = false;    // DESTINATION/<folder in the volume>/NAME instead of the category
  bool keep_partial = false;  // what was read before a source read error stays as NAME.partial
  bool keep_times = true;     // a written file gets its modified time
  bool manifest = false;      // keep the destination's manifest, and pass over files it
                              // shows already recovered there unchanged
  bool again = false;         // with `manifest`: write numbered copies of those as well
  std::string source_name;    // the scanned source as the manifest names it
  IFileRecoveryParse* engine = nullptr;  // the engine of every record (one-source faces)
};

// Copies found files out into DESTINATION/CATEGORY/NAME. Names already taken
// get "(n)" before the extension; nothing is ever overwritten, no link in the
// destination is followed, and a file that fails part way is removed.
class RecoveryWorkflow {
 public:
  RecoveryWorkflow(const SourceList& sources, TextTable messages)
      : sources_(sources), messages_(std::move(messages)) {}

  void SetOptions(RecoveryOptions options) { options_ = std::move(options); }

  // The first scanned source (one holding an engine) that `destination` lies on, in list
  // order (see DestinationOnSource). Null when none.
  const ScanSource* ScannedVolumeHolding(const std::string& destination) const;
  // Warns (through the observer) when the destination lies on a scanned
  // volume; false when the user declines.
  bool ConfirmDestination(const std::string& destination, WorkflowObserver& observer) const;

  // Recovers `records` in order (the ticked set's order).
  RunResult Run(const ScanRecordList& records, const std::string& destination,
                WorkflowObserver& observer, CancelToken& cancel);
  // The preview's single file.
  RunResult RecoverOne(const ScanRecord& record, const std::string& destination,
                       WorkflowObserver& observer, CancelToken& cancel);

  const RecoveryCounts& Counts() const { return counts_; }
  // Files passed over because the manifest shows them recovered (not processed).
  int Skipped() const { return skipped_; }
  // 0, or why the manifest could not be written.
  int ManifestError() const { return manifest_error_; }
  // Detail lines: failures first (newest on top), then successes in order.
  const std::vector<RecoveryLine>& Lines() const { return lines_; }

 private:
  class Output;
  struct FileContext;
  static int OnFileProgress(void* context, int percent, int scale, int error, const char* path);

  int RecoverRecord(const ScanRecord& record, Output& output, WorkflowObserver& observer,
                    CancelToken& cancel);
  void Report(const RecoveryLine& line, WorkflowObserver& observer);
  void Remember(const RecoveryLine& line, const std::string& output);
  RecoveryProgress Progress(int percent, const std::string& current) const;

  const SourceList& sources_;
  TextTable messages_;
  RecoveryCounts counts_;
  std::vector<RecoveryLine> lines_;
  RecoveryOptions options_;
  RecoveryManifest manifest_;
  int skipped_ = 0;
  std::string state_text_;        // of the file being recovered, for the manifest
  std::string partial_relative_;  // its partial copy kept, below the destination
  int manifest_error_ = 0;
};

// Writes the bytes of `record` to `out_fd` (through a temporary file in the
// scan-log folder, removed afterwards). 0 or an error code.
int CopyRecordTo(IFileRecoveryParse* engine, const ScanRecord& record, int out_fd,
                 CancelToken& cancel);

}  // namespace velmora::app
