#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/byte_source.h"

namespace velmora {

// A byte range inside a region whose contents identify the medium.
struct FingerprintRange {
  uint64_t offset = 0;  // from the region start
  uint32_t length = 0;
};

// Cheap identity of what a region holds: a hex SHA-256 of its size, the image's
// last-write time (0 for devices), its boot area (first 64 KiB) and `ranges` (the
// first metadata of its file system). A saved scan is reused only while this is
// unchanged, since a device path or an image name can name other contents later.
// "" when the region cannot be read.
std::string FingerprintRegion(ByteSource& source, uint64_t region_offset, uint64_t region_bytes,
                              uint64_t write_time, const std::vector<FingerprintRange>& ranges);

// The fingerprint of the source a scan folder's logs were made from ("" when the
// folder has none, as folders of older versions).
std::string FolderFingerprint(const std::string& folder);
[[nodiscard]] int KeepFolderFingerprint(const std::string& folder, const std::string& fingerprint);

}  // namespace velmora
