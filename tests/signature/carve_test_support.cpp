#include "carve_test_support.h"

#include "deep/structure_classifier.h"
#include <gtest/gtest.h>

#include "storage/error_codes.h"
#include "support/test_env.h"

namespace velmora::testing {

CarveContext CarvingContext() {
  CarveContext context = CarveContext::ForMeasuring();
  context.structure_tests = FileSystemStructureTests();
  return context;
}

CarveContext IdentifyingContext() {
  CarveContext context;
  context.structure_tests = FileSystemStructureTests();
  return context;
}

namespace {

uint64_t SectorsFor(size_t bytes) {
  return (bytes + PlantedImage::kSectorSize - 1) / PlantedImage::kSectorSize;
}

}  // namespace

PlantedFile::PlantedFile(const std::vector<uint8_t>& file, uint32_t seed)
    : data(file),
      image(kStart + SectorsFor(file.size()) + 2 * kRandomAfter + 1, seed),
      boundary(kStart + SectorsFor(file.size()) + kRandomAfter) {
  image.Plant(kStart, data);
  image.PlantBoundary(boundary);
}

int PlantedFile::Carve(CarveResult* result, CarveContext* context) {
  CarveContext own = CarvingContext();
  CarveContext& used = context ? *context : own;
  SectorReader* reader = image.Open();
  return IdentifyAndMeasure(used, PlantedImage::kSectorSize, reader, image.SectorData(kStart),
                            PlantedImage::kSectorSize, kStart, CarveProgress{}, result);
}

std::map<uint64_t, std::vector<uint8_t>> CarveEverySector(const std::string& image_path) {
  const std::vector<uint8_t> image = ReadWholeFile(image_path);
  SectorReader reader;
  EXPECT_EQ(OpenImageFile(&reader, image_path), kSuccess);
  CarveContext context = CarveContext::ForMeasuring();
  std::map<uint64_t, std::vector<uint8_t>> carved;
  const uint64_t sectors = image.size() / PlantedImage::kSectorSize;
  for (uint64_t s = 0; s < sectors;) {
    CarveResult result;
    const uint8_t* sector = image.data() + s * PlantedImage::kSectorSize;
    if (IdentifyAndMeasure(context, PlantedImage::kSectorSize, &reader, sector,
                           PlantedImage::kSectorSize, s, CarveProgress{}, &result) != kSuccess ||
        result.length == 0) {
      ++s;
      continue;
    }
    carved.emplace(s, std::vector<uint8_t>(sector, sector + result.length));
    s += ScanSkipsCarvedFile(result.type) ? SectorsFor(result.length) : 1;
  }
  return carved;
}

}  // namespace velmora::testing
