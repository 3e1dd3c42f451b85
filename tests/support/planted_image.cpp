#include "support/planted_image.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora::testing {

std::vector<uint8_t> NoiseBytes(size_t count, uint32_t seed) {
  std::mt19937 engine(seed);
  std::vector<uint8_t> out(count);
  for (auto& b : out) b = static_cast<uint8_t>(engine() >> 24);
  return out;
}

PlantedImage::PlantedImage(uint64_t sectors, uint32_t seed)
    : bytes_(NoiseBytes(sectors * kSectorSize, seed)), dir_(MakeTempDir("planted")) {
  path_ = dir_ + "/image.img";
}

PlantedImage::~PlantedImage() {
  reader_.Close();
  RemoveTree(dir_);
}

uint64_t PlantedImage::Plant(uint64_t sector, const std::vector<uint8_t>& data) {
  const uint64_t sectors = (data.size() + kSectorSize - 1) / kSectorSize;
  if ((sector + sectors) * kSectorSize > bytes_.size()) throw std::out_of_range("plant past end");
  std::memset(SectorData(sector), 0, sectors * kSectorSize);
  if (!data.empty()) std::memcpy(SectorData(sector), data.data(), data.size());
  return sector + sectors;
}

void PlantedImage::PlantBoundary(uint64_t sector) {
  std::memset(SectorData(sector), 0, kSectorSize);
  std::memcpy(SectorData(sector), "FILE0", 5);
}

void PlantedImage::Fill(uint64_t sector, uint64_t count, uint8_t value) {
  std::memset(SectorData(sector), value, count * kSectorSize);
}

SectorReader* PlantedImage::Open() {
  reader_.Close();
  {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes_.data()),
              static_cast<std::streamsize>(bytes_.size()));
  }
  if (OpenImageFile(&reader_, path_) != kSuccess) throw std::runtime_error("cannot open image");
  return &reader_;
}

}  // namespace velmora::testing
