#pragma once

#include <memory>
#include <string>

#include "app/scan_source.h"
#include "engine/scan_index.h"

namespace velmora::app {

// The saved-scan index is the one record of saved results, for every face.
// Whether a saved result may stand for a source is decided in one place,
// SavedScanFor, so a check that the medium is still the same fits there.

// The saved deep scan of `source` (unfinished or finished), when the index
// holds one for it unchanged; a stale one is dropped on the way.
bool SavedScanFor(const ScanSource& source, ScanIndexRecord* record);
// Scan folder of an index record, with its trailing "/".
std::string FolderOf(const ScanIndexRecord& record);
// Drops the saved deep scan of `source` and its folder; 0 or the save's error.
int DiscardSavedScan(const ScanSource& source);

// What OpenOrScan did.
struct OpenOutcome {
  bool reopened = false;   // a saved result was served without reading the source
  bool scanned = false;    // the source was read
  bool cancelled = false;  // the scan stopped on a cancel
};

}  // namespace velmora::app
