#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "storage/sector_reader.h"
#include "support/loop_device.h"  // ReadWholeFile

namespace velmora::testing {

// A synthetic raw image of 512-byte sectors filled with seeded random bytes, into which
// files and hand-made sectors are planted at sector boundaries. Written to a temporary
// file and opened as a source on demand.
class PlantedImage {
 public:
  static constexpr size_t kSectorSize = 512;

  PlantedImage(uint64_t sectors, uint32_t seed);
  ~PlantedImage();
  PlantedImage(const PlantedImage&) = delete;
  PlantedImage& operator=(const PlantedImage&) = delete;

  // Copies `data` to the start of `sector`, zero-filling the rest of its last sector.
  // Returns the first sector after it.
  uint64_t Plant(uint64_t sector, const std::vector<uint8_t>& data);
  // Puts a sector that ends every carved file: the start of an NTFS file record.
  void PlantBoundary(uint64_t sector);
  void Fill(uint64_t sector, uint64_t count, uint8_t value);

  uint8_t* SectorData(uint64_t sector) { return bytes_.data() + sector * kSectorSize; }
  uint64_t SectorCount() const { return bytes_.size() / kSectorSize; }
  std::vector<uint8_t>& Bytes() { return bytes_; }

  // Writes the image (again) and opens it; the reader stays valid until the next call.
  SectorReader* Open();
  const std::string& Path() const { return path_; }

 private:
  std::vector<uint8_t> bytes_;
  std::string dir_;
  std::string path_;
  SectorReader reader_;
};

// Seeded random bytes (the image filling).
std::vector<uint8_t> NoiseBytes(size_t count, uint32_t seed);

}  // namespace velmora::testing
