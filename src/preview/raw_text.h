#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace velmora::preview {

// Bytes shown when a viewer fails.
constexpr size_t kRawTextBytes = 8192;

// One character per byte (Latin-1, as UTF-8), NUL shown as ".", "\r\n" after
// every 1024 bytes and after an incomplete last line.
std::string RawText(const uint8_t* data, size_t length);

// RawText of the first kRawTextBytes of a file; empty when it cannot be read.
std::string RawTextOfFile(const std::string& path);

}  // namespace velmora::preview
