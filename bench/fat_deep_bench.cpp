// Throughput of the FAT deep pass (directory tests, directory parsing, geometry
// inference, finish) over real FAT32 volumes made with mkfs.fat and mtools: an
// intact one, and the same volume re-formatted with another cluster size.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fat/deep_fat_recovery.h"
#include "fat/fat_entry_checks.h"
#include "storage/sector_reader.h"

namespace {

std::string ScratchFolder() {
  static const std::string folder = [] {
    char pattern[] = "/tmp/velmora-fat-bench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    return std::string(made ? made : "/tmp");
  }();
  return folder;
}

// 256 MiB FAT32 with 40 folders of 50 files; `reformat` formats it again afterwards.
std::string BuildImage(bool reformat) {
  const std::string folder = ScratchFolder();
  const std::string image = folder + (reformat ? "/reformatted.img" : "/intact.img");
  if (::access(image.c_str(), R_OK) == 0) return image;
  const std::string tree = folder + "/tree";
  std::mt19937 random(5);
  for (int d = 0; d < 40; ++d) {
    const std::string dir = tree + "/Folder number " + std::to_string(d);
    std::system(("mkdir -p '" + dir + "'").c_str());
    for (int f = 0; f < 50; ++f) {
      std::ofstream out(dir + "/file with a long name " + std::to_string(f) + ".bin",
                        std::ios::binary);
      std::string bytes(2000 + random() % 20000, '\0');
      for (char& c : bytes) c = static_cast<char>(random());
      out << bytes;
    }
  }
  std::string script = "export MTOOLS_SKIP_CHECK=1; mkfs.fat -F 32 -s 1 -C '" + image +
                       "' 262144 >/dev/null 2>&1 && mcopy -s -i '" + image + "' '" + tree +
                       "'/* :: >/dev/null 2>&1";
  if (reformat) script += " && mkfs.fat -F 32 -s 8 '" + image + "' >/dev/null 2>&1";
  if (std::system(script.c_str()) != 0) return "";
  return image;
}

void RunPass(benchmark::State& state, bool reformat) {
  const std::string image = BuildImage(reformat);
  if (image.empty()) {
    state.SkipWithError("mkfs.fat and mtools are needed");
    return;
  }
  velmora::SectorReader reader;
  if (velmora::OpenImageFile(&reader, image) != 0) {
    state.SkipWithError("image cannot be opened");
    return;
  }
  std::vector<uint8_t> buffer(65536);
  uint64_t records = 0;
  for (auto _ : state) {
    velmora::CProfessionalFatRecovery engine;
    engine.OpenImage(image, u'B');
    const std::string log = ScratchFolder() + "/log" + std::to_string(state.iterations());
    std::system(("rm -rf '" + log + "'").c_str());
    engine.ResetForScanIn(log, nullptr);
    engine.LoadBootGeometry();
    for (uint64_t sector = 0; sector < reader.total_sectors; sector += 128) {
      uint32_t got = 0;
      velmora::ReadSectors(&reader, 128, buffer.data(), sector, 512, &got);
      for (uint32_t i = 0; i < got; ++i) {
        const uint8_t* bytes = buffer.data() + i * 512;
        if (velmora::IsDirectoryStartSector(bytes, 512)) {
          engine.AddDirectoryStart(bytes, sector + i);
        } else if (velmora::IsDirectorySector(bytes, 512)) {
          engine.AddDirectorySector(bytes, sector + i);
        }
      }
    }
    engine.FinishScan();
    records = engine.GetRecordCount();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * reader.total_sectors * 512));
  state.counters["records"] = static_cast<double>(records);
}

void BM_FatDeepPassIntact(benchmark::State& state) { RunPass(state, false); }
void BM_FatDeepPassReformatted(benchmark::State& state) { RunPass(state, true); }

BENCHMARK(BM_FatDeepPassIntact)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FatDeepPassReformatted)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
