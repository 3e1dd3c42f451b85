#pragma once

#include <cstdint>
#include <string>

namespace velmora::app {

// Decides whether an image of `bytes_needed` bytes read from `source_path` (a block
// device or an image file) may be written to `destination`. Refused: a destination
// that is a device, that is the source itself, that lies on a disk beneath the source
// (writing there would overwrite what is being rescued), whose folder is missing,
// an existing file unless `replace` is set, and a file system without enough room.
// 0 when allowed; otherwise an error code and a message for the user.
int CheckImageDestination(const std::string& source_path, uint64_t bytes_needed,
                          const std::string& destination, bool replace, std::string* message);

}  // namespace velmora::app
