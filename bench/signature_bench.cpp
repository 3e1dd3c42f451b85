// Sector classification throughput: the identify walk and the boundary test over random
// sectors and over a mix of zeros, random data, text and planted file headers.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "signature/boundary.h"
#include "signature/identify_walk.h"

namespace {

constexpr size_t kSector = 512;
constexpr size_t kBufferBytes = 32 * 1024 * 1024;

std::vector<uint8_t> RandomBuffer(size_t bytes, uint32_t seed) {
  std::mt19937_64 engine(seed);
  std::vector<uint8_t> out(bytes);
  for (size_t i = 0; i + 8 <= bytes; i += 8) {
    const uint64_t v = engine();
    std::memcpy(out.data() + i, &v, 8);
  }
  return out;
}

// A quarter zeros, a quarter random, a quarter text, a quarter sectors starting with headers.
std::vector<uint8_t> MixedBuffer() {
  std::vector<uint8_t> out = RandomBuffer(kBufferBytes, 2);
  static const std::vector<std::string> headers = {
      std::string("\xFF\xD8\xFF\xE0\x00\x10JFIF", 10),
      "\x89PNG\r\n\x1A\n",
      "%PDF-1.7",
      "GIF89a",
      std::string("PK\x03\x04\x14\x00", 6),
      "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1",
      "8BPS",
      std::string("RIFF\x10\x00\x00\x00WAVEfmt ", 16),
      "FILE0",
      std::string("ID3\x03\x00\x00\x00\x00\x00\x10", 10)};
  const std::string text = "The quick brown fox jumps over the lazy dog. 0123456789\n";
  const size_t sectors = kBufferBytes / kSector;
  for (size_t s = 0; s < sectors; ++s) {
    uint8_t* sector = out.data() + s * kSector;
    switch (s % 4) {
      case 0: std::memset(sector, 0, kSector); break;
      case 1: break;
      case 2:
        for (size_t i = 0; i < kSector; ++i)
          sector[i] = static_cast<uint8_t>(text[(i + s) % text.size()]);
        break;
      case 3: {
        const std::string& h = headers[(s / 4) % headers.size()];
        std::memcpy(sector, h.data(), h.size());
        break;
      }
    }
  }
  return out;
}

const std::vector<uint8_t>& Random() {
  static const std::vector<uint8_t> buffer = RandomBuffer(kBufferBytes, 1);
  return buffer;
}
const std::vector<uint8_t>& Mixed() {
  static const std::vector<uint8_t> buffer = MixedBuffer();
  return buffer;
}

template <int (*Walk)(velmora::CarveContext&, const uint8_t*, size_t, int)>
void IdentifyEverySector(benchmark::State& state, const std::vector<uint8_t>& buffer) {
  velmora::CarveContext context;
  const size_t sectors = buffer.size() / kSector;
  for (auto _ : state) {
    int hits = 0;
    for (size_t s = 0; s < sectors; ++s) {
      hits += Walk(context, buffer.data() + s * kSector, kSector, velmora::kNoSignatureType) !=
              velmora::kNoSignatureType;
    }
    benchmark::DoNotOptimize(hits);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * sectors));
}

void BM_IdentifyWalk_Random(benchmark::State& state) {
  IdentifyEverySector<velmora::IdentifyType>(state, Random());
}
void BM_IdentifyWalk_Mixed(benchmark::State& state) {
  IdentifyEverySector<velmora::IdentifyType>(state, Mixed());
}
void BM_IdentifyWalkTableOrder_Random(benchmark::State& state) {
  IdentifyEverySector<velmora::IdentifyTypeInTableOrder>(state, Random());
}

// Boundary test over 64 KiB chunks, restarting after every boundary, as a length search does.
void BoundaryEverySector(benchmark::State& state, const std::vector<uint8_t>& buffer) {
  velmora::CarveContext context;
  constexpr size_t kChunk = 65536;
  for (auto _ : state) {
    int boundaries = 0;
    size_t at = 0;
    while (at < buffer.size()) {
      const size_t bytes = std::min(kChunk, buffer.size() - at);
      uint64_t length = 0;
      if (velmora::FindNextBoundary(context, bytes, buffer.data() + at, &length) != 0) {
        ++boundaries;
        at += length + kSector;
      } else {
        at += bytes;
      }
    }
    benchmark::DoNotOptimize(boundaries);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * buffer.size()));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * (buffer.size() / kSector)));
}

void BM_FindNextBoundary_Random(benchmark::State& state) { BoundaryEverySector(state, Random()); }
void BM_FindNextBoundary_Mixed(benchmark::State& state) { BoundaryEverySector(state, Mixed()); }

BENCHMARK(BM_IdentifyWalk_Random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdentifyWalk_Mixed)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_IdentifyWalkTableOrder_Random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindNextBoundary_Random)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindNextBoundary_Mixed)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
