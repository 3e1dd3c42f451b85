#include "storage/image_source.h"

#include "storage/byte_source.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

// A disk, partition device, image file or evidence set, copied as the media bytes it holds.
class ByteImageSource final : public ImageSource {
 public:
  explicit ByteImageSource(std::shared_ptr<ByteSource> source) : source_(std::move(source)) {}
  uint32_t SectorSize() const override { return source_->SectorSize(); }
  uint64_t SectorCount() const override { return source_->Size() / source_->SectorSize(); }
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    return source_->ReadAt(offset, buffer, length, got);
  }
  int ReadSectorAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    return source_->ReadSectorAt(offset, buffer, length, got);
  }

 private:
  std::shared_ptr<ByteSource> source_;
};

}  // namespace

int OpenImageSource(const std::string& path, std::unique_ptr<ImageSource>* out) {
  std::shared_ptr<ByteSource> source;
  const int err = OpenByteSource(path, &source);
  if (err != kSuccess) return err;
  *out = std::make_unique<ByteImageSource>(std::move(source));
  return kSuccess;
}

}  // namespace velmora
