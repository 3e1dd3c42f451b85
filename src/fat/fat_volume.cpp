#include "fat/fat_volume.h"

#include "storage/error_codes.h"

namespace velmora {

void FatVolume::Bind(SectorReader* reader, uint64_t start, uint64_t length) {
  reader_ = reader;
  start_ = start;
  const uint64_t unit = reader ? static_cast<uint64_t>(reader->device_sector_size) : 512;
  byte_length_ = length * unit;
}

int FatVolume::ReadBytes(uint64_t offset, size_t length, void* buffer) const {
  if (reader_ == nullptr || !reader_->IsOpen()) return kErrInvalidParameter;
  const uint64_t unit = static_cast<uint64_t>(reader_->device_sector_size);
  if (unit == 0 || offset % unit != 0 || length % unit != 0) return kErrInvalidParameter;
  if (offset > byte_length_ || length > byte_length_ - offset) {
    return offset <= declared_bytes_ && length <= declared_bytes_ - offset ? kErrBeyondSourceEnd
                                                                           : kErrInvalidParameter;
  }
  uint32_t got = 0;
  const uint64_t units = length / unit;
  if (units > INT32_MAX) return kErrInvalidParameter;
  return ReadSectors(reader_, static_cast<int32_t>(units), buffer, start_ + offset / unit,
                     static_cast<int32_t>(unit), &got);
}

int FatVolume::Read(uint64_t sector, uint32_t count, void* buffer, uint32_t* sectors_read) const {
  if (sectors_read) *sectors_read = 0;
  if (reader_ == nullptr || !reader_->IsOpen()) return kErrInvalidParameter;
  const uint64_t unit = static_cast<uint64_t>(reader_->device_sector_size);
  if (unit == 0 || bytes_per_sector_ % unit != 0) return kErrInvalidParameter;
  if (count == 0) return kSuccess;
  const uint64_t sectors = SectorCount();
  if (sector > sectors || count > sectors - sector) {
    const uint64_t declared = declared_bytes_ / bytes_per_sector_;
    return sector <= declared && count <= declared - sector ? kErrBeyondSourceEnd
                                                            : kErrInvalidParameter;
  }
  const uint64_t per = bytes_per_sector_ / unit;
  const uint64_t units = static_cast<uint64_t>(count) * per;
  if (units > INT32_MAX) return kErrInvalidParameter;
  uint32_t got_units = 0;
  const int result = ReadSectors(reader_, static_cast<int32_t>(units), buffer,
                                 start_ + sector * per, static_cast<int32_t>(unit), &got_units);
  const uint32_t got = result == kSuccess ? count : static_cast<uint32_t>(got_units / per);
  if (sectors_read) *sectors_read = got;
  if (result != kSuccess && got == 0)
    return result == kErrInvalidParameter ? result : kErrReadFault;
  return result;
}

const uint8_t* FatVolume::View(MappedImage* image, uint64_t sector, uint32_t count) const {
  if (image == nullptr || reader_ == nullptr || !reader_->IsOpen() || count == 0 ||
      image->Handle() != reader_->FileHandle()) {
    return nullptr;
  }
  const uint64_t unit = static_cast<uint64_t>(reader_->device_sector_size);
  if (unit == 0 || bytes_per_sector_ % unit != 0) return nullptr;
  const uint64_t sectors = SectorCount();
  if (sector > sectors || count > sectors - sector) return nullptr;
  const uint64_t per = bytes_per_sector_ / unit;
  const uint64_t first = start_ + sector * per;
  const uint64_t units = static_cast<uint64_t>(count) * per;
  // What a read would refuse is not shown either.
  if (first > reader_->total_sectors || units > reader_->total_sectors - first) return nullptr;
  return image->View(first * unit, static_cast<size_t>(units * unit));
}

}  // namespace velmora
