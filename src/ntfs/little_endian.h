#pragma once

#include "storage/byte_view.h"

namespace velmora::ntfs {

using velmora::LoadLe;
using velmora::ReadLe;
using velmora::SliceOf;

}  // namespace velmora::ntfs
