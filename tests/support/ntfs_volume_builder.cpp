#include "support/ntfs_volume_builder.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "support/content_gen.h"
#include "support/test_env.h"

#ifdef VELMORA_HAVE_NTFS3G
extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/support.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/lcnalloc.h>
#include <ntfs-3g/ntfstime.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/security.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
// support.h defines these as macros, which breaks std::min/std::max.
#undef min
#undef max
#endif

namespace velmora::testing {

namespace {

[[noreturn]] void Fail(const std::string& what) {
  throw std::runtime_error("NtfsVolumeBuilder: " + what);
}

using ClusterRanges = std::vector<std::pair<uint64_t, uint64_t>>;  // [first, end) clusters

uint16_t Le16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t Le32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(Le16(b, at)) | uint32_t(Le16(b, at + 2)) << 16;
}
uint64_t Le64(const std::vector<uint8_t>& b, size_t at) {
  return uint64_t(Le32(b, at)) | uint64_t(Le32(b, at + 4)) << 32;
}

// The attributes of one MFT record as read back from the image, fixups undone.
struct RecordView {
  struct FileName {
    uint64_t parent = 0;
    std::vector<uint16_t> name;
  };
  struct Data {
    std::vector<uint16_t> name;
    bool resident = false;
    std::vector<uint8_t> value;
  };
  std::vector<FileName> file_names;
  std::vector<Data> data;
};

std::vector<uint16_t> Utf16At(const std::vector<uint8_t>& b, size_t at, size_t count) {
  std::vector<uint16_t> out;
  for (size_t i = 0; i < count; ++i) out.push_back(Le16(b, at + 2 * i));
  return out;
}

// Returns false when the bytes are not a readable FILE record.
bool ParseRecord(std::vector<uint8_t> rec, RecordView* view) {
  if (rec.size() < 512 || std::memcmp(rec.data(), "FILE", 4) != 0) return false;
  const size_t usa_at = Le16(rec, 4);
  const size_t usa_count = Le16(rec, 6);
  if (usa_count == 0 || usa_at + 2 * usa_count > rec.size() || (usa_count - 1) * 512 > rec.size()) {
    return false;
  }
  for (size_t i = 1; i < usa_count; ++i) {
    const size_t end = i * 512 - 2;
    if (Le16(rec, end) != Le16(rec, usa_at)) return false;  // torn write
    rec[end] = rec[usa_at + 2 * i];
    rec[end + 1] = rec[usa_at + 2 * i + 1];
  }
  size_t at = Le16(rec, 0x14);
  const size_t used = std::min<size_t>(Le32(rec, 0x18), rec.size());
  while (at + 16 <= used) {
    const uint32_t type = Le32(rec, at);
    const uint32_t length = Le32(rec, at + 4);
    if (type == 0xFFFFFFFF || length < 16 || at + length > used) break;
    const bool non_resident = rec[at + 8] != 0;
    const size_t name_length = rec[at + 9];
    const size_t name_at = at + Le16(rec, at + 10);
    if (name_at + 2 * name_length > at + length) return false;
    std::vector<uint8_t> value;
    if (!non_resident) {
      const size_t value_length = Le32(rec, at + 0x10);
      const size_t value_at = at + Le16(rec, at + 0x14);
      if (value_at + value_length > at + length) return false;
      value.assign(rec.begin() + value_at, rec.begin() + value_at + value_length);
    }
    if (type == 0x30 && !non_resident && value.size() >= 0x42) {
      const size_t chars = value[0x40];
      if (0x42 + 2 * chars <= value.size()) {
        view->file_names.push_back(
            {Le64(value, 0) & 0xFFFFFFFFFFFFull, Utf16At(value, 0x42, chars)});
      }
    } else if (type == 0x80) {
      view->data.push_back({Utf16At(rec, name_at, name_length), !non_resident, std::move(value)});
    }
    at += length;
  }
  return true;
}

std::vector<ImageExtent> Merge(std::vector<ImageExtent> in) {
  std::vector<ImageExtent> out;
  for (const auto& e : in) {
    if (!out.empty() && out.back().hole == e.hole &&
        (e.hole || out.back().offset + out.back().length == e.offset)) {
      out.back().length += e.length;
    } else {
      out.push_back(e);
    }
  }
  return out;
}

std::string SplitStream(const std::string& path, std::string* stream) {
  const size_t slash = path.rfind('/');
  const size_t colon = path.find(':', slash == std::string::npos ? 0 : slash);
  if (colon == std::string::npos) {
    stream->clear();
    return path;
  }
  *stream = path.substr(colon + 1);
  return path.substr(0, colon);
}

}  // namespace

struct NtfsVolumeBuilder::Tracked {
  TruthEntry truth;
  std::vector<uint8_t> expected;  // the content; for compressed files the raw extent bytes
  std::vector<uint16_t> name16;   // the file's own name as stored in $FILE_NAME
  std::vector<uint16_t> stream16;
  uint64_t parent_record = 0;
  std::vector<ImageExtent> record_extents;
};

#ifdef VELMORA_HAVE_NTFS3G

bool NtfsBuilderAvailable() { return ToolAvailable("mkntfs"); }

namespace {

struct Utf16Name {
  ntfschar* chars = nullptr;
  int length = 0;
  explicit Utf16Name(const std::string& text) {
    length = ntfs_mbstoucs(text.c_str(), &chars);
    if (length < 0) Fail("name is not valid UTF-8: " + text);
    if (length > 255) Fail("name longer than 255 characters: " + text);
  }
  ~Utf16Name() { std::free(chars); }
  Utf16Name(const Utf16Name&) = delete;
  Utf16Name& operator=(const Utf16Name&) = delete;
  std::vector<uint16_t> Units() const {
    std::vector<uint16_t> out;
    for (int i = 0; i < length; ++i) out.push_back(le16_to_cpu(chars[i]));
    return out;
  }
};

struct InodeHandle {
  ntfs_inode* ni = nullptr;
  InodeHandle(ntfs_volume* vol, const std::string& path) {
    ni = ntfs_pathname_to_inode(vol, nullptr, path.empty() ? "/" : path.c_str());
    if (!ni)
      Fail("cannot open " + (path.empty() ? std::string("/") : path) + ": " + std::strerror(errno));
  }
  ~InodeHandle() {
    if (ni) ntfs_inode_close(ni);
  }
  ntfs_inode* Release() {
    ntfs_inode* out = ni;
    ni = nullptr;
    return out;
  }
  InodeHandle(const InodeHandle&) = delete;
  InodeHandle& operator=(const InodeHandle&) = delete;
};

struct WrittenData {
  std::vector<ImageExtent> extents;
  bool resident = false;
  bool compressed = false;
};

// Where the attribute's clusters are, in file order, cut at the data size (compressed:
// at the allocated size, since the extents hold compression units).
std::vector<ImageExtent> ExtentsOf(ntfs_attr* na, bool compressed) {
  if (ntfs_attr_map_whole_runlist(na) != 0) Fail("cannot map runlist");
  const uint64_t cluster = na->ni->vol->cluster_size;
  const uint64_t limit =
      compressed ? static_cast<uint64_t>(na->allocated_size) : static_cast<uint64_t>(na->data_size);
  std::vector<ImageExtent> extents;
  for (const runlist_element* rl = na->rl; rl && rl->length; ++rl) {
    const uint64_t start = static_cast<uint64_t>(rl->vcn) * cluster;
    if (start >= limit) break;
    const uint64_t length =
        std::min<uint64_t>(static_cast<uint64_t>(rl->length) * cluster, limit - start);
    if (rl->lcn >= 0) {
      extents.push_back({static_cast<uint64_t>(rl->lcn) * cluster, length, false});
    } else if (rl->lcn == LCN_HOLE) {
      extents.push_back({0, length, true});
    } else {
      Fail("unexpected runlist entry");
    }
  }
  return Merge(std::move(extents));
}

// Marks every free cluster outside `allowed` (cluster ranges) as used, so the next
// allocation can only land in `allowed`; the destructor frees them again.
class ClusterFence {
 public:
  ClusterFence(ntfs_volume* vol, const ClusterRanges& allowed) : vol_(vol) {
    try {
      Reserve(allowed);
    } catch (...) {
      Release();
      throw;
    }
  }
  ~ClusterFence() { Release(); }
  ClusterFence(const ClusterFence&) = delete;
  ClusterFence& operator=(const ClusterFence&) = delete;

 private:
  void Reserve(const ClusterRanges& allowed) {
    ntfs_volume* vol = vol_;
    const uint64_t clusters = static_cast<uint64_t>(vol->nr_clusters);
    std::vector<uint8_t> bitmap((clusters + 7) / 8);
    if (ntfs_attr_pread(vol->lcnbmp_na, 0, static_cast<s64>(bitmap.size()), bitmap.data()) !=
        static_cast<s64>(bitmap.size())) {
      Fail("cannot read $Bitmap");
    }
    auto blocked = [&](uint64_t lcn) {
      if (bitmap[lcn / 8] & (1u << (lcn % 8))) return false;
      for (const auto& [first, end] : allowed) {
        if (lcn >= first && lcn < end) return false;
      }
      return true;
    };
    uint64_t lcn = 0;
    while (lcn < clusters) {
      if (!blocked(lcn)) {
        ++lcn;
        continue;
      }
      const uint64_t start = lcn;
      while (lcn < clusters && blocked(lcn)) ++lcn;
      runlist* rl = ntfs_cluster_alloc(vol, 0, static_cast<s64>(lcn - start),
                                       static_cast<LCN>(start), DATA_ZONE);
      if (!rl) Fail("cannot reserve clusters");
      held_.push_back(rl);
      if (rl[0].lcn != static_cast<LCN>(start) || rl[0].length != static_cast<s64>(lcn - start)) {
        Fail("cluster reservation landed elsewhere");
      }
    }
  }
  void Release() {
    for (runlist* rl : held_) {
      ntfs_cluster_free_from_rl(vol_, rl);
      std::free(rl);
    }
    held_.clear();
  }

  ntfs_volume* vol_;
  std::vector<runlist*> held_;
};

WrittenData WriteData(ntfs_inode* ni, const Utf16Name* stream, const std::vector<uint8_t>& content,
                      bool want_compressed) {
  ntfschar* name = stream ? stream->chars : AT_UNNAMED;
  const int name_length = stream ? stream->length : 0;
  if (stream && ntfs_attr_add(ni, AT_DATA, name, name_length, nullptr, 0) != 0) {
    Fail(std::string("cannot add data stream: ") + std::strerror(errno));
  }
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, name, name_length);
  if (!na) Fail(std::string("cannot open $DATA: ") + std::strerror(errno));
  WrittenData out;
  out.compressed = (na->data_flags & ATTR_COMPRESSION_MASK) != 0;
  if (want_compressed && !out.compressed) {
    ntfs_attr_close(na);
    Fail("libntfs-3g did not make the data attribute compressed");
  }
  size_t done = 0;
  while (done < content.size()) {
    const s64 wrote = ntfs_attr_pwrite(
        na, static_cast<s64>(done), static_cast<s64>(content.size() - done), content.data() + done);
    if (wrote <= 0) {
      const int err = errno;
      ntfs_attr_close(na);
      Fail(std::string("write failed: ") + std::strerror(err));
    }
    done += static_cast<size_t>(wrote);
  }
  if (out.compressed && ntfs_attr_pclose(na) != 0) {
    ntfs_attr_close(na);
    Fail("cannot flush compressed data");
  }
  out.resident = !NAttrNonResident(na);
  if (!out.resident) {
    try {
      out.extents = ExtentsOf(na, out.compressed);
    } catch (...) {
      ntfs_attr_close(na);
      throw;
    }
  }
  ntfs_attr_close(na);
  return out;
}

}  // namespace

struct NtfsVolumeBuilder::Volume {
  ntfs_volume* vol = nullptr;
  ~Volume() {
    if (vol) ntfs_umount(vol, FALSE);
  }
};

NtfsVolumeBuilder::NtfsVolumeBuilder(std::string image_path, uint64_t size_bytes,
                                     NtfsBuildOptions options)
    : image_path_(std::move(image_path)),
      options_(std::move(options)),
      volume_(std::make_unique<Volume>()) {
  std::error_code ec;
  std::filesystem::remove(image_path_, ec);
  {
    std::FILE* f = std::fopen(image_path_.c_str(), "wb");
    if (!f) Fail("cannot create " + image_path_);
    std::fclose(f);
  }
  std::filesystem::resize_file(image_path_, size_bytes);
  std::string output;
  const std::string command = "mkntfs -F -Q -q -s 512 -c " + std::to_string(options_.cluster_size) +
                              " -L " + ShellQuote(options_.label) + " " + ShellQuote(image_path_);
  if (RunCommand(command, &output) != 0) Fail("mkntfs failed: " + output);
  volume_->vol = ntfs_mount(image_path_.c_str(), NTFS_MNT_NONE);
  if (!volume_->vol) Fail("ntfs_mount failed: " + std::string(std::strerror(errno)));
  NVolSetCompression(volume_->vol);
  TruthEntry root;
  root.path = "/";
  root.name = "";
  root.is_dir = true;
  root.mft_record = FILE_root;
  root.md5 = Md5Hex({});
  root.sha256 = Sha256Hex({});
  Track(std::move(root)).parent_record = FILE_root;
  tracked_.back().name16 = {'.'};
}

NtfsVolumeBuilder::~NtfsVolumeBuilder() = default;

void NtfsVolumeBuilder::RequireOpen() const {
  if (!volume_ || !volume_->vol) Fail("the volume was already finished");
}

// Called after the last write, which would otherwise set the times to now. The inode's
// close writes them to $STANDARD_INFORMATION and, being marked, to the $FILE_NAME copies.
void NtfsVolumeBuilder::StampTimes(void* inode, TruthEntry* entry) const {
  if (clock_ == 0) return;
  auto* ni = static_cast<ntfs_inode*>(inode);
  const ntfs_time when = timespec2ntfs(timespec{static_cast<time_t>(clock_), 0});
  ni->creation_time = ni->last_data_change_time = ni->last_mft_change_time = ni->last_access_time =
      when;
  NInoFileNameSetDirty(ni);
  ntfs_inode_mark_dirty(ni);
  // libntfs-3g leaves the record's own $FILE_NAME at the creation time; stamp it as well.
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, nullptr);
  if (!ctx) Fail("cannot search attributes");
  while (ntfs_attr_lookup(AT_FILE_NAME, AT_UNNAMED, 0, CASE_SENSITIVE, 0, nullptr, 0, ctx) == 0) {
    auto* fn = reinterpret_cast<FILE_NAME_ATTR*>(reinterpret_cast<u8*>(ctx->attr) +
                                                 le16_to_cpu(ctx->attr->value_offset));
    fn->creation_time = fn->last_data_change_time = fn->last_mft_change_time =
        fn->last_access_time = when;
    ntfs_inode_mark_dirty(ctx->ntfs_ino);
  }
  ntfs_attr_put_search_ctx(ctx);
  entry->modified_time = clock_;
}

NtfsVolumeBuilder::Tracked& NtfsVolumeBuilder::Track(TruthEntry entry) {
  tracked_.push_back(Tracked{std::move(entry), {}, {}, {}, 0, {}});
  return tracked_.back();
}

NtfsVolumeBuilder::Tracked* NtfsVolumeBuilder::FindLive(const std::string& path) {
  for (auto it = tracked_.rbegin(); it != tracked_.rend(); ++it) {
    if (it->truth.path == path && !it->truth.deleted) return &*it;
  }
  return nullptr;
}

namespace {

std::vector<ImageExtent> RecordExtents(ntfs_volume* vol, uint64_t record) {
  const uint64_t size = vol->mft_record_size;
  const uint64_t cluster = vol->cluster_size;
  std::vector<ImageExtent> out;
  uint64_t done = 0;
  while (done < size) {
    const uint64_t byte = record * size + done;
    const LCN lcn =
        ntfs_attr_vcn_to_lcn(vol->mft_na, static_cast<VCN>(byte >> vol->cluster_size_bits));
    if (lcn < 0) Fail("cannot locate MFT record " + std::to_string(record));
    const uint64_t within = byte & (cluster - 1);
    const uint64_t length = std::min(size - done, cluster - within);
    out.push_back({static_cast<uint64_t>(lcn) * cluster + within, length, false});
    done += length;
  }
  return Merge(std::move(out));
}

}  // namespace

void NtfsVolumeBuilder::CreateEntry(const std::string& path, bool is_dir,
                                    const std::vector<uint8_t>* content, bool compressed,
                                    const ClusterRanges* only_clusters) {
  RequireOpen();
  if (path.empty() || path[0] != '/' || path == "/") Fail("bad path: " + path);
  if (FindLive(path)) Fail("already exists: " + path);
  ntfs_volume* vol = volume_->vol;
  const std::string parent = ParentOf(path);
  const std::string name = NameOf(path);
  InodeHandle dir(vol, parent);
  Utf16Name uname(name);
  // libntfs-3g compresses new files of a compressed folder; the folder's flag is raised
  // in memory only for this one creation and never reaches the disk.
  const FILE_ATTR_FLAGS dir_flags = dir.ni->flags;
  if (compressed) dir.ni->flags = static_cast<FILE_ATTR_FLAGS>(dir_flags | FILE_ATTR_COMPRESSED);
  ntfs_inode* ni = ntfs_create(dir.ni, const_cpu_to_le32(0), uname.chars,
                               static_cast<u8>(uname.length), is_dir ? S_IFDIR : S_IFREG);
  dir.ni->flags = dir_flags;
  if (!ni) Fail("ntfs_create " + path + ": " + std::strerror(errno));

  TruthEntry entry;
  entry.path = path;
  entry.name = name;
  entry.parent = parent;
  entry.is_dir = is_dir;
  entry.mft_record = static_cast<int64_t>(ni->mft_no);
  std::vector<uint8_t> expected;
  try {
    if (content) {
      std::optional<ClusterFence> fence;
      if (only_clusters) fence.emplace(vol, *only_clusters);
      const WrittenData written = WriteData(ni, nullptr, *content, compressed);
      entry.extents = written.extents;
      entry.resident = written.resident;
      entry.compressed = written.compressed;
      entry.size = content->size();
      expected = *content;
    }
  } catch (...) {
    ntfs_inode_close_in_dir(ni, dir.ni);
    throw;
  }
  const uint64_t parent_record = dir.ni->mft_no;
  StampTimes(ni, &entry);
  if (ntfs_inode_close_in_dir(ni, dir.ni) != 0) Fail("cannot close " + path);
  entry.md5 = Md5Hex(expected);
  entry.sha256 = Sha256Hex(expected);
  if (entry.compressed && !ReadExtents(image_path_, entry.extents, UINT64_MAX, &expected)) {
    Fail("cannot read back compressed data of " + path);
  }
  Tracked& tracked = Track(std::move(entry));
  tracked.expected = std::move(expected);
  tracked.name16 = uname.Units();
  tracked.parent_record = parent_record;
  tracked.record_extents = RecordExtents(vol, static_cast<uint64_t>(tracked.truth.mft_record));
}

void NtfsVolumeBuilder::MakeDirectory(const std::string& path) {
  if (path.empty() || path[0] != '/') Fail("bad path: " + path);
  std::string partial;
  size_t at = 1;
  while (at <= path.size()) {
    const size_t slash = std::min(path.find('/', at), path.size());
    partial = path.substr(0, slash);
    if (slash > at) {
      Tracked* existing = FindLive(partial);
      if (!existing) {
        CreateEntry(partial, true, nullptr, false);
      } else if (!existing->truth.is_dir) {
        Fail(partial + " is a file");
      }
    }
    at = slash + 1;
  }
}

void NtfsVolumeBuilder::AddFile(const std::string& path, const std::vector<uint8_t>& content) {
  std::string stream;
  const std::string file_path = SplitStream(path, &stream);
  if (!stream.empty()) {
    AddStream(file_path, stream, content);
    return;
  }
  CreateEntry(path, false, &content, false);
}

void NtfsVolumeBuilder::AddCompressedFile(const std::string& path,
                                          const std::vector<uint8_t>& content) {
  if (options_.cluster_size > 4096)
    Fail("NTFS compresses only with clusters of 4096 bytes or less");
  CreateEntry(path, false, &content, true);
}

void NtfsVolumeBuilder::AddStream(const std::string& file_path, const std::string& stream,
                                  const std::vector<uint8_t>& content) {
  RequireOpen();
  if (!FindLive(file_path)) CreateEntry(file_path, false, nullptr, false);
  const Tracked base = *FindLive(file_path);
  if (base.truth.is_dir) Fail("streams on folders are not supported: " + file_path);
  const std::string path = file_path + ":" + stream;
  if (FindLive(path)) Fail("already exists: " + path);
  InodeHandle file(volume_->vol, file_path);
  Utf16Name ustream(stream);
  const WrittenData written = WriteData(file.ni, &ustream, content, false);
  TruthEntry stamped;
  StampTimes(file.ni, &stamped);
  if (ntfs_inode_close(file.Release()) != 0) Fail("cannot close " + file_path);

  TruthEntry entry;
  entry.path = path;
  entry.name = base.truth.name + ":" + stream;
  entry.parent = base.truth.parent;
  entry.stream = stream;
  entry.size = content.size();
  entry.md5 = Md5Hex(content);
  entry.sha256 = Sha256Hex(content);
  entry.extents = written.extents;
  entry.resident = written.resident;
  entry.mft_record = base.truth.mft_record;
  entry.modified_time = stamped.modified_time;
  Tracked& tracked = Track(std::move(entry));
  tracked.expected = content;
  tracked.name16 = base.name16;
  tracked.stream16 = ustream.Units();
  tracked.parent_record = base.parent_record;
  tracked.record_extents = base.record_extents;
}

void NtfsVolumeBuilder::DeleteOne(const std::string& path) {
  ntfs_volume* vol = volume_->vol;
  InodeHandle file(vol, path);
  InodeHandle dir(vol, ParentOf(path));
  Utf16Name uname(NameOf(path));
  // ntfs_delete closes both inodes, whatever the outcome.
  if (ntfs_delete(vol, path.c_str(), file.Release(), dir.Release(), uname.chars,
                  static_cast<u8>(uname.length)) != 0) {
    Fail("ntfs_delete " + path + ": " + std::strerror(errno));
  }
}

void NtfsVolumeBuilder::MarkDeleted(const std::string& path) {
  for (auto& t : tracked_) {
    const std::string& p = t.truth.path;
    if (p == path || (p.size() > path.size() && p.compare(0, path.size(), path) == 0 &&
                      (p[path.size()] == '/' || p[path.size()] == ':'))) {
      t.truth.deleted = true;
    }
  }
}

void NtfsVolumeBuilder::Delete(const std::string& path) {
  RequireOpen();
  const Tracked* entry = FindLive(path);
  if (!entry || path == "/") Fail("nothing to delete at " + path);
  if (!entry->truth.stream.empty()) Fail("deleting a single stream is not supported: " + path);
  DeleteOne(path);
  MarkDeleted(path);
}

void NtfsVolumeBuilder::DeleteTree(const std::string& path) {
  RequireOpen();
  const Tracked* top = FindLive(path);
  if (!top || path == "/") Fail("nothing to delete at " + path);
  std::vector<std::string> below;
  for (const auto& t : tracked_) {
    const std::string& p = t.truth.path;
    if (!t.truth.deleted && t.truth.stream.empty() && p.size() > path.size() + 1 &&
        p.compare(0, path.size() + 1, path + "/") == 0) {
      below.push_back(p);
    }
  }
  std::stable_sort(below.begin(), below.end(), [](const std::string& a, const std::string& b) {
    return std::count(a.begin(), a.end(), '/') > std::count(b.begin(), b.end(), '/');
  });
  for (const auto& p : below) {
    DeleteOne(p);
    MarkDeleted(p);
  }
  DeleteOne(path);
  MarkDeleted(path);
}

void NtfsVolumeBuilder::AddFragmentedFile(const std::string& path,
                                          const std::vector<uint8_t>& content, int fragments) {
  RequireOpen();
  const uint64_t cluster = options_.cluster_size;
  const uint64_t clusters = (content.size() + cluster - 1) / cluster;
  if (fragments < 2 || clusters < static_cast<uint64_t>(fragments)) {
    Fail("need at least 2 fragments and one cluster per fragment for " + path);
  }
  // Helper files must never be resident, or they would not hold clusters.
  const uint64_t min_clusters = (2048 + cluster - 1) / cluster;
  const uint64_t gap_clusters =
      std::max<uint64_t>((clusters + fragments - 1) / fragments, min_clusters);
  std::vector<std::string> gaps;
  std::vector<ClusterRanges> gap_ranges;
  for (int i = 0; i < fragments; ++i) {
    gaps.push_back(path + ".gap" + std::to_string(i));
    AddFile(gaps.back(), RandomBytes(gap_clusters * cluster, 0xF0F0 + i));
    AddFile(path + ".keep" + std::to_string(i), RandomBytes(min_clusters * cluster, 0xF1F1 + i));
    gap_ranges.emplace_back();
    for (const auto& e : FindLive(gaps.back())->truth.extents) {
      gap_ranges.back().emplace_back(e.offset / cluster,
                                     (e.offset + e.length + cluster - 1) / cluster);
    }
  }
  for (const auto& gap : gaps) Delete(gap);
  CreateEntry(path, false, nullptr, false);

  // Each piece is written while only its gap is free, so the runs follow the gaps.
  ntfs_volume* vol = volume_->vol;
  InodeHandle file(vol, path);
  ntfs_attr* na = ntfs_attr_open(file.ni, AT_DATA, AT_UNNAMED, 0);
  if (!na) Fail("cannot open $DATA of " + path);
  std::vector<ImageExtent> extents;
  try {
    const size_t piece = static_cast<size_t>(gap_clusters * cluster);
    for (size_t i = 0, at = 0; at < content.size(); ++i, at += piece) {
      const size_t length = std::min(piece, content.size() - at);
      ClusterFence fence(vol, gap_ranges.at(i));
      if (ntfs_attr_pwrite(na, static_cast<s64>(at), static_cast<s64>(length),
                           content.data() + at) != static_cast<s64>(length)) {
        Fail("write failed for " + path + ": " + std::strerror(errno));
      }
    }
    extents = ExtentsOf(na, false);
  } catch (...) {
    ntfs_attr_close(na);
    throw;
  }
  ntfs_attr_close(na);
  Tracked& tracked = *FindLive(path);
  StampTimes(file.ni, &tracked.truth);
  if (ntfs_inode_close(file.Release()) != 0) Fail("cannot close " + path);

  tracked.truth.size = content.size();
  tracked.truth.md5 = Md5Hex(content);
  tracked.truth.sha256 = Sha256Hex(content);
  tracked.truth.extents = extents;
  tracked.truth.resident = false;
  tracked.expected = content;
  const auto runs =
      std::count_if(extents.begin(), extents.end(), [](const ImageExtent& e) { return !e.hole; });
  if (runs < 2) Fail("allocation did not fragment " + path);
}

void NtfsVolumeBuilder::AddFileOverDeleted(const std::string& deleted_path,
                                           const std::string& new_path,
                                           const std::vector<uint8_t>& content) {
  RequireOpen();
  const Tracked* victim = nullptr;
  for (auto it = tracked_.rbegin(); it != tracked_.rend() && !victim; ++it) {
    if (it->truth.path == deleted_path && it->truth.deleted && !it->truth.is_dir) victim = &*it;
  }
  if (!victim || victim->truth.resident || victim->truth.extents.empty()) {
    Fail("no deleted file with clusters at " + deleted_path);
  }
  const uint64_t cluster = options_.cluster_size;
  ClusterRanges allowed;
  uint64_t room = 0;
  for (const auto& e : victim->truth.extents) {
    if (e.hole) continue;
    allowed.emplace_back(e.offset / cluster, (e.offset + e.length + cluster - 1) / cluster);
    room += allowed.back().second * cluster - allowed.back().first * cluster;
  }
  if (content.size() > room) Fail(new_path + " does not fit in the clusters of " + deleted_path);
  const uint64_t expected_start = allowed.front().first * cluster;
  CreateEntry(new_path, false, &content, false, &allowed);
  const TruthEntry& created = FindLive(new_path)->truth;
  if (created.resident || created.extents.empty() ||
      created.extents.front().offset != expected_start) {
    Fail(new_path + " did not start at the first cluster of " + deleted_path +
         " (content too small?)");
  }
}

void NtfsVolumeBuilder::AddFileReusingRecord(const std::string& deleted_path,
                                             const std::string& new_path,
                                             const std::vector<uint8_t>& content) {
  RequireOpen();
  int64_t record = -1;
  for (auto it = tracked_.rbegin(); it != tracked_.rend(); ++it) {
    if (it->truth.path == deleted_path && it->truth.deleted && it->truth.stream.empty()) {
      record = it->truth.mft_record;
      break;
    }
  }
  if (record < 0) Fail("no deleted entry at " + deleted_path);
  volume_->vol->mft_data_pos = record;
  CreateEntry(new_path, false, &content, false);
  if (FindLive(new_path)->truth.mft_record != record) {
    Fail("record " + std::to_string(record) + " was not reused for " + new_path);
  }
}

int64_t NtfsVolumeBuilder::MftRecordOf(const std::string& path) const {
  for (auto it = tracked_.rbegin(); it != tracked_.rend(); ++it) {
    if (it->truth.path == path) return it->truth.mft_record;
  }
  return -1;
}

VolumeTruth NtfsVolumeBuilder::Finish() {
  RequireOpen();
  const int rc = ntfs_umount(volume_->vol, FALSE);
  volume_->vol = nullptr;
  if (rc != 0) Fail("ntfs_umount failed");

  VolumeTruth truth;
  truth.image_path = image_path_;
  truth.cluster_size = options_.cluster_size;
  for (auto& t : tracked_) {
    TruthEntry entry = t.truth;
    std::vector<uint8_t> record_bytes;
    RecordView view;
    const bool readable = ReadExtents(image_path_, t.record_extents, UINT64_MAX, &record_bytes) &&
                          ParseRecord(record_bytes, &view);
    const bool names_match =
        readable &&
        std::any_of(view.file_names.begin(), view.file_names.end(), [&](const auto& fn) {
          return fn.parent == t.parent_record && fn.name == t.name16;
        });
    entry.record_reused = entry.path != "/" && !names_match;
    if (entry.is_dir) {
      entry.data_intact = !entry.record_reused;
    } else if (entry.size == 0) {
      entry.data_intact = true;
    } else if (entry.resident) {
      entry.data_intact =
          readable && std::any_of(view.data.begin(), view.data.end(), [&](const auto& d) {
            return d.resident && d.name == t.stream16 && d.value == t.expected;
          });
    } else {
      std::vector<uint8_t> now;
      entry.data_intact =
          ReadExtents(image_path_, entry.extents, t.expected.size(), &now) && now == t.expected;
    }
    truth.entries.push_back(std::move(entry));
  }
  return truth;
}

#else  // !VELMORA_HAVE_NTFS3G

bool NtfsBuilderAvailable() { return false; }

struct NtfsVolumeBuilder::Volume {};

NtfsVolumeBuilder::NtfsVolumeBuilder(std::string image_path, uint64_t, NtfsBuildOptions options)
    : image_path_(std::move(image_path)), options_(std::move(options)) {
  Fail("built without libntfs-3g");
}
NtfsVolumeBuilder::~NtfsVolumeBuilder() = default;
void NtfsVolumeBuilder::MakeDirectory(const std::string&) { Fail("built without libntfs-3g"); }
void NtfsVolumeBuilder::AddFile(const std::string&, const std::vector<uint8_t>&) {
  Fail("built without libntfs-3g");
}
void NtfsVolumeBuilder::AddCompressedFile(const std::string&, const std::vector<uint8_t>&) {
  Fail("built without libntfs-3g");
}
void NtfsVolumeBuilder::AddFragmentedFile(const std::string&, const std::vector<uint8_t>&, int) {
  Fail("built without libntfs-3g");
}
void NtfsVolumeBuilder::Delete(const std::string&) { Fail("built without libntfs-3g"); }
void NtfsVolumeBuilder::DeleteTree(const std::string&) { Fail("built without libntfs-3g"); }
void NtfsVolumeBuilder::AddFileReusingRecord(const std::string&, const std::string&,
                                             const std::vector<uint8_t>&) {
  Fail("built without libntfs-3g");
}
int64_t NtfsVolumeBuilder::MftRecordOf(const std::string&) const { return -1; }
void NtfsVolumeBuilder::StampTimes(void*, TruthEntry*) const {}
VolumeTruth NtfsVolumeBuilder::Finish() { Fail("built without libntfs-3g"); }

#endif

}  // namespace velmora::testing
