#include "engine/overwrite_estimate.h"

#include <algorithm>

namespace velmora {

int OverwrittenPercent(const OverwriteEstimate& estimate) {
  if (estimate.in_use == 0 || estimate.clusters == 0) return 0;
  if (estimate.in_use >= estimate.clusters) return 100;
  const uint64_t percent = estimate.in_use * 100 / estimate.clusters;
  return static_cast<int>(std::clamp<uint64_t>(percent, 1, 99));
}

int BeyondSourcePercent(const OverwriteEstimate& estimate) {
  if (estimate.beyond_source == 0 || estimate.clusters == 0) return 0;
  if (estimate.beyond_source >= estimate.clusters) return 100;
  const uint64_t percent = estimate.beyond_source * 100 / estimate.clusters;
  return static_cast<int>(std::clamp<uint64_t>(percent, 1, 99));
}

std::string OverwriteStateText(const OverwriteEstimate& estimate) {
  // Missing data is told first: no part of it can come back, overwritten or not.
  const int beyond = BeyondSourcePercent(estimate);
  if (beyond == 100) return "beyond source end";
  if (beyond != 0) return std::to_string(beyond) + "% beyond source end";
  const int percent = OverwrittenPercent(estimate);
  if (percent == 0) return "intact";
  if (percent == 100) return "overwritten";
  return "partly overwritten " + std::to_string(percent) + "%";
}

}  // namespace velmora
