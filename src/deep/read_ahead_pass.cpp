#include "deep/read_ahead_pass.h"

#include <algorithm>
#include <cstring>

#include "deep/deep_scan_dispatch.h"
#include "storage/error_codes.h"

namespace velmora {

ReadAheadPass::ReadAheadPass(SectorReader* source, int32_t sector_size, uint64_t partition_start,
                             std::vector<PassRange> ranges, uint32_t chunk_sectors, size_t depth,
                             MeasureAheadWork measure_ahead, size_t first_range,
                             uint64_t first_offset)
    : source_(source),
      sector_size_(sector_size),
      partition_start_(partition_start),
      ranges_(std::move(ranges)),
      chunk_sectors_(std::max<uint32_t>(1, chunk_sectors)),
      depth_(std::max<size_t>(1, depth)),
      measure_ahead_(std::move(measure_ahead)) {
  mappable_ = source_ != nullptr && RegularFileSize(source_->FileHandle(), &file_size_);

  for (size_t i = 0; i < depth_ + 1; ++i) spare_.push_back(std::make_unique<PassChunk>());
  next_range_ = first_range;
  next_offset_ = first_offset;
  thread_ = std::thread([this] { Run(); });
}

bool ReadAheadPass::MapsSource(const SectorReader* source) {
  uint64_t size = 0;
  return source != nullptr && RegularFileSize(source->FileHandle(), &size);
}

ReadAheadPass::~ReadAheadPass() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    // Only a buffer still waiting to be examined can be being measured ahead.
    for (auto& chunk : ready_) chunk->abandon = true;
  }
  changed_.notify_all();
  thread_.join();
}

std::unique_ptr<PassChunk> ReadAheadPass::TakeSpareLocked() {
  if (spare_.empty()) return std::make_unique<PassChunk>();
  auto chunk = std::move(spare_.back());
  spare_.pop_back();
  return chunk;
}

// A spare buffer keeps its window until the reading thread reuses it, so that unmapping
// happens there and not on the examining thread.
void ReadAheadPass::MakeSpareLocked(std::unique_ptr<PassChunk> chunk) {
  // Nobody will examine it: measuring it ahead stops at the next sector.
  chunk->abandon = true;
  spare_.push_back(std::move(chunk));
}

void ReadAheadPass::SeekLocked(size_t range, uint64_t offset) {
  ++generation_;
  while (!ready_.empty()) {
    MakeSpareLocked(std::move(ready_.front()));
    ready_.pop_front();
  }
  next_range_ = range;
  next_offset_ = offset;
  finished_ = false;
  changed_.notify_all();
}

bool ReadAheadPass::MapChunk(PassChunk* chunk) {
  chunk->region.reset();
  if (!mappable_ || chunk->first_sector + chunk->count > source_->total_sectors) return false;
  const uint64_t sector_bytes = static_cast<uint64_t>(sector_size_);
  const uint64_t offset = chunk->first_sector * sector_bytes;
  const size_t length = static_cast<size_t>(chunk->count * sector_bytes);
  if (!region_ || !region_->Covers(offset, length)) {
    region_.reset();
    if (offset > file_size_) return false;
    const uint64_t window = std::max<uint64_t>(
        length, std::min<uint64_t>(MappedImage::kWindowBytes, file_size_ - offset));
    // The pages are entered by whichever thread first looks at them (the one working out the
    // hints), so that both threads share that cost too; a cold file is still read ahead whole.
    ReadAheadOfMapping(source_->FileHandle(), offset, window);
    region_ = MappedRegion::Map(source_->FileHandle(), offset, static_cast<size_t>(window), false);
    if (!region_ || !region_->Covers(offset, length)) {
      region_.reset();
      return false;
    }
    // The next window is read in while this one is examined.
    ReadAheadOfMapping(source_->FileHandle(), offset + window, window);
  }
  chunk->region = region_;
  chunk->bytes = region_->At(offset);
  chunk->unreadable.assign(chunk->count, 0);
  chunk->unreadable_count = 0;
  return true;
}

void ReadAheadPass::ReadChunk(PassChunk* chunk) {
  if (MapChunk(chunk)) return;
  const size_t sector_bytes = static_cast<size_t>(sector_size_);
  chunk->region.reset();
  chunk->data.resize(static_cast<size_t>(chunk->count) * sector_bytes);
  chunk->bytes = chunk->data.data();
  chunk->unreadable.assign(chunk->count, 0);
  chunk->unreadable_count = 0;
  // What can be read around a bad spot is salvaged sector by sector; the rest reads as zeros.
  UnreadableSalvage salvage;
  uint32_t got = 0;
  if (ReadSectors(source_, static_cast<int32_t>(chunk->count), chunk->data.data(),
                  chunk->first_sector, sector_size_, &got) != kSuccess) {
    // Refused as a whole (it passes the end): each sector on its own.
    for (uint32_t i = 0; i < chunk->count; ++i) {
      uint8_t* sector = chunk->data.data() + static_cast<size_t>(i) * sector_bytes;
      if (ReadSectors(source_, 1, sector, chunk->first_sector + i, sector_size_, &got) !=
          kSuccess) {
        std::memset(sector, 0, sector_bytes);
        chunk->unreadable[i] = 1;
        ++chunk->unreadable_count;
      }
    }
  }
  const uint64_t first = chunk->first_sector * sector_bytes;
  for (const UnreadableSalvage::Range& range : salvage.Ranges()) {
    const uint64_t from = (range.offset - first) / sector_bytes;
    const uint64_t to = std::min<uint64_t>(
        (range.offset + range.length - first + sector_bytes - 1) / sector_bytes, chunk->count);
    for (uint64_t i = from; i < to; ++i) {
      if (chunk->unreadable[i] == 0) ++chunk->unreadable_count;
      chunk->unreadable[i] = 1;
    }
  }
}

bool ReadAheadPass::CanReadLocked() const {
  return !finished_ && ready_.size() < depth_ && !spare_.empty();
}

// A buffer with sectors nobody is classifying yet: the one being examined first (the
// examining thread is waiting for it), then those ahead in order.
PassChunk* ReadAheadPass::PendingLocked() const {
  const auto unclaimed = [](const PassChunk& chunk) {
    return chunk.hint_state == PassChunk::kHintsPending &&
           chunk.next_hint_block.load(std::memory_order_relaxed) < chunk.hint_blocks;
  };
  if (current_ && unclaimed(*current_)) return current_.get();
  for (const auto& chunk : ready_) {
    if (unclaimed(*chunk)) return chunk.get();
  }
  return nullptr;
}

// A buffer whose files can be measured ahead: its hints are known and nobody measured it yet.
PassChunk* ReadAheadPass::UnmeasuredLocked() const {
  if (!measure_ahead_) return nullptr;
  for (const auto& chunk : ready_) {
    if (chunk->hint_state == PassChunk::kHintsDone && chunk->ahead_state == PassChunk::kAheadIdle) {
      return chunk.get();
    }
  }
  return nullptr;
}

// Classifies blocks of the buffer until none is left to claim; true when this thread
// completed the last of them.
bool ReadAheadPass::ClassifyBlocks(PassChunk* chunk) const {
  const uint32_t per_block = HintBlockSectors();
  bool last = false;
  for (;;) {
    const uint32_t block = chunk->next_hint_block.fetch_add(1, std::memory_order_relaxed);
    if (block >= chunk->hint_blocks) return last;
    const uint32_t first = block * per_block;
    const uint32_t count = std::min(per_block, chunk->count - first);
    ClassifySectors(chunk->bytes + static_cast<size_t>(first) * static_cast<size_t>(sector_size_),
                    count, sector_size_, chunk->hints.data() + first);
    last =
        chunk->hint_blocks_done.fetch_add(1, std::memory_order_acq_rel) + 1 == chunk->hint_blocks;
  }
}

// Takes part in classifying `chunk` (lock held on entry and on return); whoever completes it
// marks it done.
void ReadAheadPass::WorkOnHints(PassChunk* chunk, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  const bool completed = ClassifyBlocks(chunk);
  lock.lock();
  if (completed) {
    chunk->hint_state = PassChunk::kHintsDone;
    changed_.notify_all();
  }
}

void ReadAheadPass::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] {
      return stop_ || CanReadLocked() || PendingLocked() != nullptr ||
             UnmeasuredLocked() != nullptr;
    });
    if (stop_) return;
    // Examining what is already here comes first once two buffers are ready; reading
    // further ahead only helps while the examining thread can keep up. A mapped buffer costs
    // next to nothing to make ready: the read-ahead is kept full, so that the examining thread
    // always has buffers to work on (and to work out hints for) rather than waiting here.
    PassChunk* pending = PendingLocked();
    if (pending != nullptr &&
        (!CanReadLocked() || (ready_.size() >= 2 && !mappable_) || pending == current_.get())) {
      WorkOnHints(pending, lock);
      continue;
    }
    // With the read-ahead well filled the examining thread is the slower one: this thread
    // takes over measuring the files of the buffers it will get to.
    PassChunk* unmeasured = UnmeasuredLocked();
    if (unmeasured != nullptr && (!CanReadLocked() || (ready_.size() >= 3 && !mappable_))) {
      unmeasured->ahead_state = PassChunk::kAheadWorking;
      lock.unlock();
      measure_ahead_(unmeasured, unmeasured->abandon);
      lock.lock();
      unmeasured->ahead_state = PassChunk::kAheadDone;
      changed_.notify_all();
      continue;
    }
    if (!CanReadLocked()) continue;
    while (next_range_ < ranges_.size() && next_offset_ >= ranges_[next_range_].length) {
      ++next_range_;
      next_offset_ = 0;
    }
    if (next_range_ >= ranges_.size()) {
      finished_ = true;
      changed_.notify_all();
      continue;
    }
    auto chunk = TakeSpareLocked();
    // Windows that only idle buffers still point into are let go, so at most the current
    // window and the one before it stay mapped.
    std::vector<std::shared_ptr<const MappedRegion>> stale;
    for (auto& spare : spare_) {
      if (spare->region && spare->region != region_) stale.push_back(std::move(spare->region));
    }
    const PassRange& range = ranges_[next_range_];
    chunk->range = next_range_;
    chunk->offset = next_offset_;
    chunk->count =
        static_cast<uint32_t>(std::min<uint64_t>(chunk_sectors_, range.length - next_offset_));
    chunk->first_sector = partition_start_ + range.position + next_offset_;
    chunk->hint_state = PassChunk::kHintsPending;
    chunk->hints.resize(chunk->count);
    chunk->hint_blocks = (chunk->count + HintBlockSectors() - 1) / HintBlockSectors();
    chunk->next_hint_block.store(0, std::memory_order_relaxed);
    chunk->hint_blocks_done.store(0, std::memory_order_relaxed);
    chunk->measured.clear();
    chunk->nothing.clear();
    chunk->ahead_state = PassChunk::kAheadIdle;
    chunk->abandon = false;
    next_offset_ += chunk->count;
    const uint64_t generation = generation_;
    lock.unlock();
    stale.clear();
    ReadChunk(chunk.get());
    lock.lock();
    if (generation == generation_ && !stop_) {
      ready_.push_back(std::move(chunk));
    } else {
      MakeSpareLocked(std::move(chunk));
    }
    changed_.notify_all();
  }
}

const PassChunk* ReadAheadPass::Acquire(size_t range, uint64_t offset) {
  while (range < ranges_.size() && offset >= ranges_[range].length) {
    ++range;
    offset = 0;
  }
  if (range >= ranges_.size()) return nullptr;
  std::unique_lock<std::mutex> lock(mutex_);
  if (current_) {
    if (current_->range == range && current_->offset <= offset &&
        offset < current_->offset + current_->count) {
      return current_.get();
    }
    MakeSpareLocked(std::move(current_));
  }
  for (;;) {
    changed_.wait(lock, [this] { return !ready_.empty() || finished_; });
    if (ready_.empty()) {
      // The reader ran out before the wanted position (only after a seek race).
      SeekLocked(range, offset);
      continue;
    }
    PassChunk* front = ready_.front().get();
    const bool before =
        front->range < range || (front->range == range && front->offset + front->count <= offset);
    if (front->range == range && front->offset <= offset && offset < front->offset + front->count) {
      current_ = std::move(ready_.front());
      ready_.pop_front();
      // Wake the reader only once half the read-ahead is used up, so that it reads
      // several buffers per wake-up instead of one.
      if (ready_.size() <= depth_ / 2) changed_.notify_all();
      if (current_->hint_state == PassChunk::kHintsPending) {
        // The reader is behind: this thread classifies what is left of the buffer, the reader
        // helping, and waits at most for the block the reader is still on.
        changed_.notify_all();
        WorkOnHints(current_.get(), lock);
        changed_.wait(lock, [this] { return current_->hint_state == PassChunk::kHintsDone; });
      }
      if (current_->ahead_state == PassChunk::kAheadWorking) {
        // What was measured so far is kept; the rest is measured here.
        current_->abandon = true;
        changed_.wait(lock, [this] { return current_->ahead_state != PassChunk::kAheadWorking; });
      }
      // Not measured ahead from now on: this thread examines it.
      if (current_->ahead_state == PassChunk::kAheadIdle)
        current_->ahead_state = PassChunk::kAheadDone;
      return current_.get();
    }
    const bool far = !before || front->range != range ||
                     offset - front->offset > static_cast<uint64_t>(depth_) * chunk_sectors_;
    if (far) {
      SeekLocked(range, offset);
      continue;
    }
    MakeSpareLocked(std::move(ready_.front()));
    ready_.pop_front();
    changed_.notify_all();
  }
}

}  // namespace velmora
