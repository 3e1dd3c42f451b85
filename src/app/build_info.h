#pragma once

#include <string>

namespace velmora::app {

// The version of this build and the commit it was configured from, the same
// for every face ("1.0.0", "3f2a...").
const char* VersionNumber();
const char* BuildCommit();
// "velmora 1.0.0 (commit 3f2a...)", as `velmora --version` prints it.
std::string VersionLine();

}  // namespace velmora::app
