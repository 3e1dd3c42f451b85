#pragma once

#include <cstdint>
#include <memory>

#include "signature/carve_context.h"
#include "storage/byte_view.h"

namespace velmora::formats {

// Random access to the candidate file (from the context's start sector on) through a window
// of whole sectors, so walking many small records costs one device read per window.
class FileView {
 public:
  static constexpr size_t kMaxSpan = 65536;

  // `limit`: bytes from the file's first byte that may be looked at (the format's cap).
  FileView(const CarveContext& context, uint64_t limit);
  // The same from `first_sector` on: identify operations read from the context's cursor,
  // which a boundary search moves while the start sector stays with the file measured.
  FileView(const CarveContext& context, uint64_t limit, uint64_t first_sector);

  // The `count` bytes at `offset` from the file's first byte; empty when they pass the limit
  // or the source, when a read fails, or when count exceeds kMaxSpan.
  ByteView Bytes(uint64_t offset, size_t count);
  // Up to `count` bytes at `offset`, fewer where the limit or the source ends first.
  ByteView Upto(uint64_t offset, size_t count);

  uint64_t limit() const { return limit_; }

 private:
  bool Load(uint64_t offset);

  const CarveContext& context_;
  uint64_t first_sector_;
  uint64_t sector_size_;
  uint64_t limit_;
  // The window's bytes: the pass's mapped window when it holds them, else `copy_`.
  const uint8_t* window_ = nullptr;
  std::unique_ptr<uint8_t[]> copy_;  // allocated on the first copy, left uninitialised
  uint64_t window_start_ = 0;
  uint64_t window_bytes_ = 0;
};

}  // namespace velmora::formats
