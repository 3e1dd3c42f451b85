#include "support/fat_volume_builder.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>

#include "support/content_gen.h"
#include "support/test_env.h"

namespace velmora::testing {

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error("FatVolumeBuilder: " + what);
}

// The image is read and patched with plain file I/O between mtools runs.
class ImageFile {
 public:
  explicit ImageFile(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_CLOEXEC)) {
    if (fd_ < 0) Fail("cannot open " + path);
  }
  ~ImageFile() { ::close(fd_); }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;

  std::vector<uint8_t> Read(uint64_t offset, size_t length) const {
    std::vector<uint8_t> out(length);
    if (::pread(fd_, out.data(), length, static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(length)) {
      Fail("short read from image");
    }
    return out;
  }
  void Write(uint64_t offset, const std::vector<uint8_t>& bytes) const {
    if (::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset)) !=
        static_cast<ssize_t>(bytes.size())) {
      Fail("short write to image");
    }
  }

 private:
  int fd_;
};

uint32_t Le(const std::vector<uint8_t>& b, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | b.at(at + i);
  return v;
}

void PutLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t FatEntry(const std::vector<uint8_t>& fat, int bits, uint32_t n) {
  switch (bits) {
    case 12: {
      const uint32_t v = Le(fat, n + n / 2, 2);
      return (n & 1) ? v >> 4 : v & 0xFFF;
    }
    case 16: return Le(fat, 2 * n, 2);
    default: return Le(fat, 4 * n, 4) & 0x0FFFFFFF;
  }
}

void SetFatEntry(std::vector<uint8_t>& fat, int bits, uint32_t n, uint32_t value) {
  switch (bits) {
    case 12: {
      const size_t at = n + n / 2;
      uint32_t v = Le(fat, at, 2);
      v = (n & 1) ? ((value & 0xFFF) << 4) | (v & 0x000F) : (value & 0xFFF) | (v & 0xF000);
      fat.at(at) = static_cast<uint8_t>(v);
      fat.at(at + 1) = static_cast<uint8_t>(v >> 8);
      break;
    }
    case 16:
      fat.at(2 * n) = static_cast<uint8_t>(value);
      fat.at(2 * n + 1) = static_cast<uint8_t>(value >> 8);
      break;
    default: PutLe32(fat, 4 * n, (Le(fat, 4 * n, 4) & 0xF0000000) | (value & 0x0FFFFFFF)); break;
  }
}

uint32_t BadClusterMark(int bits) { return bits == 12 ? 0xFF7 : bits == 16 ? 0xFFF7 : 0x0FFFFFF7; }

std::string MtoolsPath(const std::string& path) { return ShellQuote("::" + path); }

// A fixed environment: UTF-8 names keep their long-name entries, times are UTC, and no
// user mtoolsrc or prompt interferes.
const std::string kMtoolsEnvironment =
    "MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null LC_ALL=C.UTF-8 TZ=UTC ";

}  // namespace

bool FatBuilderAvailable() {
  return ToolAvailable("mkfs.fat") && ToolAvailable("mcopy") && ToolAvailable("mshowfat");
}

FatVolumeBuilder::FatVolumeBuilder(std::string image_path, int fat_bits, uint64_t size_bytes,
                                   FatBuildOptions options)
    : image_path_(std::move(image_path)), fat_bits_(fat_bits), options_(std::move(options)) {
  if (fat_bits_ != 12 && fat_bits_ != 16 && fat_bits_ != 32) Fail("FAT type must be 12, 16 or 32");
  std::error_code ec;
  std::filesystem::remove(image_path_, ec);
  { std::ofstream create(image_path_, std::ios::binary); }
  std::filesystem::resize_file(image_path_, size_bytes);
  std::string command = "mkfs.fat -F " + std::to_string(fat_bits_) + " -S 512";
  if (options_.sectors_per_cluster)
    command += " -s " + std::to_string(options_.sectors_per_cluster);
  command += " -n " + ShellQuote(options_.label) + " " + ShellQuote(image_path_);
  std::string output;
  if (RunCommand(command, &output) != 0) Fail("mkfs.fat failed: " + output);
  ReadGeometry();
  scratch_dir_ = MakeTempDir("fat-content");

  TruthEntry root;
  root.path = "/";
  root.is_dir = true;
  root.data_intact = true;
  root.md5 = Md5Hex({});
  root.sha256 = Sha256Hex({});
  tracked_.push_back({root, {}});
}

FatVolumeBuilder::~FatVolumeBuilder() { RemoveTree(scratch_dir_); }

void FatVolumeBuilder::ReadGeometry() {
  ImageFile image(image_path_);
  const std::vector<uint8_t> boot = image.Read(0, 512);
  Geometry g;
  g.fat_bits = fat_bits_;
  g.bytes_per_sector = Le(boot, 11, 2);
  g.sectors_per_cluster = boot[13];
  const uint32_t reserved = Le(boot, 14, 2);
  g.fat_count = boot[16];
  const uint32_t root_entries = Le(boot, 17, 2);
  const uint32_t total = Le(boot, 19, 2) ? Le(boot, 19, 2) : Le(boot, 32, 4);
  const uint32_t fat_sectors = Le(boot, 22, 2) ? Le(boot, 22, 2) : Le(boot, 36, 4);
  if (g.bytes_per_sector != 512 || g.sectors_per_cluster == 0 || g.fat_count == 0 ||
      fat_sectors == 0) {
    Fail("unexpected boot sector written by mkfs.fat");
  }
  const uint32_t root_sectors = (root_entries * 32 + g.bytes_per_sector - 1) / g.bytes_per_sector;
  const uint64_t data_sector = reserved + uint64_t(g.fat_count) * fat_sectors + root_sectors;
  g.fat_offset = uint64_t(reserved) * g.bytes_per_sector;
  g.fat_bytes = uint64_t(fat_sectors) * g.bytes_per_sector;
  g.data_offset = data_sector * g.bytes_per_sector;
  g.cluster_count = static_cast<uint32_t>((total - data_sector) / g.sectors_per_cluster);
  if (fat_bits_ == 32 && Le(boot, 48, 2) != 0 && Le(boot, 48, 2) != 0xFFFF) {
    g.fsinfo_offset = uint64_t(Le(boot, 48, 2)) * g.bytes_per_sector;
  }
  geometry_ = g;
  cluster_size_ = g.bytes_per_sector * g.sectors_per_cluster;
}

void FatVolumeBuilder::RequireOpen() const {
  if (finished_) Fail("the volume was already finished");
}

void FatVolumeBuilder::Mtools(const std::string& tool, const std::string& arguments) const {
  const std::string command = kMtoolsEnvironment + tool + " -i " + ShellQuote(image_path_) + " " +
                              arguments + " </dev/null";
  std::string output;
  if (RunCommand(command, &output) != 0) Fail(tool + " " + arguments + " failed: " + output);
}

FatVolumeBuilder::Tracked* FatVolumeBuilder::FindLive(const std::string& path) {
  for (auto it = tracked_.rbegin(); it != tracked_.rend(); ++it) {
    if (it->truth.path == path && !it->truth.deleted) return &*it;
  }
  return nullptr;
}

void FatVolumeBuilder::MarkDeleted(const std::string& path) {
  for (auto& t : tracked_) {
    const std::string& p = t.truth.path;
    if (p == path ||
        (p.size() > path.size() && p.compare(0, path.size(), path) == 0 && p[path.size()] == '/')) {
      t.truth.deleted = true;
    }
  }
}

std::vector<std::pair<uint32_t, uint32_t>> FatVolumeBuilder::ClusterRuns(
    const std::string& path) const {
  std::string output;
  const std::string command = kMtoolsEnvironment + std::string("mshowfat -i ") +
                              ShellQuote(image_path_) + " " + MtoolsPath(path) + " </dev/null";
  if (RunCommand(command, &output) != 0) Fail("mshowfat failed for " + path + ": " + output);
  // "::/dir/name <3-5> <9>": runs of clusters, inclusive.
  std::vector<std::pair<uint32_t, uint32_t>> runs;
  static const std::regex kRun("<([0-9]+)(?:-([0-9]+))?>");
  for (std::sregex_iterator it(output.begin(), output.end(), kRun), end; it != end; ++it) {
    const uint32_t first = static_cast<uint32_t>(std::stoul((*it)[1]));
    const uint32_t last = (*it)[2].matched ? static_cast<uint32_t>(std::stoul((*it)[2])) : first;
    if (first < 2 || last < first || last > geometry_.cluster_count + 1)
      Fail("bad cluster run for " + path);
    runs.emplace_back(first, last + 1);
  }
  return runs;
}

void FatVolumeBuilder::MakeDirectory(const std::string& path) {
  RequireOpen();
  if (path.empty() || path[0] != '/') Fail("bad path: " + path);
  size_t at = 1;
  while (at <= path.size()) {
    const size_t slash = std::min(path.find('/', at), path.size());
    const std::string partial = path.substr(0, slash);
    if (slash > at) {
      const Tracked* existing = FindLive(partial);
      if (!existing) {
        Mtools("mmd", MtoolsPath(partial));
        TruthEntry entry;
        entry.path = partial;
        entry.name = NameOf(partial);
        entry.parent = ParentOf(partial);
        entry.is_dir = true;
        entry.md5 = Md5Hex({});
        entry.sha256 = Sha256Hex({});
        const auto runs = ClusterRuns(partial);
        if (!runs.empty()) entry.first_cluster = runs.front().first;
        tracked_.push_back({std::move(entry), {}});
      } else if (!existing->truth.is_dir) {
        Fail(partial + " is a file");
      }
    }
    at = slash + 1;
  }
}

void FatVolumeBuilder::Copy(const std::string& path, const std::vector<uint8_t>& content,
                            const std::vector<std::pair<uint32_t, uint32_t>>* only_clusters) {
  RequireOpen();
  if (path.empty() || path[0] != '/' || path == "/") Fail("bad path: " + path);
  if (FindLive(path)) Fail("already exists: " + path);
  const Tracked* parent = FindLive(ParentOf(path).empty() ? "/" : ParentOf(path));
  if (!parent || !parent->truth.is_dir) Fail("no folder for " + path);

  const std::string source = scratch_dir_ + "/content";
  {
    std::ofstream out(source, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(content.data()),
              static_cast<std::streamsize>(content.size()));
    if (!out) Fail("cannot write scratch file");
  }

  // To steer mtools, every free cluster outside `only_clusters` is marked bad for the
  // duration of the copy and freed again afterwards.
  std::vector<uint32_t> fenced;
  if (only_clusters) {
    ImageFile image(image_path_);
    std::vector<uint8_t> fat = image.Read(geometry_.fat_offset, geometry_.fat_bytes);
    for (uint32_t n = 2; n < geometry_.cluster_count + 2; ++n) {
      const bool allowed = std::any_of(only_clusters->begin(), only_clusters->end(),
                                       [n](const auto& r) { return n >= r.first && n < r.second; });
      if (!allowed && FatEntry(fat, fat_bits_, n) == 0) {
        SetFatEntry(fat, fat_bits_, n, BadClusterMark(fat_bits_));
        fenced.push_back(n);
      }
    }
    for (uint32_t i = 0; i < geometry_.fat_count; ++i)
      image.Write(geometry_.fat_offset + i * geometry_.fat_bytes, fat);
    if (geometry_.fsinfo_offset) {  // let mtools search from the start
      std::vector<uint8_t> fsinfo = image.Read(geometry_.fsinfo_offset, 512);
      PutLe32(fsinfo, 0x1EC, 0xFFFFFFFF);
      image.Write(geometry_.fsinfo_offset, fsinfo);
    }
  }
  auto unfence = [&] {
    if (!only_clusters) return;
    ImageFile image(image_path_);
    std::vector<uint8_t> fat = image.Read(geometry_.fat_offset, geometry_.fat_bytes);
    for (uint32_t n : fenced) {
      if (FatEntry(fat, fat_bits_, n) == BadClusterMark(fat_bits_))
        SetFatEntry(fat, fat_bits_, n, 0);
    }
    for (uint32_t i = 0; i < geometry_.fat_count; ++i)
      image.Write(geometry_.fat_offset + i * geometry_.fat_bytes, fat);
    if (geometry_.fsinfo_offset) {  // the free count mtools kept counted the fence
      uint32_t free_clusters = 0;
      for (uint32_t n = 2; n < geometry_.cluster_count + 2; ++n)
        free_clusters += FatEntry(fat, fat_bits_, n) == 0;
      std::vector<uint8_t> fsinfo = image.Read(geometry_.fsinfo_offset, 512);
      PutLe32(fsinfo, 0x1E8, free_clusters);
      image.Write(geometry_.fsinfo_offset, fsinfo);
    }
  };
  std::string copy_options;
  if (clock_ != 0) {
    const timespec times[2] = {{static_cast<time_t>(clock_), 0}, {static_cast<time_t>(clock_), 0}};
    if (::utimensat(AT_FDCWD, source.c_str(), times, 0) != 0)
      Fail("cannot set the time of the scratch file");
    copy_options = "-m ";
  }
  try {
    Mtools("mcopy", copy_options + ShellQuote(source) + " " + MtoolsPath(path));
  } catch (...) {
    unfence();
    throw;
  }
  unfence();

  TruthEntry entry;
  entry.path = path;
  entry.name = NameOf(path);
  entry.parent = ParentOf(path);
  entry.size = content.size();
  entry.md5 = Md5Hex(content);
  entry.sha256 = Sha256Hex(content);
  entry.modified_time = clock_;
  uint64_t left = content.size();
  for (const auto& [first, end] : ClusterRuns(path)) {
    if (entry.first_cluster == 0) entry.first_cluster = first;
    const uint64_t bytes = std::min<uint64_t>(uint64_t(end - first) * cluster_size_, left);
    if (bytes == 0) break;
    entry.extents.push_back(
        {geometry_.data_offset + uint64_t(first - 2) * cluster_size_, bytes, false});
    left -= bytes;
  }
  if (left != 0) Fail("cluster chain of " + path + " is shorter than its content");
  tracked_.push_back({std::move(entry), content});
}

void FatVolumeBuilder::AddFile(const std::string& path, const std::vector<uint8_t>& content) {
  Copy(path, content, nullptr);
}

void FatVolumeBuilder::AddFragmentedFile(const std::string& path,
                                         const std::vector<uint8_t>& content, int fragments) {
  RequireOpen();
  const uint64_t clusters = (content.size() + cluster_size_ - 1) / cluster_size_;
  if (fragments < 2 || clusters < static_cast<uint64_t>(fragments)) {
    Fail("need at least 2 fragments and one cluster per fragment for " + path);
  }
  const uint64_t gap_clusters = (clusters + fragments - 1) / fragments;
  std::vector<std::pair<uint32_t, uint32_t>> allowed;
  std::vector<std::string> gaps;
  for (int i = 0; i < fragments; ++i) {
    gaps.push_back(path + ".gap" + std::to_string(i));
    AddFile(gaps.back(), RandomBytes(gap_clusters * cluster_size_, 0xFA70 + i));
    AddFile(path + ".keep" + std::to_string(i), RandomBytes(cluster_size_, 0xFA80 + i));
    const auto runs = ClusterRuns(gaps.back());
    allowed.insert(allowed.end(), runs.begin(), runs.end());
  }
  for (const auto& gap : gaps) Delete(gap);
  Copy(path, content, &allowed);
  if (FindLive(path)->truth.extents.size() < 2) Fail("allocation did not fragment " + path);
}

void FatVolumeBuilder::AddFileOverDeleted(const std::string& deleted_path,
                                          const std::string& new_path,
                                          const std::vector<uint8_t>& content) {
  RequireOpen();
  const Tracked* victim = nullptr;
  for (auto it = tracked_.rbegin(); it != tracked_.rend() && !victim; ++it) {
    if (it->truth.path == deleted_path && it->truth.deleted && !it->truth.is_dir) victim = &*it;
  }
  if (!victim || victim->truth.extents.empty())
    Fail("no deleted file with clusters at " + deleted_path);
  std::vector<std::pair<uint32_t, uint32_t>> allowed;
  uint64_t room = 0;
  for (const auto& e : victim->truth.extents) {
    const uint32_t first =
        static_cast<uint32_t>((e.offset - geometry_.data_offset) / cluster_size_ + 2);
    const uint32_t count = static_cast<uint32_t>((e.length + cluster_size_ - 1) / cluster_size_);
    allowed.emplace_back(first, first + count);
    room += uint64_t(count) * cluster_size_;
  }
  if (content.size() > room) Fail(new_path + " does not fit in the clusters of " + deleted_path);
  const uint32_t expected_first = allowed.front().first;
  Copy(new_path, content, &allowed);
  if (!content.empty() && FindLive(new_path)->truth.first_cluster != expected_first) {
    Fail(new_path + " did not start at the first cluster of " + deleted_path);
  }
}

void FatVolumeBuilder::RemoveWith(const std::string& tool, const std::string& path) {
  // Folders going away: where their entries live, to tell later whether they survived.
  std::vector<Tracked*> folders;
  for (auto& t : tracked_) {
    const std::string& p = t.truth.path;
    if (t.truth.is_dir && !t.truth.deleted &&
        (p == path || (p.size() > path.size() && p.compare(0, path.size() + 1, path + "/") == 0))) {
      t.truth.extents.clear();
      for (const auto& [first, end] : ClusterRuns(p)) {
        t.truth.extents.push_back({geometry_.data_offset + uint64_t(first - 2) * cluster_size_,
                                   uint64_t(end - first) * cluster_size_, false});
      }
      folders.push_back(&t);
    }
  }
  Mtools(tool, MtoolsPath(path));
  MarkDeleted(path);
  for (Tracked* folder : folders) {
    if (!ReadExtents(image_path_, folder->truth.extents, UINT64_MAX, &folder->content)) {
      Fail("cannot read the clusters of " + folder->truth.path);
    }
  }
}

void FatVolumeBuilder::Delete(const std::string& path) {
  RequireOpen();
  const Tracked* entry = FindLive(path);
  if (!entry || path == "/") Fail("nothing to delete at " + path);
  RemoveWith(entry->truth.is_dir ? "mrd" : "mdel", path);
}

void FatVolumeBuilder::DeleteTree(const std::string& path) {
  RequireOpen();
  const Tracked* entry = FindLive(path);
  if (!entry || path == "/" || !entry->truth.is_dir) Fail("no folder to delete at " + path);
  RemoveWith("mdeltree", path);
}

VolumeTruth FatVolumeBuilder::Finish() {
  RequireOpen();
  finished_ = true;
  RemoveTree(scratch_dir_);
  VolumeTruth truth;
  truth.image_path = image_path_;
  truth.cluster_size = cluster_size_;
  for (const auto& t : tracked_) {
    TruthEntry entry = t.truth;
    if (entry.is_dir) {
      std::vector<uint8_t> now;
      entry.data_intact =
          !entry.deleted || entry.extents.empty() ||
          (ReadExtents(image_path_, entry.extents, UINT64_MAX, &now) && now == t.content);
    } else if (entry.size == 0) {
      entry.data_intact = true;
    } else {
      std::vector<uint8_t> now;
      entry.data_intact =
          ReadExtents(image_path_, entry.extents, entry.size, &now) && now == t.content;
    }
    truth.entries.push_back(std::move(entry));
  }
  return truth;
}

}  // namespace velmora::testing
