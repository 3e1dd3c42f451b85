#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// What a scan folder's logs were when their result was saved, kept in the saved-scan index
// (beside "config", in "config.sums"), so that a log damaged, cut short, zeroed or brought in
// from another scan is never served as the result.
struct LogSum {
  std::string name;    // file name in the folder
  uint64_t bytes = 0;  // bytes covered from the start
  uint32_t crc = 0;    // CRC-32 of the source's fingerprint, the name, then those bytes
};

struct FolderSums {
  // Written once the scan's engines had stopped: every log of the folder is listed, each
  // exactly as long as recorded. Otherwise (a position saved while a deep pass still ran)
  // only the logs a resume builds on are listed, each at least as long as recorded, since
  // the pass went on appending after it.
  bool settled = true;
  std::vector<LogSum> logs;
};

// Whether `name` is one of the result files of a scan folder (a log or its side files).
bool IsScanLogFile(const std::string& name);

// Sums the logs in `folder`, bound to the source by `fingerprint`. Settled: every log file.
// Unsettled: only the record logs (not their side files, which a flush rewrites), and not
// those whose names begin with one of `still_written` (another thread appends to them). 0, or the
// error of reading a log.
[[nodiscard]] int SumFolderLogs(const std::string& folder, const std::string& fingerprint,
                                bool settled, const std::vector<std::string>& still_written,
                                FolderSums* out);

// "" when the logs in `folder` are as `sums` recorded them for the source of `fingerprint`;
// else what is wrong, for a message. A settled result must hold no log beside them.
std::string CheckFolderLogs(const std::string& folder, const std::string& fingerprint,
                            const FolderSums& sums);

// The record logs of `folder` an unsettled `sums` does not vouch for (killed while written),
// with their side files: they are removed, so that nothing unchecked is served or resumed.
void RemoveUnvouchedLogs(const std::string& folder, const FolderSums& sums);

// "config.sums": one "F" line per folder, then one "L" line per log. Unparsable lines are
// passed over: the folders they spoke for then fail their check and are scanned again.
std::string FormatSums(const std::vector<std::pair<std::string, FolderSums>>& folders);
std::vector<std::pair<std::string, FolderSums>> ParseSums(const std::string& text);

}  // namespace velmora
