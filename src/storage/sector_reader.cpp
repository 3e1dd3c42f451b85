#include "storage/sector_reader.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "storage/error_codes.h"

namespace velmora {

namespace {
constexpr size_t kTransferChunk = 65536;
}

SectorReader::SectorReader(SectorReader&& other) noexcept
    : handle(std::exchange(other.handle, platform::kInvalidHandle)),
      total_sectors(std::exchange(other.total_sectors, 0)),
      device_sector_size(other.device_sector_size) {}

SectorReader& SectorReader::operator=(SectorReader&& other) noexcept {
  if (this != &other) {
    Close();
    handle = std::exchange(other.handle, platform::kInvalidHandle);
    total_sectors = std::exchange(other.total_sectors, 0);
    device_sector_size = other.device_sector_size;
  }
  return *this;
}

SectorReader::~SectorReader() { Close(); }

void SectorReader::Close() {
  platform::CloseHandle(&handle);
  total_sectors = 0;
}

int OpenPhysicalDrive(SectorReader* reader, int disk_number) {
  reader->Close();
  const std::string path = platform::PhysicalDrivePath(disk_number);
  if (path.empty()) return kErrFileNotFound;
  int err = platform::OpenSourceReadOnly(path, &reader->handle);
  if (err != kSuccess) return err;
  int sector_size = 512;
  platform::QueryLogicalSectorSize(reader->handle, &sector_size);
  reader->device_sector_size = sector_size;
  uint64_t bytes = 0;
  err = platform::QuerySourceSize(reader->handle, &bytes);
  if (err != kSuccess) return err;
  reader->total_sectors = bytes / static_cast<uint64_t>(sector_size);
  return kSuccess;
}

int OpenImageFile(SectorReader* reader, const std::string& path) {
  reader->Close();
  int err = platform::OpenSourceReadOnly(path, &reader->handle);
  if (err != kSuccess) return err;
  reader->device_sector_size = 512;
  uint64_t bytes = 0;
  err = platform::QuerySourceSize(reader->handle, &bytes);
  if (err != kSuccess) return err;
  reader->total_sectors = bytes / 512;
  return kSuccess;
}

int ReadSectors(SectorReader* reader, int32_t count, void* buffer, uint64_t start_sector,
                int32_t sector_size, uint32_t* sectors_read) {
  if (!reader->IsOpen() || count < 0 || sector_size <= 0) return kErrInvalidParameter;
  const uint64_t end = start_sector + static_cast<uint64_t>(count);
  if (end < start_sector || end > reader->total_sectors) return kErrInvalidParameter;
  const uint64_t offset = start_sector * static_cast<uint64_t>(sector_size);
  const uint64_t length = static_cast<uint64_t>(count) * static_cast<uint64_t>(sector_size);
  auto* out = static_cast<uint8_t*>(buffer);
  uint64_t done = 0;
  int result = kSuccess;
  while (done < length) {
    const size_t chunk = static_cast<size_t>(std::min<uint64_t>(kTransferChunk, length - done));
    size_t got = 0;
    result = platform::ReadAt(reader->handle, out + done, chunk, offset + done, &got);
    done += got;
    if (result != kSuccess) {
      result = kErrReadFault;
      break;
    }
  }
  if (sectors_read) *sectors_read = static_cast<uint32_t>(done / static_cast<uint64_t>(sector_size));
  return result;
}

int ReadFully(platform::FileHandle handle, size_t length, void* buffer, size_t* got) {
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    const size_t chunk = std::min(kTransferChunk, length - done);
    const ssize_t n = ::read(handle, out + done, chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (got) *got = done;
      return kErrReadFault;
    }
    done += static_cast<size_t>(n);
  }
  if (got) *got = done;
  return kSuccess;
}

int GetImageFileSize(const std::string& path, uint64_t* size) {
  platform::FileHandle handle = platform::kInvalidHandle;
  int err = platform::OpenSourceReadOnly(path, &handle);
  if (err != kSuccess) return err;
  err = platform::QuerySourceSize(handle, size);
  platform::CloseHandle(&handle);
  return err;
}

void FlushVolume(const std::string& device_path) { platform::FlushDevice(device_path); }

}  // namespace velmora
