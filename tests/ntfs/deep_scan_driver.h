#pragma once

#include <cstdint>
#include <string>

#include "ntfs/deep_ntfs_recovery.h"

namespace velmora::testing {

// Stands in for the combined deep scan: reads sectors [start, start + count) of
// the image in 64 KiB buffers, hands every sector that looks like an NTFS file
// record of a non-directory to the engine (first pass, forced number 0), then
// lets it write its folders. The engine must be open; its log is started here,
// or reopened when `log_name` is given (a resumed scan).
int RunDeepNtfsPass(CProfessionalNtfsRecovery* engine, const std::string& image, uint64_t start,
                    uint64_t count, const char* log_name = nullptr);

}  // namespace velmora::testing
