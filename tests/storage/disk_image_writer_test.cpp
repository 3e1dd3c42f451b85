#include "storage/disk_image_writer.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>

#include "storage/error_codes.h"
#include "support/loop_device.h"
#include "support/test_env.h"

namespace velmora {
namespace {

using testing::ReadWholeFile;

// A source with a pattern and chosen sectors that never read, like a failing disk:
// a read touching one of them stops there.
class FaultySource : public ImageSource {
 public:
  FaultySource(uint32_t sector_size, uint64_t sectors, std::set<uint64_t> bad)
      : sector_size_(sector_size), bad_(std::move(bad)) {
    data_.resize(sector_size * sectors);
    for (size_t i = 0; i < data_.size(); ++i) data_[i] = static_cast<uint8_t>(i * 7 + i / 509);
  }
  uint32_t SectorSize() const override { return sector_size_; }
  uint64_t SectorCount() const override { return data_.size() / sector_size_; }
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    ++reads;
    size_t done = 0;
    while (done < length) {
      const uint64_t sector = (offset + done) / sector_size_;
      if (bad_.count(sector) || offset + done >= data_.size()) break;
      static_cast<uint8_t*>(buffer)[done] = data_[offset + done];
      ++done;
    }
    *got = done;
    return done == length ? kSuccess : kErrReadFault;
  }
  std::vector<uint8_t> data_;
  int reads = 0;

 private:
  uint32_t sector_size_;
  std::set<uint64_t> bad_;
};

struct ProgressLog {
  std::vector<uint64_t> done;
  std::vector<int> percents;
  uint64_t total = 0;
  int cancel_after = -1;  // stop with -9527 after this many calls
};

int RecordProgress(void* context, int percent, uint64_t done, uint64_t total, int32_t) {
  auto* log = static_cast<ProgressLog*>(context);
  log->done.push_back(done);
  log->percents.push_back(percent);
  log->total = total;
  if (log->cancel_after >= 0 && static_cast<int>(log->done.size()) >= log->cancel_after) {
    return kCancelledByUser;
  }
  return 0;
}

// (image offset, length) of every unreadable range the map file on disk holds.
std::vector<std::pair<uint64_t, uint64_t>> UnreadableInMap(const std::string& path) {
  ImageMap map;
  std::string error;
  EXPECT_EQ(LoadImageMapFile(path, &map, &error), MapFileState::kValid) << error;
  EXPECT_EQ(map.BytesWith(MapStatus::kUntried), 0u);
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const MapRange& range : map.RangesWith(MapStatus::kUnreadable)) {
    out.emplace_back(range.offset, range.length);
  }
  return out;
}

class DiskImageWriterTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("image-writer"); }
  void TearDown() override { testing::RemoveTree(dir_); }
  std::string dir_;
};

TEST_F(DiskImageWriterTest, CopiesARegionByteForByteWithProgressPerChunk) {
  FaultySource source(512, 1000, {});
  DiskImageWriter writer;
  writer.progress = RecordProgress;
  ProgressLog log;
  const std::string image = dir_ + "/region.img";
  ASSERT_EQ(CopyToImage(&writer, &source, 100, 300, image, &log), kSuccess);
  const auto bytes = ReadWholeFile(image);
  ASSERT_EQ(bytes.size(), 300u * 512);
  EXPECT_EQ(0, std::memcmp(bytes.data(), source.data_.data() + 100 * 512, bytes.size()));
  // 300 sectors: two full 64 KiB chunks (128 sectors each) and one of 44.
  EXPECT_EQ(log.done, (std::vector<uint64_t>{128, 256, 300}));
  EXPECT_EQ(log.percents.back(), 100);
  EXPECT_EQ(log.total, 300u);
  EXPECT_TRUE(writer.map_path.empty());  // strict mode writes no map
}

TEST_F(DiskImageWriterTest, StrictModeKeepsTheCompleteChunksBeforeAnUnreadableOne) {
  FaultySource source(512, 1000, {300});
  DiskImageWriter writer;
  const std::string image = dir_ + "/strict.img";
  EXPECT_EQ(CopyToImage(&writer, &source, 0, 0, image, nullptr), kErrReadFault);
  const auto bytes = ReadWholeFile(image);
  ASSERT_EQ(bytes.size(), 256u * 512);  // chunks [0,128) and [128,256); [256,384) failed
  EXPECT_EQ(0, std::memcmp(bytes.data(), source.data_.data(), bytes.size()));
  EXPECT_EQ(writer.sectors_copied, 256u);
}

TEST_F(DiskImageWriterTest, ZeroFillModeSkipsBadSectorsAndMapsThem) {
  const std::set<uint64_t> bad = {5, 6, 7, 200, 999};
  FaultySource source(512, 1000, bad);
  DiskImageWriter writer;
  writer.unreadable = UnreadablePolicy::kZeroFill;
  writer.source_name = "test source";
  const std::string image = dir_ + "/rescued.img";
  ASSERT_EQ(CopyToImage(&writer, &source, 0, 0, image, nullptr), kSuccess);
  const auto bytes = ReadWholeFile(image);
  ASSERT_EQ(bytes.size(), 1000u * 512);
  for (uint64_t sector = 0; sector < 1000; ++sector) {
    const uint8_t* got = bytes.data() + sector * 512;
    if (bad.count(sector)) {
      EXPECT_TRUE(std::all_of(got, got + 512, [](uint8_t b) { return b == 0; })) << sector;
    } else {
      ASSERT_EQ(0, std::memcmp(got, source.data_.data() + sector * 512, 512)) << sector;
    }
  }
  ASSERT_EQ(writer.bad_ranges.size(), 3u);
  EXPECT_EQ(writer.bad_ranges[0].first_sector, 5u);
  EXPECT_EQ(writer.bad_ranges[0].sector_count, 3u);
  EXPECT_EQ(writer.bad_ranges[2].first_sector, 999u);
  EXPECT_EQ(writer.UnreadableBytes(), 5u * 512);

  ASSERT_EQ(writer.map_path, image + ".map");
  EXPECT_EQ(UnreadableInMap(writer.map_path), (std::vector<std::pair<uint64_t, uint64_t>>{
                                                  {2560, 1536}, {102400, 512}, {511488, 512}}));
}

TEST_F(DiskImageWriterTest, MapOffsetsAreRelativeToTheImageOfAPartition) {
  FaultySource source(4096, 100, {50});
  DiskImageWriter writer;
  writer.unreadable = UnreadablePolicy::kZeroFill;
  const std::string image = dir_ + "/part.img";
  ASSERT_EQ(CopyToImage(&writer, &source, 40, 20, image, nullptr), kSuccess);
  EXPECT_EQ(ReadWholeFile(image).size(), 20u * 4096);
  ASSERT_EQ(writer.bad_ranges.size(), 1u);
  EXPECT_EQ(writer.bad_ranges[0].first_sector, 50u);
  EXPECT_EQ(UnreadableInMap(writer.map_path),
            (std::vector<std::pair<uint64_t, uint64_t>>{{40960, 4096}}));
}

TEST_F(DiskImageWriterTest, CancelStopsAfterTheCurrentChunkAndLeavesThePartialImage) {
  FaultySource source(512, 1000, {});
  DiskImageWriter writer;
  writer.progress = RecordProgress;
  ProgressLog log;
  log.cancel_after = 2;
  const std::string image = dir_ + "/cancelled.img";
  EXPECT_EQ(CopyToImage(&writer, &source, 0, 0, image, &log), kCancelledByUser);
  EXPECT_EQ(log.done.size(), 2u);
  EXPECT_EQ(ReadWholeFile(image).size(), 256u * 512);
}

TEST_F(DiskImageWriterTest, RegionsOutsideTheSourceAreRefusedBeforeAnythingIsCreated) {
  FaultySource source(512, 1000, {});
  DiskImageWriter writer;
  const std::string image = dir_ + "/never.img";
  EXPECT_EQ(CopyToImage(&writer, &source, 900, 200, image, nullptr), kErrInvalidParameter);
  EXPECT_EQ(CopyToImage(&writer, &source, 1001, 0, image, nullptr), kErrInvalidParameter);
  EXPECT_TRUE(ReadWholeFile(image).empty());
  EXPECT_NE(::access(image.c_str(), F_OK), 0);
  // Count 0 from a start means "to the end".
  ASSERT_EQ(CopyToImage(&writer, &source, 990, 0, image, nullptr), kSuccess);
  EXPECT_EQ(ReadWholeFile(image).size(), 10u * 512);
}

TEST_F(DiskImageWriterTest, ExistingFilesAreOnlyReplacedWhenAsked) {
  FaultySource source(512, 10, {});
  const std::string image = dir_ + "/exists.img";
  std::ofstream(image) << "keep me";
  DiskImageWriter writer;
  writer.replace_existing = false;
  EXPECT_EQ(CopyToImage(&writer, &source, 0, 0, image, nullptr), kErrAlreadyExists);
  EXPECT_EQ(ReadWholeFile(image).size(), 7u);
  writer.replace_existing = true;
  EXPECT_EQ(CopyToImage(&writer, &source, 0, 0, image, nullptr), kSuccess);
  EXPECT_EQ(ReadWholeFile(image).size(), 5120u);
}

TEST_F(DiskImageWriterTest, ImageFileSourcesCopyThroughTheFileReader) {
  const std::string input = dir_ + "/input.bin";
  {
    std::ofstream out(input, std::ios::binary);
    for (int i = 0; i < 70000; ++i) out.put(static_cast<char>(i % 251));
    out.write("tail", 4);  // a trailing partial sector is not part of any image
  }
  std::unique_ptr<ImageSource> source;
  ASSERT_EQ(OpenImageSource(input, &source), kSuccess);
  EXPECT_EQ(source->SectorCount(), 70004u / 512);
  DiskImageWriter writer;
  ASSERT_EQ(CopyToImage(&writer, source.get(), 0, 0, dir_ + "/copy.img", nullptr), kSuccess);
  auto original = ReadWholeFile(input);
  original.resize(70004 / 512 * 512);
  EXPECT_EQ(ReadWholeFile(dir_ + "/copy.img"), original);
}

// A sector that fails its first reads and then reads, as a weak sector sometimes does.
class FlakySource : public FaultySource {
 public:
  FlakySource(uint64_t sectors, uint64_t flaky, int failures)
      : FaultySource(512, sectors, {}), flaky_(flaky), failures_(failures) {}
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    const uint64_t first = offset / 512, last = (offset + length - 1) / 512;
    if (flaky_ >= first && flaky_ <= last && failures_ > 0) {
      --failures_;
      const size_t before = static_cast<size_t>((flaky_ - first) * 512);
      FaultySource::ReadAt(offset, buffer, before, got);
      return kErrReadFault;
    }
    return FaultySource::ReadAt(offset, buffer, length, got);
  }

 private:
  uint64_t flaky_;
  int failures_;
};

TEST_F(DiskImageWriterTest, StoppedCopyGoesOnFromItsMapAndEndsLikeAnUninterruptedOne) {
  const std::set<uint64_t> bad = {3, 400, 401, 1999};
  FaultySource source(512, 2000, bad);
  const std::string whole = dir_ + "/whole.img";
  DiskImageWriter straight;
  straight.unreadable = UnreadablePolicy::kZeroFill;
  ASSERT_EQ(CopyToImage(&straight, &source, 0, 0, whole, nullptr), kSuccess);

  // Stopped after 6 of 16 chunks (about 40 %), then run again as the command would.
  const std::string image = dir_ + "/resumed.img";
  DiskImageWriter first;
  first.unreadable = UnreadablePolicy::kZeroFill;
  first.replace_existing = false;
  first.progress = RecordProgress;
  ProgressLog log;
  log.cancel_after = 6;
  ASSERT_EQ(CopyToImage(&first, &source, 0, 0, image, &log), kCancelledByUser);
  ImageMap stopped;
  std::string error;
  ASSERT_EQ(LoadImageMapFile(image + ".map", &stopped, &error), MapFileState::kValid) << error;
  EXPECT_EQ(stopped.BytesWith(MapStatus::kUntried), (2000u - 6 * 128) * 512);

  DiskImageWriter second;
  second.unreadable = UnreadablePolicy::kZeroFill;
  second.replace_existing = false;
  second.progress = RecordProgress;
  ProgressLog resumed;
  ASSERT_EQ(CopyToImage(&second, &source, 0, 0, image, &resumed), kSuccess);
  EXPECT_EQ(second.resumed_bytes, 6u * 128 * 512);
  EXPECT_EQ(resumed.done.front(), 7u * 128) << "the second run starts where the first stopped";
  EXPECT_EQ(ReadWholeFile(image), ReadWholeFile(whole));
  EXPECT_EQ(UnreadableInMap(image + ".map"), UnreadableInMap(whole + ".map"));
  EXPECT_EQ(second.UnreadableBytes(), 4u * 512);

  // A crash leaves a map older than the image (saved every few seconds): going on from the
  // older map copies some chunks twice and ends the same.
  const std::string crashed = dir_ + "/crashed.img";
  DiskImageWriter killed;
  killed.unreadable = UnreadablePolicy::kZeroFill;
  killed.progress = RecordProgress;
  ProgressLog until;
  until.cancel_after = 10;
  ASSERT_EQ(CopyToImage(&killed, &source, 0, 0, crashed, &until), kCancelledByUser);
  ImageMap older;
  older.Reset(512, 0, 2000);
  older.Mark(65536, 2 * 65536, MapStatus::kCopied);  // chunks 1 and 2 hold no bad sector
  ASSERT_EQ(SaveImageMapFile(crashed + ".map", older), kSuccess);
  DiskImageWriter after;
  after.unreadable = UnreadablePolicy::kZeroFill;
  after.replace_existing = false;
  ASSERT_EQ(CopyToImage(&after, &source, 0, 0, crashed, nullptr), kSuccess);
  EXPECT_EQ(after.resumed_bytes, 2u * 65536);
  EXPECT_EQ(ReadWholeFile(crashed), ReadWholeFile(whole));

  // Another region into the same image is refused; --force starts over.
  DiskImageWriter other;
  other.unreadable = UnreadablePolicy::kZeroFill;
  other.replace_existing = false;
  EXPECT_EQ(CopyToImage(&other, &source, 0, 1000, image, nullptr), kErrAlreadyExists);
  EXPECT_NE(other.error_text.find("another copy"), std::string::npos) << other.error_text;
  other.replace_existing = true;
  ASSERT_EQ(CopyToImage(&other, &source, 0, 1000, image, nullptr), kSuccess);
  EXPECT_EQ(ReadWholeFile(image).size(), 1000u * 512);
}

TEST_F(DiskImageWriterTest, RetryPassAndSparseImages) {
  // Sector 300 fails the chunk read and the first sector read, then reads on the retry pass.
  FlakySource flaky(1000, 300, 2);
  DiskImageWriter writer;
  writer.unreadable = UnreadablePolicy::kZeroFill;
  const std::string image = dir_ + "/flaky.img";
  ASSERT_EQ(CopyToImage(&writer, &flaky, 0, 0, image, nullptr), kSuccess);
  EXPECT_EQ(writer.retried_sectors, 1u);
  EXPECT_TRUE(writer.bad_ranges.empty());
  EXPECT_EQ(ReadWholeFile(image), flaky.data_);

  // Zero runs stay holes; the bytes read back the same, and the size is the source's.
  FaultySource zeros(512, 4096, {2000});
  std::fill(zeros.data_.begin() + 512, zeros.data_.end() - 512, 0);
  DiskImageWriter sparse;
  sparse.unreadable = UnreadablePolicy::kZeroFill;
  sparse.sparse = true;
  const std::string holes = dir_ + "/sparse.img";
  ASSERT_EQ(CopyToImage(&sparse, &zeros, 0, 0, holes, nullptr), kSuccess);
  EXPECT_EQ(ReadWholeFile(holes), zeros.data_);
  struct stat st {};
  ASSERT_EQ(::stat(holes.c_str(), &st), 0);
  EXPECT_EQ(static_cast<uint64_t>(st.st_size), 4096u * 512);
  EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, 4096u * 512 / 4)
      << "the zero runs must be holes";
}

TEST_F(DiskImageWriterTest, MapsThatAreLinksOrNotMapsAreRefusedAndLeftAlone) {
  FaultySource source(512, 100, {});
  const std::string image = dir_ + "/guarded.img";
  const std::string victim = dir_ + "/victim.txt";
  std::ofstream(victim) << "precious";
  ASSERT_EQ(::symlink(victim.c_str(), (image + ".map").c_str()), 0);
  for (bool force : {false, true}) {
    DiskImageWriter writer;
    writer.unreadable = UnreadablePolicy::kZeroFill;
    writer.replace_existing = force;
    EXPECT_EQ(CopyToImage(&writer, &source, 0, 0, image, nullptr), kErrAccessDenied);
    EXPECT_NE(writer.error_text.find("symbolic link"), std::string::npos) << writer.error_text;
  }
  EXPECT_EQ(ReadWholeFile(victim), (std::vector<uint8_t>{'p', 'r', 'e', 'c', 'i', 'o', 'u', 's'}));
  EXPECT_NE(::access(image.c_str(), F_OK), 0) << "nothing is created beside a refused map";

  ::unlink((image + ".map").c_str());
  const std::string garbage = "0 512 +\nnot a map at all\n";
  std::ofstream(image + ".map") << garbage;
  DiskImageWriter writer;
  writer.unreadable = UnreadablePolicy::kZeroFill;
  EXPECT_EQ(CopyToImage(&writer, &source, 0, 0, image, nullptr), kErrAccessDenied);
  EXPECT_NE(writer.error_text.find("no usable image map"), std::string::npos) << writer.error_text;
  const auto kept = ReadWholeFile(image + ".map");
  EXPECT_EQ(std::string(kept.begin(), kept.end()), garbage);
}

TEST_F(DiskImageWriterTest, MissingDrivesAndFoldersFail) {
  DiskImageWriter writer;
  EXPECT_EQ(CreateDiskImage(&writer, 987654, 0, 0, dir_ + "/x.img", nullptr), kErrFileNotFound);
  FaultySource source(512, 10, {});
  EXPECT_NE(CopyToImage(&writer, &source, 0, 0, dir_ + "/no/such/folder/x.img", nullptr), kSuccess);
}

}  // namespace
}  // namespace velmora
