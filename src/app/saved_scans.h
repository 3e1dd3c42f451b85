#pragma once

#include <string>

#include "app/scan_source.h"
#include "engine/scan_index.h"

namespace velmora::app {

// The saved-scan index is the one record of saved results, for every face: a
// deep scan's resume record (finished or not), and a quick scan's result
// folder. Whether a saved result may stand for a source is decided in one
// place, SavedResultFor, so a check that the medium is still the same fits there.

// The saved result of `source` in `mode`, when the index holds one for it
// unchanged; a stale quick one is dropped (folder and record) on the way.
// `other_contents` tells that one was there but the source now holds other
// contents (a stale deep one is left for its engine to discard on opening).
// `damage` tells why a quick one of the same contents was dropped: its logs are
// not what was saved (checked against their checksums in the index).
bool SavedResultFor(const ScanSource& source, ScanMode mode, ScanIndexRecord* record,
                    bool* other_contents = nullptr, std::string* damage = nullptr);
// The mode of the newest usable saved result of `source` (the one whose scan
// ran last), when there is one in either mode.
bool LatestSavedMode(const ScanSource& source, ScanMode* mode, bool* other_contents = nullptr,
                     std::string* damage = nullptr);
// Marks `folder` as just scanned; LatestSavedMode compares these marks.
[[nodiscard]] int StampScanned(const std::string& folder);
// Drops the saved result of `source` in `mode` and its folder; 0 or the save's error.
[[nodiscard]] int DiscardSavedResult(const ScanSource& source, ScanMode mode);
// Keeps a finished quick scan of `source` in `folder` for later reopening.
[[nodiscard]] int RememberQuickResult(const ScanSource& source, const std::string& folder);
// Whether the saved result of `source` in `mode` recorded existing files beside deleted ones;
// true when there is none (the engine's result was made just now).
bool ResultHoldsExistingFiles(const ScanSource& source, ScanMode mode);
// Scan folder of an index record, with its trailing "/".
std::string FolderOf(const ScanIndexRecord& record);

}  // namespace velmora::app
