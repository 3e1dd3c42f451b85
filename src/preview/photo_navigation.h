#pragma once

#include <cstddef>
#include <optional>

#include "engine/scan_record.h"

namespace velmora::preview {

// The preview window's previous/next over the photos of the result list:
// from `current`, the nearest other record whose extension is in the photo
// list, going forward or backward and wrapping around; none when there is
// no other photo or `current` is not in the list. Records are matched by
// their engine and log position, so two files that share a first cluster
// are never confused.
std::optional<size_t> AdjacentPhoto(const ScanRecordList& list, const ScanRecord& current,
                                    bool forward);

}  // namespace velmora::preview
