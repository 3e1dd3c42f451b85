#pragma once

#include <cstdint>
#include <string>

namespace velmora::app {

// "1023 Bytes", "1.00 KB", "1.50 GB", "2.00 TB": binary units, two decimals.
std::string FormatSize(int64_t bytes);
// The same values with the units named for what they are: "1023 bytes", "1.00 KiB",
// "16.00 MiB" (1 MiB = 2^20 bytes). The command line writes every size this way.
std::string FormatSizeIec(int64_t bytes);

// "42 Sec", "59 Min 59 Sec", "1 Hour 0 Min"; seconds are truncated, never rounded.
std::string FormatDuration(int64_t seconds);

}  // namespace velmora::app
