#pragma once

#include <cstddef>
#include <cstdint>

namespace velmora::fuzz {

// The input as a volume image: the engine the factory picks for it scans it, lists
// what it found and recovers the first files into a scratch folder.
void ScanImage(const uint8_t* data, size_t size, bool deep);

}  // namespace velmora::fuzz
