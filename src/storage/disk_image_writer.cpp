#include "storage/disk_image_writer.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <sstream>

#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr size_t kChunkBytes = 65536;
constexpr auto kEstimateInterval = std::chrono::milliseconds(5000);

void AddBadSector(std::vector<BadSectorRange>* ranges, uint64_t sector) {
  if (!ranges->empty()) {
    BadSectorRange& last = ranges->back();
    if (last.first_sector + last.sector_count == sector) {
      ++last.sector_count;
      return;
    }
  }
  ranges->push_back({sector, 1});
}

// Fills `buffer` with `sectors` sectors from `first`; in kZeroFill mode unreadable
// sectors are retried one by one and zeroed. Returns 0 or 30 (kStop mode only).
int ReadChunk(DiskImageWriter* writer, ImageSource* source, uint64_t first, uint32_t sectors,
              uint8_t* buffer) {
  const uint32_t size = writer->sector_size;
  const size_t bytes = static_cast<size_t>(sectors) * size;
  size_t got = 0;
  if (source->ReadAt(first * size, buffer, bytes, &got) == kSuccess && got == bytes) {
    return kSuccess;
  }
  if (writer->unreadable == UnreadablePolicy::kStop) return kErrReadFault;
  for (uint32_t i = static_cast<uint32_t>(got / size); i < sectors; ++i) {
    uint8_t* sector = buffer + static_cast<size_t>(i) * size;
    size_t sector_got = 0;
    if (source->ReadSectorAt((first + i) * size, sector, size, &sector_got) != kSuccess ||
        sector_got != size) {
      std::fill(sector, sector + size, 0);
      AddBadSector(&writer->bad_ranges, first + i);
    }
  }
  return kSuccess;
}

int WriteMap(const DiskImageWriter& writer) {
  std::ofstream map(writer.map_path, std::ios::trunc);
  if (!map) return kErrWriteFault;
  map << FormatBadSectorMap(writer);
  map.close();
  return map ? kSuccess : kErrWriteFault;
}

}  // namespace

uint64_t DiskImageWriter::UnreadableBytes() const {
  uint64_t sectors = 0;
  for (const auto& range : bad_ranges) sectors += range.sector_count;
  return sectors * sector_size;
}

std::string FormatBadSectorMap(const DiskImageWriter& writer) {
  std::ostringstream text;
  text << "# velmora unreadable-sector map\n"
       << "# source: " << writer.source_name << "\n"
       << "# sector size: " << writer.sector_size << "; first source sector: "
       << writer.start_sector << "; sectors copied: " << writer.sectors_copied << " of "
       << writer.sector_count << "\n"
       << "# unreadable bytes: " << writer.UnreadableBytes() << " (written as zeros)\n"
       << "# image-offset length source-sector sector-count\n";
  for (const auto& range : writer.bad_ranges) {
    text << (range.first_sector - writer.start_sector) * writer.sector_size << ' '
         << range.sector_count * writer.sector_size << ' ' << range.first_sector << ' '
         << range.sector_count << '\n';
  }
  return text.str();
}

int CopyToImage(DiskImageWriter* writer, ImageSource* source, uint64_t start, uint64_t count,
                const std::string& destination, void* context) {
  writer->context = context;
  writer->bad_ranges.clear();
  writer->sectors_copied = 0;
  writer->sector_size = source->SectorSize();
  const uint64_t source_sectors = source->SectorCount();
  // A region that does not lie inside the source is refused before anything is created.
  if (start > source_sectors) return kErrInvalidParameter;
  if (count == 0) count = source_sectors - start;
  if (count > source_sectors - start) return kErrInvalidParameter;
  writer->start_sector = start;
  writer->sector_count = count;

  int result = platform::CreateImageFile(destination, writer->replace_existing, &writer->output);
  if (result != kSuccess) return result;
  writer->map_path =
      writer->unreadable == UnreadablePolicy::kZeroFill ? destination + ".map" : std::string();

  const uint32_t size = writer->sector_size;
  const uint32_t chunk_sectors = static_cast<uint32_t>(std::max<size_t>(1, kChunkBytes / size));
  std::vector<uint8_t> buffer(static_cast<size_t>(chunk_sectors) * size);
  const auto started = std::chrono::steady_clock::now();
  auto last_estimate = started;
  int32_t seconds_remaining = -1;
  uint64_t done = 0;
  while (done < count) {
    const uint32_t sectors = static_cast<uint32_t>(std::min<uint64_t>(chunk_sectors, count - done));
    result = ReadChunk(writer, source, start + done, sectors, buffer.data());
    if (result != kSuccess) break;
    result = platform::WriteAll(writer->output, buffer.data(), static_cast<size_t>(sectors) * size);
    if (result != kSuccess) break;
    done += sectors;
    writer->sectors_copied = done;

    const auto now = std::chrono::steady_clock::now();
    if (now - last_estimate >= kEstimateInterval) {
      last_estimate = now;
      const auto seconds =
          std::chrono::duration_cast<std::chrono::seconds>(now - started).count();
      const uint64_t speed = std::max<uint64_t>(1, done * size / std::max<int64_t>(1, seconds));
      const uint64_t left = (count - done) * size / speed;
      seconds_remaining = static_cast<int32_t>(std::min<uint64_t>(left, INT32_MAX));
    }
    if (writer->progress) {
      const int percent = static_cast<int>(done * 100 / count);
      const int answer = writer->progress(context, percent, done, count, seconds_remaining);
      if (answer != 0) {
        result = answer;
        break;
      }
    }
  }
  if (count == 0 && writer->progress) writer->progress(context, 100, 0, 0, 0);

  const int sync = platform::SyncFile(writer->output);
  if (result == kSuccess) result = sync;
  platform::CloseHandle(&writer->output);
  if (!writer->map_path.empty()) {
    const int map = WriteMap(*writer);
    if (result == kSuccess) result = map;
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
