#pragma once

#include <string>

namespace velmora::preview {

enum class Container { kUnknown, kCompound, kZip, kRtf, kPdf };

// What the first bytes of a file say it is.
Container SniffContainer(const std::string& path);

// The first `cap` bytes of a file; false when it cannot be opened.
bool ReadFileHead(const std::string& path, size_t cap, std::string* out);

}  // namespace velmora::preview
