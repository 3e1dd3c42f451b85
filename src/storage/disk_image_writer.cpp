#include "storage/disk_image_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <fstream>
#include <sstream>

#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr size_t kChunkBytes = 65536;
constexpr auto kEstimateInterval = std::chrono::milliseconds(5000);

bool AllZero(const uint8_t* data, size_t length) {
  return std::all_of(data, data + length, [](uint8_t b) { return b == 0; });
}

// The copy of one image: the destination, the map and the bookkeeping of one run.
class Copy {
 public:
  Copy(DiskImageWriter* writer, ImageSource* source, void* context)
      : writer_(writer), source_(source), context_(context), size_(writer->sector_size) {}

  // Writes `length` bytes for image offset `offset`; a sparse copy skips zero sectors (the
  // image reads zeros there, since nothing was written into a range not yet done).
  int Write(const uint8_t* data, size_t length, uint64_t offset) {
    if (!writer_->sparse) return platform::WriteAllAt(writer_->output, data, length, offset);
    size_t i = 0;
    while (i < length) {
      while (i < length && AllZero(data + i, size_)) i += size_;
      const size_t run = i;
      while (i < length && !AllZero(data + i, size_)) i += size_;
      if (i > run) {
        const int err = platform::WriteAllAt(writer_->output, data + run, i - run, offset + run);
        if (err != kSuccess) return err;
      }
    }
    return kSuccess;
  }

  // Reads and writes [offset, offset + length) of the image (at most one chunk).
  int CopyChunk(uint64_t offset, size_t length, uint8_t* buffer) {
    const uint64_t source_offset = writer_->start_sector * size_ + offset;
    size_t got = 0;
    if (source_->ReadAt(source_offset, buffer, length, &got) == kSuccess && got == length) {
      const int err = Write(buffer, length, offset);
      if (err == kSuccess) writer_->map.Mark(offset, length, MapStatus::kCopied);
      return err;
    }
    if (writer_->unreadable == UnreadablePolicy::kStop) return kErrReadFault;
    // What arrived before the failure is good; the rest is read one sector at a time.
    const size_t good = got / size_ * size_;
    if (good) {
      const int err = Write(buffer, good, offset);
      if (err != kSuccess) return err;
      writer_->map.Mark(offset, good, MapStatus::kCopied);
    }
    for (size_t at = good; at < length; at += size_) {
      const int err = CopySector(offset + at, buffer + at);
      if (err != kSuccess) return err;
    }
    return kSuccess;
  }

  // One sector on its own: copied, or zeros and marked unreadable.
  int CopySector(uint64_t offset, uint8_t* sector) {
    size_t got = 0;
    const uint64_t source_offset = writer_->start_sector * size_ + offset;
    if (source_->ReadSectorAt(source_offset, sector, size_, &got) == kSuccess && got == size_) {
      const int err = Write(sector, size_, offset);
      if (err == kSuccess) writer_->map.Mark(offset, size_, MapStatus::kCopied);
      return err;
    }
    std::fill(sector, sector + size_, 0);
    const int err = Write(sector, size_, offset);
    if (err == kSuccess) writer_->map.Mark(offset, size_, MapStatus::kUnreadable);
    return err;
  }

  // A sector the first pass could not read: copied when it reads now, else left as it is.
  int RetrySector(uint64_t offset, uint8_t* sector) {
    size_t got = 0;
    const uint64_t source_offset = writer_->start_sector * size_ + offset;
    if (source_->ReadSectorAt(source_offset, sector, size_, &got) != kSuccess || got != size_) {
      return kSuccess;
    }
    const int err = Write(sector, size_, offset);
    if (err != kSuccess) return err;
    writer_->map.Mark(offset, size_, MapStatus::kCopied);
    ++writer_->retried_sectors;
    return kSuccess;
  }

  // Saves the map every few seconds, after the data it describes is on disk.
  int SaveMapNowAndThen(bool now) {
    if (writer_->map_path.empty()) return kSuccess;
    const auto clock = std::chrono::steady_clock::now();
    if (!now && clock - last_save_ < kMapSaveInterval) return kSuccess;
    last_save_ = clock;
    ::fdatasync(writer_->output);
    return SaveImageMapFile(writer_->map_path, writer_->map);
  }

  int Report(uint64_t done_bytes) {
    const uint64_t count = writer_->sector_count;
    const uint64_t done = done_bytes / size_;
    writer_->sectors_copied = done;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_estimate_ >= kEstimateInterval) {
      last_estimate_ = now;
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - started_).count();
      const uint64_t this_run = done_bytes - writer_->resumed_bytes;
      const uint64_t speed = std::max<uint64_t>(1, this_run / std::max<int64_t>(1, seconds));
      const uint64_t left = (count - done) * size_ / speed;
      seconds_remaining_ = static_cast<int32_t>(std::min<uint64_t>(left, INT32_MAX));
    }
    if (!writer_->progress) return kSuccess;
    const int percent = count ? static_cast<int>(done * 100 / count) : 100;
    return writer_->progress(context_, percent, done, count, seconds_remaining_);
  }

  int Run() {
    const uint32_t chunk_sectors = static_cast<uint32_t>(std::max<size_t>(1, kChunkBytes / size_));
    const size_t chunk_bytes = static_cast<size_t>(chunk_sectors) * size_;
    std::vector<uint8_t> buffer(chunk_bytes);
    uint64_t done =
        writer_->map.BytesWith(MapStatus::kCopied) + writer_->map.BytesWith(MapStatus::kUnreadable);
    int result = kSuccess;
    for (const MapRange& range : writer_->map.RangesWith(MapStatus::kUntried)) {
      for (uint64_t at = 0; at < range.length && result == kSuccess;) {
        const size_t length =
            static_cast<size_t>(std::min<uint64_t>(chunk_bytes, range.length - at));
        result = CopyChunk(range.offset + at, length, buffer.data());
        if (result != kSuccess) break;
        at += length;
        done += length;
        result = SaveMapNowAndThen(false);
        if (result == kSuccess) result = Report(done);
      }
      if (result != kSuccess) return result;
    }
    if (writer_->sector_count == 0 && writer_->progress) writer_->progress(context_, 100, 0, 0, 0);
    // The retry pass: what failed once may read on a second try, one sector at a time.
    for (const MapRange& range : writer_->map.RangesWith(MapStatus::kUnreadable)) {
      for (uint64_t at = 0; at < range.length; at += size_) {
        result = RetrySector(range.offset + at, buffer.data());
        if (result != kSuccess) return result;
      }
      result = SaveMapNowAndThen(false);
      if (result == kSuccess) result = Report(done);
      if (result != kSuccess) return result;
    }
    return kSuccess;
  }

 private:
  static constexpr auto kMapSaveInterval = std::chrono::milliseconds(3000);

  DiskImageWriter* writer_;
  ImageSource* source_;
  void* context_;
  uint32_t size_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point last_estimate_ = started_;
  std::chrono::steady_clock::time_point last_save_ = started_;
  int32_t seconds_remaining_ = -1;
};

// Opens the destination of a mapped copy: goes on from a map of this same copy, or starts
// over. Refuses maps that are links, not maps, or of another copy.
int OpenMappedDestination(DiskImageWriter* writer, const std::string& destination) {
  ImageMap loaded;
  const MapFileState state = LoadImageMapFile(writer->map_path, &loaded, &writer->error_text);
  if (state == MapFileState::kRefused) return kErrAccessDenied;
  if (state == MapFileState::kValid && !writer->replace_existing) {
    if (!loaded.SameCopyAs(writer->map)) {
      writer->error_text = "'" + writer->map_path + "' belongs to another copy (" +
                           std::to_string(loaded.sector_count) + " sectors of " +
                           std::to_string(loaded.sector_size) + " bytes from sector " +
                           std::to_string(loaded.first_sector) + "); use --force to start over";
      return kErrAlreadyExists;
    }
    const int fd = ::open(destination.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      struct stat st {};
      if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        writer->error_text = "'" + destination + "' is not a regular file";
        return kErrAccessDenied;
      }
      writer->output = fd;
      loaded.source = writer->map.source;
      writer->map = std::move(loaded);
      writer->resumed_bytes =
          writer->map.BytesWith(MapStatus::kCopied) + writer->map.BytesWith(MapStatus::kUnreadable);
      return kSuccess;
    }
    if (errno != ENOENT) return LastError();
    // The image went away: its map describes nothing any more.
  }
  const bool replace = writer->replace_existing || state == MapFileState::kValid;
  const int err = platform::CreateImageFile(destination, replace, &writer->output);
  if (err != kSuccess) return err;
  // Saved at once, so that even a copy killed in its first seconds goes on next time.
  return SaveImageMapFile(writer->map_path, writer->map);
}

}  // namespace

uint64_t DiskImageWriter::UnreadableBytes() const {
  uint64_t sectors = 0;
  for (const auto& range : bad_ranges) sectors += range.sector_count;
  return sectors * sector_size;
}

int CopyToImage(DiskImageWriter* writer, ImageSource* source, uint64_t start, uint64_t count,
                const std::string& destination, void* context) {
  writer->context = context;
  writer->bad_ranges.clear();
  writer->sectors_copied = 0;
  writer->resumed_bytes = 0;
  writer->retried_sectors = 0;
  writer->error_text.clear();
  writer->sector_size = source->SectorSize();
  const uint64_t source_sectors = source->SectorCount();
  // A region that does not lie inside the source is refused before anything is created.
  if (start > source_sectors) return kErrInvalidParameter;
  if (count == 0) count = source_sectors - start;
  if (count > source_sectors - start) return kErrInvalidParameter;
  writer->start_sector = start;
  writer->sector_count = count;
  writer->map.Reset(writer->sector_size, start, count);
  writer->map.source = writer->source_name;

  int result = kSuccess;
  if (writer->unreadable == UnreadablePolicy::kZeroFill) {
    writer->map_path = destination + ".map";
    result = OpenMappedDestination(writer, destination);
  } else {
    writer->map_path.clear();
    result = platform::CreateImageFile(destination, writer->replace_existing, &writer->output);
  }
  if (result != kSuccess) {
    platform::CloseHandle(&writer->output);
    return result;
  }

  Copy copy(writer, source, context);
  result = copy.Run();
  // A sparse image ends in a hole when its last sectors were zeros.
  if (result == kSuccess && writer->sparse &&
      ::ftruncate(writer->output, static_cast<off_t>(writer->map.ImageBytes())) != 0) {
    result = LastError();
  }
  const int sync = platform::SyncFile(writer->output);
  if (result == kSuccess) result = sync;
  platform::CloseHandle(&writer->output);
  if (!writer->map_path.empty()) {
    const int map = SaveImageMapFile(writer->map_path, writer->map);
    if (result == kSuccess) result = map;
  }
  for (const MapRange& range : writer->map.RangesWith(MapStatus::kUnreadable)) {
    writer->bad_ranges.push_back(
        {start + range.offset / writer->sector_size, range.length / writer->sector_size});
  }
  return result;
}

int CreateDiskImage(DiskImageWriter* writer, int disk_number, uint64_t start, uint64_t count,
                    const std::string& destination, void* context) {
  const std::string path = platform::PhysicalDrivePath(disk_number);
  if (path.empty()) return kErrFileNotFound;
  // What mounted file systems still hold in memory belongs in the image too.
  platform::FlushDevice(path);
  std::unique_ptr<ImageSource> source;
  const int err = OpenImageSource(path, &source);
  if (err != kSuccess) return err;
  if (writer->source_name.empty()) writer->source_name = path;
  return CopyToImage(writer, source.get(), start, count, destination, context);
}

}  // namespace velmora
