#pragma once

// Small but well-formed audio and video files for the sample images, so carvers that
// walk the container structure measure them exactly. The same (size, seed) gives the same bytes.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmora::tools {

// ISO base media: ftyp, moov with an mvhd, mdat filling the rest. At least 256 bytes.
std::vector<uint8_t> Mp4Sample(size_t size, uint64_t seed);
// RIFF AVI: hdrl list with an avih header, movi list of "00dc" chunks. At least 512 bytes, even
// size.
std::vector<uint8_t> AviSample(size_t size, uint64_t seed);
// RIFF WAVE: 16-bit stereo PCM at 44.1 kHz. At least 64 bytes, even size.
std::vector<uint8_t> WavSample(size_t size, uint64_t seed);

}  // namespace velmora::tools
