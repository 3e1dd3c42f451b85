#include "app/build_info.h"

#include "velmora_build_info.h"

namespace velmora::app {

const char* VersionNumber() { return VELMORA_VERSION; }
const char* BuildCommit() { return VELMORA_GIT_COMMIT; }
std::string VersionLine() {
  return std::string("velmora ") + VersionNumber() + " (commit " + BuildCommit() + ")";
}

}  // namespace velmora::app
