#pragma once

#include <memory>
#include <optional>
#include <string>

#include "app/cancel_token.h"
#include "app/scan_source.h"
#include "app/scan_workflow.h"
#include "app/workflow_observer.h"
#include "engine/scan_index.h"

namespace velmora::app {

// One source named by text (an image file, a block device, IMG@K, disk:N,
// disk:N@K or disk:N:K) with the result of its scan: what a one-shot face such as the
// command line works on. Results live in the saved-scan index like the
// window's, so either face finds the other's.
class SourceSession {
 public:
  SourceSession();
  ~SourceSession();
  SourceSession(const SourceSession&) = delete;
  SourceSession& operator=(const SourceSession&) = delete;

  // 0, or an error code with a message.
  int Resolve(const std::string& text, std::string* error);

  ScanSource& Source() { return *source_; }
  // The file or device that holds the bytes.
  const std::string& DevicePath() const { return device_path_; }
  IFileRecoveryParse* Engine() const { return source_ ? source_->engine.get() : nullptr; }
  const SourceList& Sources() const { return list_; }

  // Scans now (see ScanWorkflow::ScanNow); `fresh` drops a saved deep scan first.
  int Scan(ScanMode mode, bool fresh, WorkflowObserver& observer, CancelToken& cancel,
           std::string* error);
  const DeepScanOutcome& LastDeepOutcome() const { return workflow_.LastDeepOutcome(); }
  const MetadataReadFaults& LastReadFaults() const { return workflow_.LastReadFaults(); }

  // The result to browse: of `mode` when given, else the newest saved one of
  // either mode (a quick scan when there is none). Tells the choice it made
  // through the observer. `used` is the mode served.
  int Open(std::optional<ScanMode> mode, WorkflowObserver& observer, CancelToken& cancel,
           ScanMode* used, std::string* error);
  // Whether the result the engine holds is a stopped deep scan's (see PartialResultOf).
  PartialResult Partial() const {
    return source_ != nullptr ? PartialResultOf(*source_) : PartialResult{};
  }
  // The mode of the result Open served.
  ScanMode UsedMode() const { return used_mode_; }
  // Whether that result recorded the files that still exist beside the deleted ones (results
  // of older versions did not).
  bool ResultHoldsExistingFiles() const;

 private:
  SourceList list_;
  ScanWorkflow workflow_;
  // Shared while the result is read, so that no other process scans the source meanwhile.
  SourceScanLock reading_;
  ScanSource* source_ = nullptr;
  std::string device_path_;
  ScanMode used_mode_ = ScanMode::kQuick;
};

// Text of a scan mode as commands name it: "quick" or "deep".
const char* ModeName(ScanMode mode);

}  // namespace velmora::app
