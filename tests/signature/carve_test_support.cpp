#include "carve_test_support.h"

#include "deep/structure_tests.h"

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

}  // namespace velmora::testing
