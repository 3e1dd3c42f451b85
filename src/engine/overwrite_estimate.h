#pragma once

#include <cstdint>
#include <string>

#include "engine/scan_record.h"

namespace velmora {

// How much of a deleted file's space the volume now gives to live files: a file
// whose clusters were taken again cannot come back whole, whatever its first
// bytes look like.
struct OverwriteEstimate {
  uint64_t clusters = 0;  // clusters the file's data takes (or would take, read contiguously)
  uint64_t in_use = 0;    // of those, now allocated to a live file
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
// "intact", "partly overwritten NN%" or "overwritten".
std::string OverwriteStateText(const OverwriteEstimate& estimate);

}  // namespace velmora
