#include "storage/byte_source.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>

#include "storage/error_codes.h"
#include "storage/ewf_source.h"

namespace velmora {

namespace {

class FileSource final : public ByteSource {
 public:
  FileSource(platform::FileHandle handle, uint64_t size, uint32_t sector_size, bool device)
      : handle_(handle), size_(size), sector_size_(sector_size), device_(device) {}
  ~FileSource() override {
    platform::CloseHandle(&handle_);
    platform::CloseHandle(&uncached_);
  }
  // A second descriptor on the device that reads past its page cache.
  void SetUncachedHandle(platform::FileHandle handle) { uncached_ = handle; }

  uint64_t Size() const override { return size_; }
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    if (got) *got = 0;
    if (PassesEnd(offset, length)) return kErrInvalidParameter;
    return platform::ReadAt(handle_, buffer, length, offset, got);
  }
  int ReadSectorAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    if (got) *got = 0;
    if (PassesEnd(offset, length)) return kErrInvalidParameter;
    if (uncached_ == platform::kInvalidHandle) {
      return platform::ReadAt(handle_, buffer, length, offset, got);
    }
    // Uncached reads go by whole device sectors: the piece is read with the sectors around it.
    const uint64_t unit = sector_size_;
    const uint64_t first = offset / unit * unit;
    const uint64_t end = std::min<uint64_t>((offset + length + unit - 1) / unit * unit, size_);
    if ((end - first) % unit != 0) return platform::ReadAt(handle_, buffer, length, offset, got);
    std::vector<uint8_t> whole(static_cast<size_t>(end - first));
    size_t arrived = 0;
    const int result = platform::ReadAtUncached(uncached_, whole.data(), whole.size(), first,
                                                sector_size_, &arrived);
    const uint64_t lead = offset - first;
    const size_t usable =
        arrived > lead ? static_cast<size_t>(std::min<uint64_t>(arrived - lead, length)) : 0;
    if (usable != 0) std::memcpy(buffer, whole.data() + lead, usable);
    if (got) *got = usable;
    return result == kSuccess && usable == length ? kSuccess
           : result == kSuccess                   ? kErrReadFault
                                                  : result;
  }
  uint32_t SectorSize() const override { return sector_size_; }
  platform::FileHandle FileHandle() const override { return handle_; }
  std::string KindName() const override { return device_ ? "block device" : "file"; }

 private:
  platform::FileHandle handle_;
  platform::FileHandle uncached_ = platform::kInvalidHandle;
  uint64_t size_;
  uint32_t sector_size_;
  bool device_;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::vector<uint8_t> owned) : owned_(std::move(owned)), bytes_(owned_) {}
  explicit MemorySource(std::span<const uint8_t> borrowed) : bytes_(borrowed) {}

  uint64_t Size() const override { return bytes_.size(); }
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    if (got) *got = 0;
    if (PassesEnd(offset, length)) return kErrInvalidParameter;
    if (length != 0) std::memcpy(buffer, bytes_.data() + offset, length);
    if (got) *got = length;
    return kSuccess;
  }
  std::string KindName() const override { return "memory"; }

 private:
  std::vector<uint8_t> owned_;
  std::span<const uint8_t> bytes_;
};

class WindowSource final : public ByteSource {
 public:
  WindowSource(std::shared_ptr<ByteSource> base, uint64_t offset, uint64_t length)
      : base_(std::move(base)), offset_(offset), length_(length) {}

  uint64_t Size() const override { return length_; }
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    if (got) *got = 0;
    if (PassesEnd(offset, length)) return kErrInvalidParameter;
    return base_->ReadAt(offset_ + offset, buffer, length, got);
  }
  int ReadSectorAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    if (got) *got = 0;
    if (PassesEnd(offset, length)) return kErrInvalidParameter;
    return base_->ReadSectorAt(offset_ + offset, buffer, length, got);
  }
  uint32_t SectorSize() const override { return base_->SectorSize(); }
  std::string KindName() const override { return "window"; }

 private:
  std::shared_ptr<ByteSource> base_;
  uint64_t offset_;
  uint64_t length_;
};

constexpr char kNamePrefix[] = "memory:";

struct NamedSources {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<ByteSource>> sources;
  uint64_t next = 1;
};

NamedSources& Names() {
  static NamedSources* names = new NamedSources;  // outlives every static user
  return *names;
}

std::shared_ptr<ByteSource> FindNamed(const std::string& name) {
  if (name.rfind(kNamePrefix, 0) != 0) return nullptr;
  NamedSources& names = Names();
  std::lock_guard lock(names.mutex);
  auto it = names.sources.find(name);
  return it == names.sources.end() ? nullptr : it->second;
}

}  // namespace

int OpenFileSource(const std::string& path, std::shared_ptr<ByteSource>* out) {
  out->reset();
  platform::FileHandle handle = platform::kInvalidHandle;
  int err = platform::OpenSourceReadOnly(path, &handle);
  if (err != kSuccess) return err;
  uint64_t size = 0;
  err = platform::QuerySourceSize(handle, &size);
  if (err != kSuccess) {
    platform::CloseHandle(&handle);
    return err;
  }
  int sector_size = 512;
  platform::QueryLogicalSectorSize(handle, &sector_size);
  if (sector_size <= 0) sector_size = 512;
  const bool device = platform::IsBlockDevice(handle);
  auto source =
      std::make_shared<FileSource>(handle, size, static_cast<uint32_t>(sector_size), device);
  platform::FileHandle uncached = platform::kInvalidHandle;
  if (device && platform::OpenDeviceUncached(path, &uncached) == kSuccess) {
    source->SetUncachedHandle(uncached);
  }
  *out = std::move(source);
  return kSuccess;
}

int OpenByteSource(const std::string& path, std::shared_ptr<ByteSource>* out, std::string* error) {
  out->reset();
  if (auto named = FindNamed(path)) {
    *out = std::move(named);
    return kSuccess;
  }
  std::shared_ptr<ByteSource> file;
  const int err = OpenFileSource(path, &file);
  if (err != kSuccess) return err;
  uint8_t head[sizeof(kEwfSignature)] = {};
  size_t got = 0;
  if (file->Size() >= sizeof(head) && file->ReadAt(0, head, sizeof(head), &got) == kSuccess &&
      HasEwfSignature(head)) {
    file.reset();
    return OpenEwfSource(path, out, error);
  }
  *out = std::move(file);
  return kSuccess;
}

std::shared_ptr<ByteSource> MakeMemorySource(std::vector<uint8_t> bytes) {
  return std::make_shared<MemorySource>(std::move(bytes));
}

std::shared_ptr<ByteSource> MakeBorrowedMemorySource(std::span<const uint8_t> bytes) {
  return std::make_shared<MemorySource>(bytes);
}

std::shared_ptr<ByteSource> MakeWindowSource(std::shared_ptr<ByteSource> base, uint64_t offset,
                                             uint64_t length) {
  const uint64_t size = base->Size();
  offset = std::min(offset, size);
  length = std::min(length, size - offset);
  return std::make_shared<WindowSource>(std::move(base), offset, length);
}

bool HasEwfSignature(std::span<const uint8_t> head) {
  return head.size() >= sizeof(kEwfSignature) &&
         std::memcmp(head.data(), kEwfSignature, sizeof(kEwfSignature)) == 0;
}

bool IsEwfFile(const std::string& path) {
  std::shared_ptr<ByteSource> file;
  if (OpenFileSource(path, &file) != kSuccess || file->Size() < sizeof(kEwfSignature)) return false;
  uint8_t head[sizeof(kEwfSignature)] = {};
  return file->ReadAt(0, head, sizeof(head), nullptr) == kSuccess && HasEwfSignature(head);
}

std::string RegisterNamedSource(std::shared_ptr<ByteSource> source) {
  NamedSources& names = Names();
  std::lock_guard lock(names.mutex);
  std::string name = kNamePrefix + std::to_string(names.next++);
  names.sources[name] = std::move(source);
  return name;
}

void ForgetNamedSource(const std::string& name) {
  NamedSources& names = Names();
  std::lock_guard lock(names.mutex);
  names.sources.erase(name);
}

}  // namespace velmora
