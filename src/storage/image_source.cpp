#include "storage/image_source.h"

#include "storage/byte_source.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

class DeviceImageSource final : public ImageSource {
 public:
  DeviceImageSource(platform::FileHandle handle, uint32_t sector_size, uint64_t sectors)
      : handle_(handle), sector_size_(sector_size), sectors_(sectors) {}
  ~DeviceImageSource() override {
    platform::CloseHandle(&handle_);
    platform::CloseHandle(&uncached_);
  }
  void SetUncachedHandle(platform::FileHandle handle) { uncached_ = handle; }

  uint32_t SectorSize() const override { return sector_size_; }
  uint64_t SectorCount() const override { return sectors_; }
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    return platform::ReadAt(handle_, buffer, length, offset, got);
  }
  int ReadSectorAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    if (uncached_ == platform::kInvalidHandle) return ReadAt(offset, buffer, length, got);
    return platform::ReadAtUncached(uncached_, buffer, length, offset, sector_size_, got);
  }

 private:
  platform::FileHandle handle_;
  platform::FileHandle uncached_ = platform::kInvalidHandle;
  uint32_t sector_size_;
  uint64_t sectors_;
};

// Any other byte source (an evidence set): copied as the media bytes it holds.
class ByteImageSource final : public ImageSource {
 public:
  explicit ByteImageSource(std::shared_ptr<ByteSource> source) : source_(std::move(source)) {}
  uint32_t SectorSize() const override { return source_->SectorSize(); }
  uint64_t SectorCount() const override { return source_->Size() / source_->SectorSize(); }
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    return source_->ReadAt(offset, buffer, length, got);
  }

 private:
  std::shared_ptr<ByteSource> source_;
};

}  // namespace

int OpenImageSource(const std::string& path, std::unique_ptr<ImageSource>* out) {
  if (IsEwfFile(path)) {
    std::shared_ptr<ByteSource> source;
    const int err = OpenByteSource(path, &source);
    if (err != kSuccess) return err;
    *out = std::make_unique<ByteImageSource>(std::move(source));
    return kSuccess;
  }
  platform::FileHandle handle = platform::kInvalidHandle;
  int err = platform::OpenSourceReadOnly(path, &handle);
  if (err != kSuccess) return err;
  int sector_size = 512;
  platform::QueryLogicalSectorSize(handle, &sector_size);
  uint64_t bytes = 0;
  err = platform::QuerySourceSize(handle, &bytes);
  if (err != kSuccess) {
    platform::CloseHandle(&handle);
    return err;
  }
  auto source = std::make_unique<DeviceImageSource>(handle, static_cast<uint32_t>(sector_size),
                                                    bytes / static_cast<uint32_t>(sector_size));
  if (platform::IsBlockDevice(handle)) {
    platform::FileHandle uncached = platform::kInvalidHandle;
    if (platform::OpenDeviceUncached(path, &uncached) == kSuccess) {
      source->SetUncachedHandle(uncached);
    }
  }
  *out = std::move(source);
  return kSuccess;
}

}  // namespace velmora
