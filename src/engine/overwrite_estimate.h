#pragma once

#include <cstdint>
#include <string>

#include "engine/scan_record.h"

namespace velmora {

// How much of a deleted file's space the volume now gives to live files: a file
// whose clusters were taken again cannot come back whole, whatever its first
// bytes look like.
struct OverwriteEstimate {
  uint64_t clusters = 0;       // clusters the file's data takes (or would take, read contiguously)
  uint64_t in_use = 0;         // of those, now allocated to a live file
  uint64_t beyond_source = 0;  // of those, past the end of a source cut shorter than the volume
};

// Engines that can tell it for their records. False when they cannot (a carved
// file, a record of another volume layout, unreadable metadata).
class IOverwriteEstimator {
 public:
  virtual ~IOverwriteEstimator() = default;
  virtual bool EstimateOverwrite(const ScanRecord& record, OverwriteEstimate* out) = 0;
};

// 0 when nothing is in use, 100 when all is; any other share stays within 1..99.
int OverwrittenPercent(const OverwriteEstimate& estimate);
// Share of the clusters past the end of the source, as OverwrittenPercent.
int BeyondSourcePercent(const OverwriteEstimate& estimate);
// "intact", "partly overwritten NN%" or "overwritten"; for data past the end of a cut
// source "NN% beyond source end" or "beyond source end".
std::string OverwriteStateText(const OverwriteEstimate& estimate);

}  // namespace velmora
