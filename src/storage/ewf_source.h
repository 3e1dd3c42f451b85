#pragma once

#include <memory>
#include <string>

#include "storage/byte_source.h"

namespace velmora {

// Opens the EWF evidence set that `path` belongs to (all its segments) as the media bytes it
// holds. 1392 with the library's reason in `error` when the set is damaged or incomplete;
// 50 when this build has no EWF support.
int OpenEwfSource(const std::string& path, std::shared_ptr<ByteSource>* out, std::string* error);

}  // namespace velmora
