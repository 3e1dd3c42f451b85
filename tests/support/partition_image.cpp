#include "support/partition_image.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace velmora::testing {

namespace {

constexpr uint64_t kSector = 512;

void Put(std::vector<uint8_t>& b, size_t at, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Crc32(const uint8_t* data, size_t n) {
  return static_cast<uint32_t>(::crc32(::crc32(0L, Z_NULL, 0), data, static_cast<uInt>(n)));
}

class Disk {
 public:
  Disk(const std::string& path, uint64_t sectors) {
    std::error_code ec;
    std::filesystem::remove(path, ec);
    { std::ofstream create(path, std::ios::binary); }
    std::filesystem::resize_file(path, sectors * kSector);
    fd_ = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
  }
  ~Disk() { ::close(fd_); }
  Disk(const Disk&) = delete;
  Disk& operator=(const Disk&) = delete;

  void Write(uint64_t offset, const uint8_t* data, size_t n) const {
    if (::pwrite(fd_, data, n, static_cast<off_t>(offset)) != static_cast<ssize_t>(n)) {
      throw std::runtime_error("short write to disk image");
    }
  }
  void Write(uint64_t offset, const std::vector<uint8_t>& b) const {
    Write(offset, b.data(), b.size());
  }

  void CopyVolume(const std::string& volume_path, uint64_t start_sector, uint64_t max_bytes) const {
    std::ifstream in(volume_path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + volume_path);
    std::vector<uint8_t> chunk(1 << 20);
    uint64_t at = start_sector * kSector;
    uint64_t left = max_bytes;
    while (left > 0 && in) {
      in.read(reinterpret_cast<char*>(chunk.data()),
              static_cast<std::streamsize>(std::min<uint64_t>(chunk.size(), left)));
      const size_t got = static_cast<size_t>(in.gcount());
      if (got == 0) break;
      Write(at, chunk.data(), got);
      at += got;
      left -= got;
    }
  }

 private:
  int fd_ = -1;
};

uint64_t SectorsFor(uint64_t requested, const std::string& volume_image) {
  if (requested) return requested;
  if (volume_image.empty())
    throw std::invalid_argument("a partition without an image needs a size");
  const uint64_t bytes = std::filesystem::file_size(volume_image);
  return (bytes + kSector - 1) / kSector;
}

void CheckLayout(std::vector<std::pair<uint64_t, uint64_t>> ranges, uint64_t first_usable,
                 uint64_t last_usable) {
  std::sort(ranges.begin(), ranges.end());
  for (size_t i = 0; i < ranges.size(); ++i) {
    const auto [start, count] = ranges[i];
    if (count == 0 || start < first_usable || start + count - 1 > last_usable) {
      throw std::invalid_argument("partition outside the usable sectors of the disk");
    }
    if (i > 0 && ranges[i - 1].first + ranges[i - 1].second > start) {
      throw std::invalid_argument("partitions overlap");
    }
  }
}

// CHS fields are obsolete; "beyond addressable" is what current tools write.
void PutChs(std::vector<uint8_t>& mbr, size_t at) {
  mbr[at] = 0xFE;
  mbr[at + 1] = 0xFF;
  mbr[at + 2] = 0xFF;
}

// Mixed-endian GUID layout: first three fields little-endian.
std::array<uint8_t, 16> Guid(uint32_t a, uint16_t b, uint16_t c, uint64_t d) {
  std::array<uint8_t, 16> g{};
  for (int i = 0; i < 4; ++i) g[i] = static_cast<uint8_t>(a >> (8 * i));
  for (int i = 0; i < 2; ++i) g[4 + i] = static_cast<uint8_t>(b >> (8 * i));
  for (int i = 0; i < 2; ++i) g[6 + i] = static_cast<uint8_t>(c >> (8 * i));
  for (int i = 0; i < 8; ++i) g[8 + i] = static_cast<uint8_t>(d >> (8 * (7 - i)));
  return g;
}

std::vector<uint16_t> Utf8ToUtf16(const std::string& s) {
  std::vector<uint16_t> out;
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    uint32_t cp;
    size_t n;
    if (c < 0x80) {
      cp = c;
      n = 1;
    } else if ((c >> 5) == 6) {
      cp = c & 0x1F;
      n = 2;
    } else if ((c >> 4) == 14) {
      cp = c & 0x0F;
      n = 3;
    } else if ((c >> 3) == 30) {
      cp = c & 0x07;
      n = 4;
    } else
      throw std::invalid_argument("partition name is not UTF-8");
    if (i + n > s.size()) throw std::invalid_argument("partition name is not UTF-8");
    for (size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<uint16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<uint16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<uint16_t>(cp));
    }
    i += n;
  }
  return out;
}

}  // namespace

void WriteMbrDisk(const std::string& disk_path, uint64_t disk_sectors,
                  const std::vector<MbrPartition>& partitions) {
  if (partitions.size() > 4)
    throw std::invalid_argument("an MBR holds at most four primary partitions");
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (const auto& p : partitions)
    ranges.emplace_back(p.start_sector, SectorsFor(p.sector_count, p.volume_image));
  CheckLayout(ranges, 1, std::min<uint64_t>(disk_sectors, 0xFFFFFFFFull) - 1);

  Disk disk(disk_path, disk_sectors);
  std::vector<uint8_t> mbr(kSector, 0);
  Put(mbr, 440, 0x56454C4D, 4);  // disk signature
  for (size_t i = 0; i < partitions.size(); ++i) {
    const size_t at = 446 + 16 * i;
    mbr[at] = partitions[i].bootable ? 0x80 : 0x00;
    PutChs(mbr, at + 1);
    mbr[at + 4] = partitions[i].type;
    PutChs(mbr, at + 5);
    Put(mbr, at + 8, ranges[i].first, 4);
    Put(mbr, at + 12, ranges[i].second, 4);
  }
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  disk.Write(0, mbr);
  for (size_t i = 0; i < partitions.size(); ++i) {
    if (!partitions[i].volume_image.empty()) {
      disk.CopyVolume(partitions[i].volume_image, ranges[i].first, ranges[i].second * kSector);
    }
  }
}

void WriteGptDisk(const std::string& disk_path, uint64_t disk_sectors,
                  const std::vector<GptPartition>& partitions) {
  constexpr uint32_t kEntries = 128;
  constexpr uint32_t kEntrySize = 128;
  constexpr uint64_t kEntrySectors = kEntries * kEntrySize / kSector;  // 32
  if (partitions.size() > kEntries) throw std::invalid_argument("too many GPT partitions");
  if (disk_sectors < 2 * (kEntrySectors + 1) + 2)
    throw std::invalid_argument("disk too small for a GPT");
  const uint64_t first_usable = 2 + kEntrySectors;
  const uint64_t last_usable = disk_sectors - 2 - kEntrySectors;
  std::vector<std::pair<uint64_t, uint64_t>> ranges;
  for (const auto& p : partitions)
    ranges.emplace_back(p.start_sector, SectorsFor(p.sector_count, p.volume_image));
  CheckLayout(ranges, first_usable, last_usable);

  Disk disk(disk_path, disk_sectors);
  std::vector<uint8_t> mbr(kSector, 0);
  mbr[446 + 1] = 0x00;
  mbr[446 + 2] = 0x02;
  mbr[446 + 4] = 0xEE;
  PutChs(mbr, 446 + 5);
  Put(mbr, 446 + 8, 1, 4);
  Put(mbr, 446 + 12, std::min<uint64_t>(disk_sectors - 1, 0xFFFFFFFFull), 4);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  disk.Write(0, mbr);

  const auto basic_data = Guid(0xEBD0A0A2, 0xB9E5, 0x4433, 0x87C068B6B72699C7ull);
  std::vector<uint8_t> entries(kEntries * kEntrySize, 0);
  for (size_t i = 0; i < partitions.size(); ++i) {
    const size_t at = i * kEntrySize;
    std::copy(basic_data.begin(), basic_data.end(), entries.begin() + at);
    const auto unique =
        Guid(0x56454C00 + static_cast<uint32_t>(i), 0x4D4F, 0x5241, 0x8000000000000001ull + i);
    std::copy(unique.begin(), unique.end(), entries.begin() + at + 16);
    Put(entries, at + 32, ranges[i].first, 8);
    Put(entries, at + 40, ranges[i].first + ranges[i].second - 1, 8);
    const auto name = Utf8ToUtf16(partitions[i].name);
    if (name.size() > 36) throw std::invalid_argument("GPT partition name longer than 36 units");
    for (size_t k = 0; k < name.size(); ++k) Put(entries, at + 56 + 2 * k, name[k], 2);
  }
  const uint32_t entries_crc = Crc32(entries.data(), entries.size());

  auto header = [&](uint64_t my_lba, uint64_t other_lba, uint64_t entries_lba) {
    std::vector<uint8_t> h(kSector, 0);
    const char kSignature[] = "EFI PART";
    std::copy(kSignature, kSignature + 8, h.begin());
    Put(h, 8, 0x00010000, 4);
    Put(h, 12, 92, 4);
    Put(h, 24, my_lba, 8);
    Put(h, 32, other_lba, 8);
    Put(h, 40, first_usable, 8);
    Put(h, 48, last_usable, 8);
    const auto disk_guid = Guid(0x56454C4D, 0x4F52, 0x4144, 0x8000000000000000ull);
    std::copy(disk_guid.begin(), disk_guid.end(), h.begin() + 56);
    Put(h, 72, entries_lba, 8);
    Put(h, 80, kEntries, 4);
    Put(h, 84, kEntrySize, 4);
    Put(h, 88, entries_crc, 4);
    Put(h, 16, Crc32(h.data(), 92), 4);
    return h;
  };
  disk.Write(1 * kSector, header(1, disk_sectors - 1, 2));
  disk.Write(2 * kSector, entries);
  disk.Write((disk_sectors - 1 - kEntrySectors) * kSector, entries);
  disk.Write((disk_sectors - 1) * kSector,
             header(disk_sectors - 1, 1, disk_sectors - 1 - kEntrySectors));

  for (size_t i = 0; i < partitions.size(); ++i) {
    if (!partitions[i].volume_image.empty()) {
      disk.CopyVolume(partitions[i].volume_image, ranges[i].first, ranges[i].second * kSector);
    }
  }
}

}  // namespace velmora::testing
