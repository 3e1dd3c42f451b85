#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmora {

// What an image copy knows about each byte range of its image, so that a stopped or crashed
// copy goes on where it was (in the manner of a rescue map).
enum class MapStatus : char {
  kCopied = '+',      // read and written
  kUnreadable = '-',  // could not be read; zeros (or a hole) in the image
  kUntried = '?',     // not read yet
};

struct MapRange {
  uint64_t offset = 0;  // in the image, bytes
  uint64_t length = 0;
  MapStatus status = MapStatus::kUntried;
};

// The state of one copy: which source region goes into the image, and the ranges, which are
// sorted, contiguous, whole sectors, and cover the image exactly.
struct ImageMap {
  std::string source;  // shown in the header only
  uint32_t sector_size = 512;
  uint64_t first_sector = 0;  // on the source
  uint64_t sector_count = 0;
  std::vector<MapRange> ranges;

  uint64_t ImageBytes() const { return sector_count * sector_size; }
  // A new copy: everything untried.
  void Reset(uint32_t size, uint64_t first, uint64_t count);
  // Sets [offset, offset + length) to `status`, merging neighbours of the same status.
  void Mark(uint64_t offset, uint64_t length, MapStatus status);
  uint64_t BytesWith(MapStatus status) const;
  std::vector<MapRange> RangesWith(MapStatus status) const;
  bool SameCopyAs(const ImageMap& other) const {
    return sector_size == other.sector_size && first_sector == other.first_sector &&
           sector_count == other.sector_count;
  }
};

std::string FormatImageMap(const ImageMap& map);
// Refuses anything but a complete map of this format (a comment header, the three identity
// lines, ranges that tile the image in whole sectors); `error` says what is wrong.
bool ParseImageMap(std::string_view text, ImageMap* map, std::string* error);

// The map file beside an image. Never follows a symbolic link, never writes into a file it did
// not create: a new map is written to a fresh temporary file in the same folder and renamed
// over the old one, so a crash leaves either map whole.
enum class MapFileState { kAbsent, kValid, kRefused };
MapFileState LoadImageMapFile(const std::string& path, ImageMap* map, std::string* error);
int SaveImageMapFile(const std::string& path, const ImageMap& map);

}  // namespace velmora
