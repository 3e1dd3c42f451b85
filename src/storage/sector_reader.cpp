#include "storage/sector_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "storage/error_codes.h"

namespace velmora {

namespace {
constexpr size_t kTransferChunk = 65536;
}

SectorReader::SectorReader(SectorReader&& other) noexcept
    : source(std::move(other.source)),
      total_sectors(std::exchange(other.total_sectors, 0)),
      device_sector_size(other.device_sector_size) {}

SectorReader& SectorReader::operator=(SectorReader&& other) noexcept {
  if (this != &other) {
    Close();
    source = std::move(other.source);
    total_sectors = std::exchange(other.total_sectors, 0);
    device_sector_size = other.device_sector_size;
  }
  return *this;
}

SectorReader::~SectorReader() { Close(); }

void SectorReader::Close() {
  source.reset();
  total_sectors = 0;
}

int OpenPhysicalDrive(SectorReader* reader, int disk_number) {
  reader->Close();
  const std::string path = platform::PhysicalDrivePath(disk_number);
  if (path.empty()) return kErrFileNotFound;
  std::shared_ptr<ByteSource> source;
  const int err = OpenByteSource(path, &source);
  if (err != kSuccess) return err;
  const uint32_t sector_size = source->SectorSize();
  reader->device_sector_size = static_cast<int>(sector_size);
  reader->total_sectors = source->Size() / sector_size;
  reader->source = std::move(source);
  return kSuccess;
}

int OpenImageFile(SectorReader* reader, const std::string& path) {
  reader->Close();
  std::shared_ptr<ByteSource> source;
  const int err = OpenByteSource(path, &source);
  if (err != kSuccess) return err;
  return OpenSourceReader(reader, std::move(source));
}

int OpenSourceReader(SectorReader* reader, std::shared_ptr<ByteSource> source) {
  reader->Close();
  if (!source) return kErrInvalidParameter;
  reader->device_sector_size = 512;
  reader->total_sectors = source->Size() / 512;
  reader->source = std::move(source);
  return kSuccess;
}

int OpenMemorySource(SectorReader* reader, std::vector<uint8_t> bytes) {
  return OpenSourceReader(reader, MakeMemorySource(std::move(bytes)));
}

int OpenMemorySource(SectorReader* reader, std::span<const uint8_t> bytes) {
  return OpenSourceReader(reader, MakeBorrowedMemorySource(bytes));
}

namespace {

thread_local UnreadableSalvage* g_salvage = nullptr;

int ReadSectorsOnce(SectorReader* reader, int32_t count, void* buffer, uint64_t start_sector,
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
    // A caller's sector size larger than the counting unit can reach past the source's end:
    // what is there arrives, the rest is a short read.
    const uint64_t size = reader->source->Size();
    const uint64_t at = offset + done;
    const size_t available =
        at >= size ? 0 : static_cast<size_t>(std::min<uint64_t>(chunk, size - at));
    size_t got = 0;
    result =
        available == 0 ? kErrReadFault : reader->source->ReadAt(at, out + done, available, &got);
    done += got;
    if (result != kSuccess || available < chunk) {
      result = kErrReadFault;
      break;
    }
  }
  if (sectors_read)
    *sectors_read = static_cast<uint32_t>(done / static_cast<uint64_t>(sector_size));
  return result;
}

}  // namespace

UnreadableSalvage::UnreadableSalvage() : outer_(g_salvage) { g_salvage = this; }

UnreadableSalvage::~UnreadableSalvage() { g_salvage = outer_; }

UnreadableSalvage* UnreadableSalvage::Active() { return g_salvage; }

void UnreadableSalvage::Note(uint64_t offset, uint64_t length) {
  if (length == 0) return;
  bytes_ += length;
  if (!ranges_.empty() && ranges_.back().offset + ranges_.back().length == offset) {
    ranges_.back().length += length;
    return;
  }
  ranges_.push_back({offset, length});
}

int ReadSectors(SectorReader* reader, int32_t count, void* buffer, uint64_t start_sector,
                int32_t sector_size, uint32_t* sectors_read) {
  uint32_t got = 0;
  int result = ReadSectorsOnce(reader, count, buffer, start_sector, sector_size, &got);
  if (result == kErrInvalidParameter) return result;  // refused: no count either
  UnreadableSalvage* salvage = g_salvage;
  if (result == kErrReadFault && salvage != nullptr) {
    // Whatever one sector at a time still gives is kept; the rest reads as zeros.
    const size_t bytes = static_cast<size_t>(sector_size);
    auto* out = static_cast<uint8_t*>(buffer);
    const uint64_t size = reader->source->Size();
    for (uint32_t i = got; i < static_cast<uint32_t>(count); ++i) {
      uint8_t* sector = out + static_cast<size_t>(i) * bytes;
      const uint64_t at = (start_sector + i) * static_cast<uint64_t>(sector_size);
      // A sector reaching past the source's end keeps what is there.
      const size_t available =
          at >= size ? 0 : static_cast<size_t>(std::min<uint64_t>(bytes, size - at));
      size_t arrived = 0;
      if (available == 0 ||
          reader->source->ReadSectorAt(at, sector, available, &arrived) != kSuccess ||
          arrived != available) {
        std::memset(sector, 0, bytes);
        salvage->Note(at, bytes);
      } else if (available < bytes) {
        std::memset(sector + available, 0, bytes - available);
        salvage->Note(at + available, bytes - available);
      }
    }
    got = static_cast<uint32_t>(count);
    result = kSuccess;
  }
  if (sectors_read) *sectors_read = got;
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
  std::shared_ptr<ByteSource> source;
  const int err = OpenByteSource(path, &source);
  if (err != kSuccess) return err;
  *size = source->Size();
  return kSuccess;
}

void FlushVolume(const std::string& device_path) { platform::FlushDevice(device_path); }

}  // namespace velmora
