// Routing of the pass's sectors and the read-ahead that feeds it.
#include "deep/deep_scan_dispatch.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "deep/read_ahead_pass.h"
#include "deep/structure_classifier.h"
#include "signature/boundary.h"
#include "signature/signature_catalogue.h"
#include "storage/error_codes.h"
#include "support/planted_image.h"

namespace velmora {
namespace {

using testing::PlantedImage;

struct RecordingSink : DeepSectorSink {
  std::vector<std::pair<char, uint64_t>> calls;
  std::vector<size_t> record_bytes;
  // Sector -> skip for carves that "find" a file; -1 cancels there.
  std::vector<std::pair<uint64_t, int64_t>> carved;

  void OnNtfsFileRecord(const uint8_t*, size_t bytes, uint64_t sector) override {
    calls.push_back({'N', sector});
    record_bytes.push_back(bytes);
  }
  void OnFatDirectoryStart(const uint8_t*, uint64_t sector) override {
    calls.push_back({'D', sector});
  }
  void OnFatDirectorySector(const uint8_t*, uint64_t sector) override {
    calls.push_back({'F', sector});
  }
  int Carve(const uint8_t*, uint64_t sector, uint64_t* skip) override {
    calls.push_back({'C', sector});
    for (const auto& [at, value] : carved) {
      if (at != sector) continue;
      if (value < 0) return kCancelledByUser;
      *skip = static_cast<uint64_t>(value);
      return kSuccess;
    }
    return kNothingCarved;
  }
  std::vector<uint64_t> SectorsOf(char kind) const {
    std::vector<uint64_t> out;
    for (const auto& [k, s] : calls) {
      if (k == kind) out.push_back(s);
    }
    return out;
  }
};

void PutNtfsRecord(uint8_t* sector, bool directory) {
  std::memset(sector, 0, 512);
  std::memcpy(sector, "FILE", 4);
  sector[24] = 0x00;  // bytes in use 0x200
  sector[25] = 0x02;
  sector[28] = 0x00;  // allocated 0x400
  sector[29] = 0x04;
  sector[48] = 0x34;  // update sequence number, repeated at the end of the block
  sector[49] = 0x12;
  sector[510] = 0x34;
  sector[511] = 0x12;
  sector[22] = directory ? 0x03 : 0x01;
}

void PutDirectoryStart(uint8_t* sector) {
  std::memset(sector, 0, 512);
  std::memcpy(sector, ".          ", 11);
  sector[11] = 0x10;
  sector[26] = 5;
  std::memcpy(sector + 32, "..         ", 11);
  sector[32 + 11] = 0x10;
}

TEST(DeepScanDispatchTest, RoutesEachSectorToTheEngineThatRecognisesIt) {
  PlantedImage image(16, 1);
  PutNtfsRecord(image.SectorData(2), false);
  PutNtfsRecord(image.SectorData(6), true);  // directory records are left alone
  PutDirectoryStart(image.SectorData(9));
  SectorReader* reader = image.Open();

  RecordingSink sink;
  DispatchBuffer buffer{image.SectorData(0), 16, 512, 1000, nullptr};
  const DispatchResult result = DeepScanDispatch(buffer, 0, reader, reader->total_sectors, &sink);
  EXPECT_EQ(result.status, kSuccess);
  EXPECT_EQ(result.next_index, 16u);
  EXPECT_EQ(sink.SectorsOf('N'), (std::vector<uint64_t>{1002}));
  EXPECT_EQ(sink.record_bytes, (std::vector<size_t>{1024}));
  EXPECT_EQ(sink.SectorsOf('D'), (std::vector<uint64_t>{1009}));
  // Every other sector except the directory record is offered for carving.
  EXPECT_EQ(sink.SectorsOf('C').size(), 13u);
}

TEST(DeepScanDispatchTest, CarvedFileSkipsItsSectorsAndOvershootsTheBuffer) {
  PlantedImage image(8, 2);
  RecordingSink sink;
  sink.carved = {{102, 3}, {106, 5}};
  DispatchBuffer buffer{image.SectorData(0), 8, 512, 100, nullptr};
  const DispatchResult result = DeepScanDispatch(buffer, 0, nullptr, 0, &sink);
  EXPECT_EQ(sink.SectorsOf('C'), (std::vector<uint64_t>{100, 101, 102, 105, 106}));
  EXPECT_EQ(result.next_index, 11u);  // 3 sectors past the buffer
}

TEST(DeepScanDispatchTest, CancelStopsAtTheSectorWhereItHappened) {
  PlantedImage image(8, 3);
  RecordingSink sink;
  sink.carved = {{4, -1}};
  DispatchBuffer buffer{image.SectorData(0), 8, 512, 0, nullptr};
  const DispatchResult result = DeepScanDispatch(buffer, 1, nullptr, 0, &sink);
  EXPECT_EQ(result.status, kCancelledByUser);
  EXPECT_EQ(result.next_index, 4u);
  EXPECT_EQ(sink.SectorsOf('C'), (std::vector<uint64_t>{1, 2, 3, 4}));
}

TEST(DeepScanDispatchTest, RecordAtTheBufferEndIsReadWholeFromTheSource) {
  PlantedImage image(8, 4);
  PutNtfsRecord(image.SectorData(7), false);
  SectorReader* reader = image.Open();
  RecordingSink sink;
  // The buffer holds sectors 0-7; the record's second half is sector 8 of the image,
  // which does not exist: the record cannot be read whole and is not handed on.
  DispatchBuffer buffer{image.SectorData(0), 8, 512, 0, nullptr};
  DeepScanDispatch(buffer, 0, reader, reader->total_sectors, &sink);
  EXPECT_TRUE(sink.SectorsOf('N').empty());

  PlantedImage larger(12, 5);
  PutNtfsRecord(larger.SectorData(7), false);
  reader = larger.Open();
  RecordingSink second;
  DispatchBuffer head{larger.SectorData(0), 8, 512, 0, nullptr};
  DeepScanDispatch(head, 0, reader, reader->total_sectors, &second);
  EXPECT_EQ(second.SectorsOf('N'), (std::vector<uint64_t>{7}));
}

TEST(DeepScanDispatchTest, UnreadableSectorsAreNotExamined) {
  PlantedImage image(4, 6);
  RecordingSink sink;
  const uint8_t unreadable[4] = {0, 1, 1, 0};
  DispatchBuffer buffer{image.SectorData(0), 4, 512, 0, unreadable};
  DeepScanDispatch(buffer, 0, nullptr, 0, &sink);
  EXPECT_EQ(sink.SectorsOf('C'), (std::vector<uint64_t>{0, 3}));
}

TEST(DeepScanDispatchTest, HintsSkipOnlySectorsNoEngineCanWant) {
  PlantedImage image(64, 11);
  PutNtfsRecord(image.SectorData(3), false);
  PutDirectoryStart(image.SectorData(9));
  std::memcpy(image.SectorData(20), "\x89PNG\r\n\x1A\n", 8);
  std::memcpy(image.SectorData(30) + 4, "ftyp", 4);
  SectorReader* reader = image.Open();
  std::vector<uint8_t> hints(64, 7);
  ClassifySectors(image.SectorData(0), 64, 512, hints.data());
  EXPECT_NE(hints[3] & kHintNtfsRecord, 0);
  EXPECT_NE(hints[3] & kHintStructure, 0);
  EXPECT_NE(hints[9] & kHintDirectoryStart, 0);
  EXPECT_NE(hints[9] & kHintStructure, 0);
  for (uint64_t sector : {20, 30}) EXPECT_EQ(hints[sector], kHintMayIdentify) << sector;

  // The structure bit is the held-carving boundary test, worked out once.
  std::memcpy(image.SectorData(40), "\xEB\x52\x90NTFS    ", 11);
  std::memcpy(image.SectorData(41), "INDX", 4);
  std::memcpy(image.SectorData(42), "RSTR", 4);
  std::memcpy(image.SectorData(42) + 100, "N\0T\0F\0S\0", 8);
  std::memcpy(image.SectorData(43), "$\0S\0T\0A\0", 8);
  ClassifySectors(image.SectorData(0), 64, 512, hints.data());
  const std::vector<StructureTest> tests = FileSystemStructureTests();
  for (uint64_t sector = 0; sector < 64; ++sector) {
    EXPECT_EQ((hints[sector] & kHintStructure) != 0,
              IsFileSystemStructure(tests, image.SectorData(sector), 512) != 0)
        << sector;
  }
  for (uint64_t sector : {40, 41, 42, 43}) EXPECT_NE(hints[sector] & kHintStructure, 0) << sector;

  // With hints the same engines see the same sectors; carving sees only the hinted ones.
  RecordingSink plain;
  DispatchBuffer buffer{image.SectorData(0), 64, 512, 0, nullptr};
  DeepScanDispatch(buffer, 0, reader, reader->total_sectors, &plain);
  struct CountingSink : RecordingSink {
    std::vector<uint64_t> unrecognised;
    void Unrecognised(const uint8_t*, uint64_t sector) override { unrecognised.push_back(sector); }
  };
  CountingSink hinted;
  buffer.hints = hints.data();
  DeepScanDispatch(buffer, 0, reader, reader->total_sectors, &hinted);
  EXPECT_EQ(hinted.SectorsOf('N'), plain.SectorsOf('N'));
  EXPECT_EQ(hinted.SectorsOf('D'), plain.SectorsOf('D'));
  EXPECT_EQ(hinted.SectorsOf('F'), plain.SectorsOf('F'));
  EXPECT_EQ(hinted.SectorsOf('C').size() + hinted.unrecognised.size(), plain.SectorsOf('C').size());
  for (uint64_t sector : hinted.unrecognised) EXPECT_EQ(hints[sector] & kHintWanted, 0) << sector;

  // Handed over in runs, the same sectors in the same order (ten of them ruled out here).
  std::vector<uint8_t> with_run = hints;
  for (size_t sector = 50; sector < 60; ++sector) with_run[sector] = 0;
  buffer.hints = with_run.data();
  CountingSink one_by_one;
  DeepScanDispatch(buffer, 0, reader, reader->total_sectors, &one_by_one);
  struct RunSink : RecordingSink {
    std::vector<uint64_t> covered;
    size_t runs = 0;
    void Unrecognised(const uint8_t*, uint64_t sector) override { covered.push_back(sector); }
    void UnrecognisedRun(const uint8_t*, uint64_t first, uint64_t count, size_t) override {
      ++runs;
      for (uint64_t k = 0; k < count; ++k) covered.push_back(first + k);
    }
  } in_runs;
  DeepScanDispatch(buffer, 0, reader, reader->total_sectors, &in_runs);
  EXPECT_EQ(in_runs.covered, one_by_one.unrecognised);
  EXPECT_EQ(in_runs.calls, one_by_one.calls);
  EXPECT_GT(in_runs.runs, 0u);
}

TEST(ReadAheadPassTest, MappedImageBuffersCarryTheSectorsAndTheirHints) {
  PlantedImage image(600, 12);
  for (uint64_t s = 0; s < 600; ++s) std::memcpy(image.SectorData(s) + 8, &s, sizeof(s));
  PutDirectoryStart(image.SectorData(450));
  SectorReader* reader = image.Open();
  ASSERT_TRUE(ReadAheadPass::MapsSource(reader));
  ReadAheadPass pass(reader, 512, 0, {{100, 500}}, 256, 2);
  for (uint64_t at : {0u, 256u, 349u}) {
    const PassChunk* chunk = pass.Acquire(0, at);
    ASSERT_NE(chunk, nullptr);
    ASSERT_NE(chunk->region, nullptr);
    ASSERT_EQ(chunk->hints.size(), chunk->count);
    for (uint32_t i = 0; i < chunk->count; ++i) {
      const uint8_t* sector = chunk->bytes + static_cast<size_t>(i) * 512;
      ASSERT_EQ(std::memcmp(sector, image.SectorData(chunk->first_sector + i), 512), 0);
    }
    std::vector<uint8_t> expected(chunk->count);
    ClassifySectors(chunk->bytes, chunk->count, 512, expected.data());
    EXPECT_EQ(chunk->hints, expected);
    if (chunk->first_sector <= 450 && 450 < chunk->first_sector + chunk->count) {
      EXPECT_NE(chunk->hints[450 - chunk->first_sector] & kHintDirectoryStart, 0);
    }
  }
}

TEST(ReadAheadPassTest, HintsWorkedOutByBothThreadsMatchTheWholeBuffer) {
  // Buffers of 300 sectors are classified 128 at a time by whichever thread claims a block;
  // structures sit on either side of each block's edge. Asking at once makes the examiner
  // classify alongside the reader.
  PlantedImage image(3000, 21);
  for (uint64_t s : {127u, 128u, 255u, 256u, 299u, 300u, 427u, 428u, 2999u}) {
    PutDirectoryStart(image.SectorData(s));
  }
  SectorReader* reader = image.Open();
  ReadAheadPass pass(reader, 512, 0, {{0, 3000}}, 300, 3);
  for (uint64_t at = 0; at < 3000; at += 300) {
    const PassChunk* chunk = pass.Acquire(0, at);
    ASSERT_NE(chunk, nullptr);
    ASSERT_EQ(chunk->hint_state, PassChunk::kHintsDone);
    std::vector<uint8_t> expected(chunk->count);
    ClassifySectors(chunk->bytes, chunk->count, 512, expected.data());
    EXPECT_EQ(chunk->hints, expected) << "buffer at " << at;
  }
}

TEST(ReadAheadPassTest, BuffersAreMeasuredAheadWhileTheExaminerIsBusy) {
  PlantedImage image(1024, 9);
  SectorReader* reader = image.Open();
  std::atomic<int> measured{0};
  std::atomic<bool> holding{false};
  std::atomic<bool> held_was_abandoned{false};
  auto measure_ahead = [&](PassChunk* chunk, const std::atomic<bool>& abandon) {
    MeasuredAhead file;
    file.sector = chunk->first_sector;
    chunk->measured.push_back(file);
    if (chunk->first_sector == 256) {
      // This one is still being measured when the examiner gets to it.
      holding = true;
      while (!abandon) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      held_was_abandoned = true;
    }
    ++measured;
  };
  ReadAheadPass pass(reader, 512, 0, {{0, 1024}}, 64, 4, measure_ahead);
  // Nothing is taken yet: the read-ahead fills up and its buffers are measured.
  for (int wait = 0; wait < 10000 && measured < 3; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_GE(measured.load(), 3);
  const PassChunk* chunk = pass.Acquire(0, 0);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->ahead_state, PassChunk::kAheadDone);
  ASSERT_EQ(chunk->measured.size(), 1u);
  EXPECT_EQ(chunk->measured[0].sector, 0u);
  // Every buffer reaches the examiner measured or left to it, and the one still being
  // measured is given up, keeping what was done.
  for (uint64_t at = 64; at < 1024; at += 64) {
    for (int wait = 0; at == 256 && wait < 10000 && !holding; ++wait) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    chunk = pass.Acquire(0, at);
    ASSERT_NE(chunk, nullptr);
    EXPECT_EQ(chunk->ahead_state, PassChunk::kAheadDone);
    EXPECT_LE(chunk->measured.size(), 1u);
    if (chunk->first_sector == 256) {
      EXPECT_TRUE(held_was_abandoned);
      ASSERT_EQ(chunk->measured.size(), 1u);
    }
  }
}

// A resumed pass reads nothing before its saved point, not even ahead of the first request.
TEST(ReadAheadPassTest, ReadingStartsAtTheGivenPosition) {
  PlantedImage image(1024, 10);
  SectorReader* reader = image.Open();
  std::mutex seen_mutex;
  std::vector<uint64_t> seen;
  auto measure_ahead = [&](PassChunk* chunk, const std::atomic<bool>&) {
    const std::lock_guard<std::mutex> lock(seen_mutex);
    seen.push_back(chunk->first_sector);
  };
  ReadAheadPass pass(reader, 512, 0, {{0, 200}, {300, 700}}, 64, 4, measure_ahead, 1, 130);
  for (int wait = 0; wait < 10000; ++wait) {
    {
      const std::lock_guard<std::mutex> lock(seen_mutex);
      if (seen.size() >= 3) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const PassChunk* chunk = pass.Acquire(1, 130);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->first_sector, 430u);
  const std::lock_guard<std::mutex> lock(seen_mutex);
  ASSERT_FALSE(seen.empty());
  for (uint64_t first : seen) EXPECT_GE(first, 430u);
}

TEST(ReadAheadPassTest, DeliversTheRangesInOrderAndFollowsJumps) {
  PlantedImage image(1000, 7);
  for (uint64_t s = 0; s < 1000; ++s) std::memcpy(image.SectorData(s), &s, sizeof(s));
  SectorReader* reader = image.Open();
  std::vector<PassRange> ranges = {{10, 300}, {500, 100}, {900, 50}};
  ReadAheadPass pass(reader, 512, 0, ranges, 64, 4);

  auto sector_at = [](const PassChunk* chunk, uint64_t index) {
    uint64_t value = 0;
    std::memcpy(&value, chunk->bytes + index * 512, sizeof(value));
    return value;
  };
  const PassChunk* chunk = pass.Acquire(0, 0);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->first_sector, 10u);
  EXPECT_EQ(chunk->count, 64u);
  EXPECT_EQ(sector_at(chunk, 5), 15u);
  // A jump inside the read-ahead window.
  chunk = pass.Acquire(0, 130);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->offset, 128u);
  EXPECT_EQ(sector_at(chunk, 2), 140u);
  // The range's last buffer is short.
  chunk = pass.Acquire(0, 299);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->count, 300u - 256u);
  // Past the end of a range moves to the next one; a far jump restarts reading.
  chunk = pass.Acquire(0, 300);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(chunk->range, 1u);
  EXPECT_EQ(sector_at(chunk, 0), 500u);
  chunk = pass.Acquire(2, 40);
  ASSERT_NE(chunk, nullptr);
  EXPECT_EQ(sector_at(chunk, 40 - chunk->offset), 940u);
  EXPECT_EQ(pass.Acquire(2, 50), nullptr);
}

TEST(ReadAheadPassTest, SectorsThatCannotBeReadAreFlaggedAndZeroed) {
  PlantedImage image(256, 8);
  SectorReader* reader = image.Open();
  // The image loses its tail after it was opened: those reads fail.
  ASSERT_EQ(::truncate(image.Path().c_str(), 200 * 512 + 100), 0);
  ReadAheadPass pass(reader, 512, 0, {{0, 256}}, 128, 2);
  const PassChunk* first = pass.Acquire(0, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->unreadable_count, 0u);
  const PassChunk* second = pass.Acquire(0, 128);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->unreadable_count, 56u);
  EXPECT_EQ(second->unreadable[71], 0);
  EXPECT_EQ(second->unreadable[72], 1);
  EXPECT_EQ(second->bytes[72 * 512], 0);
}

}  // namespace
}  // namespace velmora
