#pragma once

#include <cstddef>
#include <cstdint>

#include "storage/mapped_image.h"
#include "storage/sector_reader.h"

namespace velmora {

// The FAT engines': a live file now owns the deleted file's first cluster.
constexpr int kErrClusterOfLiveFile = 20001;  // an ordinary failure, not a stop

// Reads of one FAT volume inside an opened drive or image, in the volume's own
// sector size, never past the volume end.
class FatVolume {
 public:
  // `start` and `length` count the reader's own sectors (512 bytes for images).
  void Bind(SectorReader* reader, uint64_t start, uint64_t length);
  void SetSectorSize(uint32_t bytes_per_sector) { bytes_per_sector_ = bytes_per_sector; }
  // The volume's size by its boot sector: reads past the source's end but inside it fail with
  // kErrBeyondSourceEnd (an image cut short) rather than as an invalid location.
  void SetDeclaredBytes(uint64_t bytes) { declared_bytes_ = bytes; }
  bool CutShort() const { return declared_bytes_ > byte_length_; }

  uint32_t SectorSize() const { return bytes_per_sector_; }
  uint64_t SectorCount() const { return byte_length_ / bytes_per_sector_; }
  uint64_t ByteLength() const { return byte_length_; }
  // Volume start in the reader's sectors (the record's partition start).
  uint64_t StartSector() const { return start_; }
  // The descriptor of the file or device the volume lies on; invalid for other sources.
  platform::FileHandle Reader() const {
    return reader_ != nullptr ? reader_->FileHandle() : platform::kInvalidHandle;
  }

  // Reads `count` sectors at `sector` (relative to the volume start).
  // 87 past the volume end, kErrBeyondSourceEnd past the source's; 30 when nothing arrived.
  int Read(uint64_t sector, uint32_t count, void* buffer, uint32_t* sectors_read) const;
  // Reads bytes at a byte offset inside the volume, in reader-sector steps.
  int ReadBytes(uint64_t offset, size_t length, void* buffer) const;
  // The same sectors in place, through `image` when it maps the file the volume lies in
  // (no copy); null otherwise or past the volume's end. Valid until the image's next view.
  const uint8_t* View(MappedImage* image, uint64_t sector, uint32_t count) const;

 private:
  SectorReader* reader_ = nullptr;
  uint64_t start_ = 0;
  uint64_t byte_length_ = 0;
  uint64_t declared_bytes_ = 0;
  uint32_t bytes_per_sector_ = 512;
};

}  // namespace velmora
