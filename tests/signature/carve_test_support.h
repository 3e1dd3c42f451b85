#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "signature/signature_catalogue.h"
#include "support/planted_image.h"

namespace velmora::testing {

// Contexts as the deep engine sets them up: NTFS records and FAT directory sectors
// end a carved file.
CarveContext CarvingContext();      // able to measure lengths
CarveContext IdentifyingContext();  // identification only

// An image laid out as: 8 random sectors, the file (its last sector zero-filled behind
// it), 40 random sectors, a boundary sector, 40 random sectors.
struct PlantedFile {
  static constexpr uint64_t kStart = 8;
  static constexpr uint64_t kRandomAfter = 40;

  explicit PlantedFile(const std::vector<uint8_t>& file, uint32_t seed = 11);

  // The length a rule that stops at the next boundary must give.
  uint64_t BytesToBoundary() const { return (boundary - kStart) * PlantedImage::kSectorSize; }
  // IdentifyAndMeasure on the file's first sector.
  int Carve(CarveResult* result, CarveContext* context = nullptr);

  std::vector<uint8_t> data;
  PlantedImage image;
  uint64_t boundary;
};

// Carves every file that starts at a sector of the image, going on after each carved file
// where the catalogue says so (the order a signature sweep uses); keyed by first sector.
std::map<uint64_t, std::vector<uint8_t>> CarveEverySector(const std::string& image_path);

}  // namespace velmora::testing
