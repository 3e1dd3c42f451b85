#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "storage/byte_source.h"
#include "storage/platform_device.h"

namespace velmora {

// An open drive, image or other byte source with the number of sectors that may be read from
// it. Sector numbers are absolute on the opened object. Never writes. Readers opened on the
// same source share it.
struct SectorReader {
  std::shared_ptr<ByteSource> source;
  // Counted in the device's own sector size for drives, in 512-byte units for images.
  uint64_t total_sectors = 0;
  // Logical sector size of a drive; 512 for image files.
  int device_sector_size = 512;

  SectorReader() = default;
  SectorReader(const SectorReader&) = delete;
  SectorReader& operator=(const SectorReader&) = delete;
  SectorReader(SectorReader&& other) noexcept;
  SectorReader& operator=(SectorReader&& other) noexcept;
  ~SectorReader();

  bool IsOpen() const { return source != nullptr; }
  void Close();
  // The file or device descriptor behind a plain file or device source; invalid for memory,
  // windows and containers, which have no descriptor to map or query.
  platform::FileHandle FileHandle() const {
    return source ? source->FileHandle() : platform::kInvalidHandle;
  }
};

// Opens physical drive `disk_number` (see platform::PhysicalDrivePath).
int OpenPhysicalDrive(SectorReader* reader, int disk_number);
// Opens an image file (or any path, block devices and EWF evidence sets included) as 512-byte
// sectors.
int OpenImageFile(SectorReader* reader, const std::string& path);
// Reads an already open source as 512-byte sectors (a trailing partial sector is unreadable).
int OpenSourceReader(SectorReader* reader, std::shared_ptr<ByteSource> source);
// Reads bytes held in memory as an image: parsers, engines and fuzzers run without files.
int OpenMemorySource(SectorReader* reader, std::vector<uint8_t> bytes);
// The same over bytes the caller keeps alive while the reader is used.
int OpenMemorySource(SectorReader* reader, std::span<const uint8_t> bytes);

// Reads `count` sectors of `sector_size` bytes starting at `start_sector`.
// 87 when the read would pass the end; 30 on a short read, with `sectors_read`
// telling how many whole sectors arrived.
int ReadSectors(SectorReader* reader, int32_t count, void* buffer, uint64_t start_sector,
                int32_t sector_size, uint32_t* sectors_read);

// While one lives on a thread, ReadSectors on that thread does not fail on unreadable
// sectors: a read that fails is tried again sector by sector, and the sectors that still
// fail read as zeros and are noted here as byte ranges of the source. A recovered file over a
// bad spot is copied this way, zeros where the medium fails, as an image copy is, instead of
// failing whole. Scopes nest; the innermost one collects.
class UnreadableSalvage {
 public:
  struct Range {
    uint64_t offset = 0;  // bytes from the start of the source
    uint64_t length = 0;
  };

  UnreadableSalvage();
  ~UnreadableSalvage();
  UnreadableSalvage(const UnreadableSalvage&) = delete;
  UnreadableSalvage& operator=(const UnreadableSalvage&) = delete;

  // In the order met, touching ranges joined.
  const std::vector<Range>& Ranges() const { return ranges_; }
  uint64_t Bytes() const { return bytes_; }
  void Note(uint64_t offset, uint64_t length);
  // The scope collecting on this thread, or null.
  static UnreadableSalvage* Active();

 private:
  UnreadableSalvage* outer_;
  std::vector<Range> ranges_;
  uint64_t bytes_ = 0;
};

// Reads exactly `length` bytes from the current position of an ordinary file.
int ReadFully(platform::FileHandle handle, size_t length, void* buffer, size_t* got);

int GetImageFileSize(const std::string& path, uint64_t* size);

// Flushes the cached data of a mounted device before its sectors are read raw.
void FlushVolume(const std::string& device_path);

}  // namespace velmora
