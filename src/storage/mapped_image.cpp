#include "storage/mapped_image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace velmora {

namespace {

uint64_t PageBytes() {
  static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

}  // namespace

void ReadAheadOfMapping(platform::FileHandle handle, uint64_t offset, uint64_t length) {
  ::posix_fadvise(handle, static_cast<off_t>(offset), static_cast<off_t>(length),
                  POSIX_FADV_WILLNEED);
}

bool RegularFileSize(platform::FileHandle handle, uint64_t* size) {
  struct stat st {};
  if (handle == platform::kInvalidHandle || ::fstat(handle, &st) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

MappedRegion::MappedRegion(void* mapping, size_t mapping_bytes, uint64_t start, uint64_t end,
                           size_t lead)
    : mapping_(mapping),
      mapping_bytes_(mapping_bytes),
      start_(start),
      end_(end),
      base_(static_cast<const uint8_t*>(mapping) + lead) {}

MappedRegion::~MappedRegion() { ::munmap(mapping_, mapping_bytes_); }

std::shared_ptr<const MappedRegion> MappedRegion::Map(platform::FileHandle handle,
                                                      uint64_t offset, size_t length,
                                                      bool populate) {
  uint64_t size = 0;
  if (length == 0 || !RegularFileSize(handle, &size)) return nullptr;
  if (offset > size || length > size - offset) return nullptr;
  const uint64_t aligned = offset - offset % PageBytes();
  const size_t lead = static_cast<size_t>(offset - aligned);
  const size_t bytes = lead + length;
  // Entering the pages of a cold file one fault at a time would read it in small pieces.
  if (populate) ReadAheadOfMapping(handle, aligned, bytes);
  void* mapping = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED | (populate ? MAP_POPULATE : 0),
                         handle, static_cast<off_t>(aligned));
  if (mapping == MAP_FAILED) return nullptr;
  ::madvise(mapping, bytes, MADV_SEQUENTIAL);
  return std::shared_ptr<const MappedRegion>(
      new MappedRegion(mapping, bytes, offset, offset + length, lead));
}

bool MappedImage::Attach(platform::FileHandle handle) {
  Detach();
  if (!RegularFileSize(handle, &size_)) return false;
  handle_ = handle;
  return true;
}

void MappedImage::Detach() {
  window_.reset();
  handle_ = platform::kInvalidHandle;
  size_ = 0;
}

const uint8_t* MappedImage::View(uint64_t offset, size_t length) {
  if (handle_ == platform::kInvalidHandle || length == 0 || length > kWindowBytes / 2) {
    return nullptr;
  }
  if (offset > size_ || length > size_ - offset) return nullptr;
  if (!window_ || !window_->Covers(offset, length)) {
    window_.reset();
    const uint64_t start = offset - offset % PageBytes();
    const size_t bytes = static_cast<size_t>(std::min<uint64_t>(kWindowBytes, size_ - start));
    window_ = MappedRegion::Map(handle_, start, bytes, false);
    if (!window_ || !window_->Covers(offset, length)) return nullptr;
  }
  return window_->At(offset);
}

const uint8_t* MappedImage::ViewInWindow(uint64_t offset, size_t length) const {
  return window_ && window_->Covers(offset, length) ? window_->At(offset) : nullptr;
}

}  // namespace velmora
