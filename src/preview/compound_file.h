#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmora::preview {

// A named top-level stream of a compound file (.doc, .xls, .ppt), read through
// libgsf, at most `cap` bytes. False when the file or the stream is missing,
// damaged, or larger than `cap`.
bool ReadCompoundStream(const std::string& path, const char* stream, size_t cap,
                        std::vector<uint8_t>* out);

}  // namespace velmora::preview
