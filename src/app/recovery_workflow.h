#pragma once

#include <map>
#include <string>
#include <vector>

#include "app/cancel_token.h"
#include "app/message_text.h"
#include "app/scan_source.h"
#include "app/workflow_observer.h"
#include "engine/scan_record.h"

namespace velmora::app {

// Copies found files out into DESTINATION/CATEGORY/NAME. Names already taken
// get "(n)" before the extension; nothing is ever overwritten, no link in the
// destination is followed, and a file that fails part way is removed.
class RecoveryWorkflow {
 public:
  RecoveryWorkflow(const SourceList& sources, TextTable messages)
      : sources_(sources), messages_(std::move(messages)) {}

  // The first scanned region whose disk extent holds the file system of
  // `destination`; image files are never compared. Null when none.
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
  // Detail lines: failures first (newest on top), then successes in order.
  const std::vector<RecoveryLine>& Lines() const { return lines_; }

 private:
  class Output;
  struct FileContext;
  static int OnFileProgress(void* context, int percent, int scale, int error, const char* path);

  int RecoverRecord(const ScanRecord& record, Output& output, WorkflowObserver& observer,
                    CancelToken& cancel);
  void Report(const RecoveryLine& line, WorkflowObserver& observer);
  RecoveryProgress Progress(int percent, const std::string& current) const;

  const SourceList& sources_;
  TextTable messages_;
  RecoveryCounts counts_;
  std::vector<RecoveryLine> lines_;
};

}  // namespace velmora::app
