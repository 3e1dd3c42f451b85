#include "storage/image_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <random>
#include <sstream>

#include "storage/error_codes.h"
#include "storage/platform_device.h"

namespace velmora {

namespace {

constexpr std::string_view kMagic = "velmora-image-map 1";
constexpr size_t kLargestMapFile = size_t{64} << 20;

bool ParseUnsigned(std::string_view word, uint64_t* value) {
  if (word.empty()) return false;
  const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), *value);
  return ec == std::errc() && end == word.data() + word.size();
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

std::pair<std::string, std::string> SplitPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {".", path};
  return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

}  // namespace

void ImageMap::Reset(uint32_t size, uint64_t first, uint64_t count) {
  sector_size = size;
  first_sector = first;
  sector_count = count;
  ranges.clear();
  if (count) ranges.push_back({0, ImageBytes(), MapStatus::kUntried});
}

void ImageMap::Mark(uint64_t offset, uint64_t length, MapStatus status) {
  const uint64_t end = std::min(offset + length, ImageBytes());
  if (offset >= end) return;
  std::vector<MapRange> out;
  out.reserve(ranges.size() + 2);
  auto push = [&out](MapRange range) {
    if (range.length == 0) return;
    if (!out.empty() && out.back().status == range.status &&
        out.back().offset + out.back().length == range.offset) {
      out.back().length += range.length;
    } else {
      out.push_back(range);
    }
  };
  bool placed = false;
  for (const MapRange& range : ranges) {
    const uint64_t range_end = range.offset + range.length;
    if (range_end <= offset || range.offset >= end) {
      if (!placed && range.offset >= end) {
        push({offset, end - offset, status});
        placed = true;
      }
      push(range);
      continue;
    }
    if (range.offset < offset) push({range.offset, offset - range.offset, range.status});
    if (!placed) {
      push({offset, end - offset, status});
      placed = true;
    }
    if (range_end > end) push({end, range_end - end, range.status});
  }
  if (!placed) push({offset, end - offset, status});
  ranges = std::move(out);
}

uint64_t ImageMap::BytesWith(MapStatus status) const {
  uint64_t bytes = 0;
  for (const MapRange& range : ranges) {
    if (range.status == status) bytes += range.length;
  }
  return bytes;
}

std::vector<MapRange> ImageMap::RangesWith(MapStatus status) const {
  std::vector<MapRange> out;
  for (const MapRange& range : ranges) {
    if (range.status == status) out.push_back(range);
  }
  return out;
}

std::string FormatImageMap(const ImageMap& map) {
  std::ostringstream text;
  text << "# velmora image map: what a copy into an image has done so far\n"
       << "# source: " << map.source << "\n"
       << "# unreadable bytes: " << map.BytesWith(MapStatus::kUnreadable)
       << " (zeros in the image); not read yet: " << map.BytesWith(MapStatus::kUntried) << "\n"
       << kMagic << "\n"
       << "sector-size " << map.sector_size << "\n"
       << "first-sector " << map.first_sector << "\n"
       << "sector-count " << map.sector_count << "\n"
       << "# image-offset length status (+ copied, - unreadable, ? not read yet)\n";
  for (const MapRange& range : map.ranges) {
    text << range.offset << ' ' << range.length << ' ' << static_cast<char>(range.status) << '\n';
  }
  return text.str();
}

bool ParseImageMap(std::string_view text, ImageMap* map, std::string* error) {
  ImageMap parsed;
  bool magic = false;
  int identity = 0;
  uint64_t next = 0;
  size_t line_number = 0;
  auto fail = [&](const std::string& why) {
    *error = "line " + std::to_string(line_number) + ": " + why;
    return false;
  };
  while (!text.empty()) {
    const size_t newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text = newline == std::string_view::npos ? std::string_view() : text.substr(newline + 1);
    ++line_number;
    if (line.size() > 1 && line[0] == '#') {
      if (line.rfind("# source: ", 0) == 0) parsed.source = std::string(line.substr(10));
      continue;
    }
    const std::vector<std::string_view> words = Words(line);
    if (words.empty() || words[0][0] == '#') continue;
    if (!magic) {
      if (line != kMagic) return fail("not a velmora image map");
      magic = true;
      continue;
    }
    if (identity < 3) {
      static constexpr std::string_view kKeys[] = {"sector-size", "first-sector", "sector-count"};
      uint64_t value = 0;
      if (words.size() != 2 || words[0] != kKeys[identity] || !ParseUnsigned(words[1], &value)) {
        return fail("expected '" + std::string(kKeys[identity]) + " N'");
      }
      if (identity == 0) {
        if (value < 512 || value > 65536 || value % 512 != 0) return fail("bad sector size");
        parsed.sector_size = static_cast<uint32_t>(value);
      } else if (identity == 1) {
        parsed.first_sector = value;
      } else {
        if (value > (UINT64_MAX / 2) / parsed.sector_size) return fail("sector count too large");
        parsed.sector_count = value;
      }
      ++identity;
      continue;
    }
    uint64_t offset = 0;
    uint64_t length = 0;
    if (words.size() != 3 || !ParseUnsigned(words[0], &offset) ||
        !ParseUnsigned(words[1], &length) || words[2].size() != 1 ||
        (words[2][0] != '+' && words[2][0] != '-' && words[2][0] != '?')) {
      return fail("expected 'offset length +|-|?'");
    }
    if (offset != next) return fail("ranges must follow each other without gaps or overlaps");
    if (length == 0 || length % parsed.sector_size != 0) return fail("length is not whole sectors");
    if (length > parsed.ImageBytes() - offset) return fail("range passes the end of the image");
    parsed.ranges.push_back({offset, length, static_cast<MapStatus>(words[2][0])});
    next = offset + length;
  }
  if (!magic) {
    *error = "not a velmora image map";
    return false;
  }
  if (identity < 3 || next != parsed.ImageBytes()) {
    *error = "the map is incomplete (its ranges do not reach the end of the image)";
    return false;
  }
  *map = std::move(parsed);
  return true;
}

MapFileState LoadImageMapFile(const std::string& path, ImageMap* map, std::string* error) {
  const auto [folder, name] = SplitPath(path);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    if (errno == ENOENT) return MapFileState::kAbsent;
    *error = "cannot open the folder '" + folder + "': " + DescribeErrorCode(LastError());
    return MapFileState::kRefused;
  }
  struct stat st {};
  if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    const int err = errno;
    ::close(dir);
    if (err == ENOENT) return MapFileState::kAbsent;
    *error = "cannot examine '" + path + "': " + DescribeErrorCode(ErrorFromErrno(err));
    return MapFileState::kRefused;
  }
  if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode)) {
    ::close(dir);
    *error = "'" + path + "' is " +
             (S_ISLNK(st.st_mode) ? "a symbolic link" : "not a regular file") +
             "; the map is never written through it (remove it or choose another destination)";
    return MapFileState::kRefused;
  }
  const int fd = ::openat(dir, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  ::close(dir);
  if (fd < 0) {
    *error = "cannot open '" + path + "': " + DescribeErrorCode(LastError());
    return MapFileState::kRefused;
  }
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0 || text.size() + static_cast<size_t>(n) > kLargestMapFile) {
      if (n > 0) text.clear();
      break;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  std::string why;
  if (!ParseImageMap(text, map, &why)) {
    *error = "'" + path + "' is no usable image map (" + why +
             "); it is left as it is (remove it or choose another destination)";
    return MapFileState::kRefused;
  }
  return MapFileState::kValid;
}

int SaveImageMapFile(const std::string& path, const ImageMap& map) {
  const auto [folder, name] = SplitPath(path);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return LastError();
  static thread_local std::mt19937_64 random{std::random_device{}()};
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
    temporary = "." + name + "." + std::to_string(random() % 1000000000) + ".tmp";
    fd = ::openat(dir, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                  0644);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    const int err = LastError();
    ::close(dir);
    return err;
  }
  const std::string text = FormatImageMap(map);
  int result = platform::WriteAll(fd, text.data(), text.size());
  if (result == kSuccess && ::fsync(fd) != 0) result = LastError();
  ::close(fd);
  if (result == kSuccess && ::renameat(dir, temporary.c_str(), dir, name.c_str()) != 0) {
    result = LastError();
  }
  if (result != kSuccess) ::unlinkat(dir, temporary.c_str(), 0);
  ::close(dir);
  return result;
}

}  // namespace velmora
