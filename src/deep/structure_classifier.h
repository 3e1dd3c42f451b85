#pragma once

#include <vector>

#include "signature/carve_context.h"

namespace velmora {

// The NTFS and FAT metadata tests that end a carved file.
std::vector<StructureTest> FileSystemStructureTests();

}  // namespace velmora
