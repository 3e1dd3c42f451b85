#pragma once

#include <string>

#include "app/scan_source.h"

namespace velmora::app {

// Whether files written into `destination` (or into the folder it will be made in) can land
// on the bytes of `source`, so that recovering there may overwrite what is still to be
// recovered: the destination's file system lies on the source's region of a disk (through
// partitions, device-mapper, md, loop devices and FUSE mounts), or is made of the source's
// image file (mounted through a loop device or FUSE). An image file merely lying on the
// destination's file system is not: writing beside it leaves its bytes alone.
bool DestinationOnSource(const ScanSource& source, const std::string& destination);

}  // namespace velmora::app
