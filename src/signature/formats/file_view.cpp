#include "signature/formats/file_view.h"

#include <algorithm>

namespace velmora::formats {

FileView::FileView(const CarveContext& context, uint64_t limit)
    : FileView(context, limit, context.start_sector) {}

FileView::FileView(const CarveContext& context, uint64_t limit, uint64_t first_sector)
    : context_(context),
      first_sector_(first_sector),
      sector_size_(static_cast<uint64_t>(std::max(context.sector_size, 1))),
      limit_(0) {
  const uint64_t sectors = context.SourceSectors();
  const uint64_t room = context.source == nullptr ? UINT64_MAX
                        : first_sector < sectors  ? (sectors - first_sector) * sector_size_
                                                  : 0;
  limit_ = std::min(limit, room);
}

ByteView FileView::Bytes(uint64_t offset, size_t count) {
  if (count > kMaxSpan || offset >= limit_ || count > limit_ - offset) return {};
  const bool inside = window_bytes_ > 0 && offset >= window_start_ &&
                      offset + count <= window_start_ + window_bytes_;
  if (!inside && !Load(offset)) return {};
  if (offset + count > window_start_ + window_bytes_) return {};
  return ByteView({window_ + (offset - window_start_), count});
}

ByteView FileView::Upto(uint64_t offset, size_t count) {
  if (offset >= limit_) return {};
  return Bytes(offset, static_cast<size_t>(std::min<uint64_t>(count, limit_ - offset)));
}

bool FileView::Load(uint64_t offset) {
  window_bytes_ = 0;
  const uint64_t first = offset / sector_size_;
  const uint64_t limit_sectors = (limit_ + sector_size_ - 1) / sector_size_;
  if (first >= limit_sectors || first_sector_ > UINT64_MAX - first) return false;
  const uint64_t capacity = (2 * kMaxSpan + sector_size_) / sector_size_;
  const uint64_t count = std::min<uint64_t>(capacity, limit_sectors - first);
  const uint64_t sector = first_sector_ + first;
  window_ = context_.LentSectors(sector, static_cast<uint32_t>(count));
  if (window_ == nullptr) {
    if (!copy_) copy_.reset(new uint8_t[capacity * sector_size_]);
    if (!context_.Read(sector, static_cast<uint32_t>(count), copy_.get())) return false;
    window_ = copy_.get();
  }
  window_start_ = first * sector_size_;
  window_bytes_ = std::min(count * sector_size_, limit_ - window_start_);
  return true;
}

}  // namespace velmora::formats
