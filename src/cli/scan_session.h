#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/file_recovery_parse.h"

namespace velmora::cli {

// What a SOURCE argument names: an image file or block device opened as an
// image, or a region of a numbered disk.
struct ScanTarget {
  std::string display;        // as the user wrote it
  std::string key;            // stable identity for saved results
  std::string image_path;     // set for image sources
  std::string device_path;    // the file or device that holds the bytes
  bool is_region = false;     // disk region sources
  int disk_number = -1;
  uint64_t start_sector = 0;
  uint64_t sector_count = 0;
  uint64_t size_bytes = 0;
  uint64_t write_time = 0;    // image files: last-write time, to notice changes
};

int ResolveTarget(const std::string& source, ScanTarget* target, std::string* error);

std::unique_ptr<IFileRecoveryParse> CreateEngineFor(const ScanTarget& target, bool deep);

// Where the last scan of a source in one mode left its result.
struct SavedResult {
  std::string folder;
  std::string log_name;
  bool complete = false;
};

// False when there is none, or when the source holds other contents than the
// saved result was made of (`other_contents` then tells so).
bool FindSavedResult(const ScanTarget& target, bool deep, SavedResult* result,
                     bool* other_contents = nullptr);
void RememberResult(const ScanTarget& target, bool deep, const SavedResult& result);
void ForgetResult(const ScanTarget& target, bool deep);

// Prints the live progress line on stderr and turns Ctrl-C into a cancel.
class ProgressPrinter {
 public:
  explicit ProgressPrinter(std::string label);
  ~ProgressPrinter();
  static int ScanCallback(void* context, int percent, int scale, int seconds_remaining,
                          uint32_t a_low, uint32_t a_high, uint32_t b_low, uint32_t b_high,
                          uint32_t c_low, uint32_t c_high);
  void Finish();
  static bool Interrupted();

 private:
  void Print(int percent, int seconds_remaining, uint64_t a, uint64_t b, uint64_t c);

  std::string label_;
  bool terminal_ = false;
  int64_t last_print_ms_ = -1;
  int last_percent_ = -1;
  bool printed_ = false;
};

// Runs a scan of `target` (or reopens its saved result unless `fresh`); the
// engine is returned ready for queries. `cancelled` tells a Ctrl-C stop.
int OpenOrScan(const ScanTarget& target, bool deep, bool fresh, bool scan_if_missing,
               std::unique_ptr<IFileRecoveryParse>* engine, bool* scanned, bool* cancelled,
               std::string* error);

// What a deep scan run from the command line did.
struct DeepScanOutcome {
  bool resumed = false;        // continued a saved scan of the same source
  int resumed_percent = 0;     // where it continued from
  bool cancelled = false;      // stopped by Ctrl-C (the state is saved when `saved`)
  bool saved = false;          // the position is kept for a later resume
  bool complete = false;       // the whole region has been read
  uint64_t unreadable_sectors = 0;
  uint64_t failed_buffers = 0;           // buffers an engine failed on; the pass went on
  std::string first_buffer_failure;      // "sector N: what went wrong"
};

// Runs the deep scan of `target`, continuing a saved one unless `fresh` (which
// discards it first). The engine is returned ready for queries.
int RunDeepScan(const ScanTarget& target, bool fresh, std::unique_ptr<IFileRecoveryParse>* engine,
                DeepScanOutcome* outcome, std::string* error);

// The saved result of `target` for list and recover, scanned first when there is none.
int OpenSavedResult(const ScanTarget& target, bool deep, std::unique_ptr<IFileRecoveryParse>* engine,
                    std::string* error);

// Identifier of a record within one scan result (accepted by `recover --id`).
uint64_t RecordId(const ScanRecord& record);

// ISO 8601 UTC text of a FILETIME, or "" for 0.
std::string FiletimeToIso(uint64_t filetime);

}  // namespace velmora::cli
