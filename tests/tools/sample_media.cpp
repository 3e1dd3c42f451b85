#include "tools/sample_media.h"

#include <stdexcept>
#include <string>

#include "support/content_gen.h"

namespace velmora::tools {

namespace {

void PutBe32(std::vector<uint8_t>* out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

void PutLe32(std::vector<uint8_t>* out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out->push_back(static_cast<uint8_t>(value >> shift));
}

void PutLe16(std::vector<uint8_t>* out, uint16_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

void PutText(std::vector<uint8_t>* out, const char* text) {
  for (const char* c = text; *c; ++c) out->push_back(static_cast<uint8_t>(*c));
}

void Append(std::vector<uint8_t>* out, const std::vector<uint8_t>& bytes) {
  out->insert(out->end(), bytes.begin(), bytes.end());
}

void Require(bool condition, const std::string& what) {
  if (!condition) throw std::invalid_argument(what);
}

}  // namespace

std::vector<uint8_t> Mp4Sample(size_t size, uint64_t seed) {
  Require(size >= 256 && size < 0xFFFFFFFFu, "Mp4Sample: size out of range");
  std::vector<uint8_t> out;
  PutBe32(&out, 28);  // header, major brand, minor version, three compatible brands
  PutText(&out, "ftypisom");
  PutBe32(&out, 0x200);
  PutText(&out, "isomiso2mp41");
  // moov { mvhd version 0 }: 8 + (8 + 100) bytes.
  PutBe32(&out, 8 + 108);
  PutText(&out, "moov");
  PutBe32(&out, 108);
  PutText(&out, "mvhd");
  PutBe32(&out, 0);           // version, flags
  PutBe32(&out, 0);           // created
  PutBe32(&out, 0);           // modified
  PutBe32(&out, 1000);        // time scale
  PutBe32(&out, 5000);        // duration
  PutBe32(&out, 0x00010000);  // rate 1.0
  out.push_back(0x01);        // volume 1.0
  out.push_back(0x00);
  out.insert(out.end(), 10, 0);  // reserved
  const uint32_t matrix[9] = {0x00010000, 0, 0, 0, 0x00010000, 0, 0, 0, 0x40000000};
  for (uint32_t value : matrix) PutBe32(&out, value);
  out.insert(out.end(), 24, 0);  // pre-defined
  PutBe32(&out, 2);              // next track id
  const size_t mdat_size = size - out.size();
  PutBe32(&out, static_cast<uint32_t>(mdat_size));
  PutText(&out, "mdat");
  Append(&out, testing::RandomBytes(mdat_size - 8, seed));
  return out;
}

std::vector<uint8_t> AviSample(size_t size, uint64_t seed) {
  Require(size >= 512 && size % 2 == 0 && size < 0xFFFFFFFFu,
          "AviSample: size must be even, 512 or more");
  std::vector<uint8_t> out;
  PutText(&out, "RIFF");
  PutLe32(&out, static_cast<uint32_t>(size - 8));
  PutText(&out, "AVI ");
  // LIST hdrl { avih (56 bytes) }
  PutText(&out, "LIST");
  PutLe32(&out, 4 + 8 + 56);
  PutText(&out, "hdrl");
  PutText(&out, "avih");
  PutLe32(&out, 56);
  const uint32_t avih[14] = {40000, 0, 0, 0x10, 25, 0, 1, 0, 320, 240, 0, 0, 0, 0};
  for (uint32_t value : avih) PutLe32(&out, value);
  // LIST movi { 00dc chunks }, the last chunk takes what is left.
  const size_t movi_start = out.size();
  PutText(&out, "LIST");
  PutLe32(&out, static_cast<uint32_t>(size - movi_start - 8));
  PutText(&out, "movi");
  uint64_t chunk_seed = seed;
  while (out.size() < size) {
    const size_t left = size - out.size();
    size_t payload = left - 8;
    if (left > 8 + 4096 + 8 + 16) payload = 4096;
    PutText(&out, "00dc");
    PutLe32(&out, static_cast<uint32_t>(payload));
    Append(&out, testing::RandomBytes(payload, ++chunk_seed));
  }
  return out;
}

std::vector<uint8_t> WavSample(size_t size, uint64_t seed) {
  Require(size >= 64 && size % 2 == 0 && size < 0xFFFFFFFFu,
          "WavSample: size must be even, 64 or more");
  std::vector<uint8_t> out;
  PutText(&out, "RIFF");
  PutLe32(&out, static_cast<uint32_t>(size - 8));
  PutText(&out, "WAVEfmt ");
  PutLe32(&out, 16);
  PutLe16(&out, 1);      // PCM
  PutLe16(&out, 2);      // channels
  PutLe32(&out, 44100);  // sample rate
  PutLe32(&out, 44100 * 4);
  PutLe16(&out, 4);   // block align
  PutLe16(&out, 16);  // bits per sample
  PutText(&out, "data");
  PutLe32(&out, static_cast<uint32_t>(size - out.size() - 4));
  Append(&out, testing::RandomBytes(size - out.size(), seed));
  return out;
}

}  // namespace velmora::tools
