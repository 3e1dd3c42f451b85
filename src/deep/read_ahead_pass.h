#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "signature/carve_context.h"
#include "storage/mapped_image.h"
#include "storage/sector_reader.h"

namespace velmora {

// One run of sectors the deep-scan pass reads, counted from the partition start.
struct PassRange {
  uint64_t position = 0;
  uint64_t length = 0;
};

// One buffer of the pass as read from the source.
struct PassChunk {
  size_t range = 0;           // index into the ranges
  uint64_t offset = 0;        // first sector, relative to the range's position
  uint32_t count = 0;         // sectors in the buffer
  uint64_t first_sector = 0;  // absolute on the source
  uint32_t unreadable_count = 0;
  const uint8_t* bytes = nullptr;  // the buffer's sectors: into `data` or into `region`
  std::vector<uint8_t> data;
  std::shared_ptr<const MappedRegion> region;
  std::vector<uint8_t> unreadable;  // one byte per sector, 1 = could not be read
  std::vector<uint8_t> hints;       // ClassifySectors of the data
  // The hints are worked out a block of sectors at a time by whichever thread is free: the
  // reader ahead of the examining thread, the examining thread when it got here first, or
  // both at once. Each block is claimed once; whoever completes the last one marks them done.
  enum HintState : uint8_t { kHintsPending, kHintsDone } hint_state = kHintsPending;
  uint32_t hint_blocks = 0;
  std::atomic<uint32_t> next_hint_block{0};
  std::atomic<uint32_t> hint_blocks_done{0};
  // Files of the buffer measured ahead by the reading thread while it had nothing else to do,
  // in sector order; the examining thread takes what is done when it gets to the buffer.
  std::vector<MeasuredAhead> measured;
  std::vector<uint8_t> nothing;  // per sector: 1 where no row accepts it, as found ahead
  enum AheadState : uint8_t { kAheadIdle, kAheadWorking, kAheadDone } ahead_state = kAheadIdle;
  std::atomic<bool> abandon{false};  // the examining thread got here: stop measuring ahead
};

// Reads the pass's buffers on a second thread, a few ahead of the one being
// dispatched, so that reading and examining overlap. The consumer asks for the
// buffer holding a position; positions skipped over (carved files) are dropped,
// and a jump further than the read-ahead restarts reading at the new position.
// A buffer that fails to read is read again sector by sector; sectors that
// still fail are zero-filled and flagged. An image file is not read but mapped, a
// window of it at a time, its pages entered by whichever thread looks at them first, so that the
// buffers cost no copy. The sector tests of the dispatch (hints) are worked out a block at a
// time by whichever thread is free, so that both threads share the examining.
class ReadAheadPass {
 public:
  // Measures files of a buffer ahead (on the reading thread), appending to chunk->measured in
  // sector order and stopping early once `abandon` is set. Reading starts at `first_offset` of
  // range `first_range` (a resumed pass reads nothing before its saved point).
  using MeasureAheadWork = std::function<void(PassChunk* chunk, const std::atomic<bool>& abandon)>;

  ReadAheadPass(SectorReader* source, int32_t sector_size, uint64_t partition_start,
                std::vector<PassRange> ranges, uint32_t chunk_sectors, size_t depth,
                MeasureAheadWork measure_ahead = {}, size_t first_range = 0,
                uint64_t first_offset = 0);
  ~ReadAheadPass();
  ReadAheadPass(const ReadAheadPass&) = delete;
  ReadAheadPass& operator=(const ReadAheadPass&) = delete;

  // Whether buffers of `source` are mapped rather than read (image files).
  static bool MapsSource(const SectorReader* source);

  // The buffer that holds sector `offset` of range `range`, or null when that
  // position lies past the last range. Valid until the next call.
  const PassChunk* Acquire(size_t range, uint64_t offset);

  const std::vector<PassRange>& Ranges() const { return ranges_; }

 private:
  void Run();
  void ReadChunk(PassChunk* chunk);
  bool MapChunk(PassChunk* chunk);
  void MakeSpareLocked(std::unique_ptr<PassChunk> chunk);
  bool CanReadLocked() const;
  PassChunk* PendingLocked() const;
  PassChunk* UnmeasuredLocked() const;
  // Sectors classified at a time: small enough that a thread waits little for the other's
  // block, large enough that claiming costs nothing.
  uint32_t HintBlockSectors() const {
    return std::max<uint32_t>(1, kHintBlockBytes / static_cast<uint32_t>(sector_size_));
  }
  static constexpr uint32_t kHintBlockBytes = 64 * 1024;
  bool ClassifyBlocks(PassChunk* chunk) const;
  void WorkOnHints(PassChunk* chunk, std::unique_lock<std::mutex>& lock);
  void SeekLocked(size_t range, uint64_t offset);
  std::unique_ptr<PassChunk> TakeSpareLocked();

  SectorReader* source_;
  int32_t sector_size_;
  uint64_t partition_start_;
  std::vector<PassRange> ranges_;
  uint32_t chunk_sectors_;
  size_t depth_;
  MeasureAheadWork measure_ahead_;
  bool mappable_ = false;
  uint64_t file_size_ = 0;
  std::shared_ptr<const MappedRegion> region_;  // the reading thread's current window

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::unique_ptr<PassChunk>> ready_;
  std::vector<std::unique_ptr<PassChunk>> spare_;
  std::unique_ptr<PassChunk> current_;
  size_t next_range_ = 0;
  uint64_t next_offset_ = 0;
  uint64_t generation_ = 0;
  bool finished_ = false;  // producer reached the end of the ranges
  bool stop_ = false;
  std::thread thread_;
};

}  // namespace velmora
