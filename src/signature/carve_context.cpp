#include "signature/carve_context.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "storage/error_codes.h"

namespace velmora {

CarveContext CarveContext::ForMeasuring() {
  CarveContext context;
  context.scratch.resize(kScratchBytes);
  return context;
}

bool CarveContext::InSecondPiece(uint64_t sector) const {
  for (const TsRange& range : second_pieces) {
    if (sector >= range.first_sector && sector <= range.last_sector) return true;
  }
  return false;
}

const MeasuredAhead* CarveContext::MeasuredAheadAt(uint64_t sector) const {
  const MeasuredAhead* end = ahead + ahead_count;
  const MeasuredAhead* at_or_after = std::lower_bound(
      ahead, end, sector, [](const MeasuredAhead& file, uint64_t at) { return file.sector < at; });
  return at_or_after != end && at_or_after->sector == sector ? at_or_after : nullptr;
}

uint64_t CarveContext::SourceSectors() const {
  if (source == nullptr || !source->IsOpen() || sector_size <= 0) return 0;
  const uint64_t bytes =
      source->total_sectors *
      static_cast<uint64_t>(source->device_sector_size > 0 ? source->device_sector_size : 512);
  return bytes / static_cast<uint64_t>(sector_size);
}

uint64_t CarveContext::BytesFromStart() const {
  if (source == nullptr || !source->IsOpen()) return std::numeric_limits<uint64_t>::max();
  const uint64_t sectors = SourceSectors();
  if (start_sector >= sectors) return 0;
  return (sectors - start_sector) * static_cast<uint64_t>(sector_size);
}

namespace {

// The mapped view of sectors the source holds, or null when there is no mapping of it. Only
// a forward scan's chunk moves the window: the small reads made while such a chunk is being
// looked at must not unmap it.
const uint8_t* MappedSectors(const CarveContext& context, uint64_t sector, uint32_t count,
                             bool may_slide) {
  if (context.mapped == nullptr || context.mapped->Handle() != context.source->FileHandle()) {
    return nullptr;
  }
  const uint64_t bytes = static_cast<uint64_t>(context.sector_size);
  const size_t length = static_cast<size_t>(count * bytes);
  return may_slide ? context.mapped->View(sector * bytes, length)
                   : context.mapped->ViewInWindow(sector * bytes, length);
}

}  // namespace

const uint8_t* CarveContext::LentSectors(uint64_t sector, uint32_t count) const {
  if (mapped == nullptr || source == nullptr || mapped->Handle() != source->FileHandle() ||
      sector_size <= 0 || count == 0) {
    return nullptr;
  }
  const uint64_t sectors = SourceSectors();
  if (sector >= sectors || count > sectors - sector) return nullptr;
  const uint64_t bytes = static_cast<uint64_t>(sector_size);
  return mapped->LentView(sector * bytes, static_cast<size_t>(count * bytes));
}

bool CarveContext::Read(uint64_t sector, uint32_t count, uint8_t* out) const {
  if (source == nullptr || !source->IsOpen() || sector_size <= 0 || count == 0) return false;
  const uint64_t sectors = SourceSectors();
  if (sector >= sectors || count > sectors - sector) return false;
  if (const uint8_t* view = MappedSectors(*this, sector, count, false)) {
    std::memcpy(out, view, static_cast<size_t>(count) * static_cast<size_t>(sector_size));
    return true;
  }
  uint32_t got = 0;
  return ReadSectors(source, static_cast<int32_t>(count), out, sector, sector_size, &got) ==
             kSuccess &&
         got == count;
}

const uint8_t* CarveContext::View(uint64_t sector, uint32_t count) {
  if (source == nullptr || !source->IsOpen() || sector_size <= 0 || count == 0) return nullptr;
  const uint64_t sectors = SourceSectors();
  if (sector >= sectors || count > sectors - sector) return nullptr;
  if (const uint8_t* view = MappedSectors(*this, sector, count, true)) return view;
  if (static_cast<uint64_t>(count) * static_cast<uint64_t>(sector_size) > scratch.size()) {
    return nullptr;
  }
  return Read(sector, count, scratch.data()) ? scratch.data() : nullptr;
}

bool CarveContext::ReadBytesFrom(uint64_t base, uint64_t offset, size_t length,
                                 uint8_t* out) const {
  if (length == 0) return true;
  if (sector_size <= 0) return false;
  const uint64_t size = static_cast<uint64_t>(sector_size);
  if (offset > std::numeric_limits<uint64_t>::max() - length) return false;
  const uint64_t first = offset / size;
  const uint64_t last = (offset + length - 1) / size;
  if (last - first + 1 > 1024) return false;  // callers read a few bytes at a time
  const uint32_t count = static_cast<uint32_t>(last - first + 1);
  std::vector<uint8_t> sectors(static_cast<size_t>(count) * size);
  if (base > std::numeric_limits<uint64_t>::max() - first) return false;
  if (!Read(base + first, count, sectors.data())) return false;
  std::memcpy(out, sectors.data() + (offset - first * size), length);
  return true;
}

}  // namespace velmora
