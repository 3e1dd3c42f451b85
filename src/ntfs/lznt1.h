#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velmora::ntfs {

// Decompresses one NTFS compression unit (LZNT1: a sequence of chunks of at most
// 4096 output bytes each, ended by a zero header or the end of the input) into
// `out`. Every back reference is checked against the chunk start and `out`.
// Output space not covered by the chunks is left untouched; `produced` is the
// number of bytes written. False on malformed input (what was decoded stays).
bool DecompressLznt1(std::span<const uint8_t> in, std::span<uint8_t> out, size_t* produced);

}  // namespace velmora::ntfs
