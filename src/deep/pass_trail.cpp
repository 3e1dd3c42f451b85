#include "deep/pass_trail.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "engine/recovery_output.h"
#include "storage/byte_view.h"
#include "storage/error_codes.h"
#include "storage/platform_device.h"
#include "storage/sector_reader.h"

namespace velmora {

namespace {

constexpr size_t kEntryBytes = 16;
constexpr uint8_t kCheckpoint = 0xFF;
// The checkpoint of a pass that ran to the end: nothing is left to resume.
constexpr uint8_t kFinished = 0xFE;

bool IsCheckpoint(uint8_t kind) { return kind == kCheckpoint || kind == kFinished; }
// NTFS records are 512 to 4096 bytes; a FAT directory sector is one sector.
constexpr uint32_t kMostBytes = 4096;
// A trail of more than this is no trail of ours (4 GiB of metadata entries).
constexpr uint64_t kMostFileBytes = 4ull << 30;

void Put(uint8_t* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(value >> (8 * i));
}

void Encode(uint64_t sector, uint32_t bytes, uint8_t kind, std::vector<uint8_t>* out) {
  uint8_t entry[kEntryBytes] = {};
  Put(entry, sector, 8);
  Put(entry + 8, bytes, 4);
  entry[12] = kind;
  out->insert(out->end(), entry, entry + kEntryBytes);
}

int OpenTrail(const std::string& path, int flags) {
  return ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0644);
}

// The whole trail file, or false when it is missing, no regular file or no whole entries.
bool ReadTrail(const std::string& path, std::vector<uint8_t>* text) {
  const int fd = OpenTrail(path, O_RDONLY);
  struct stat st {};
  bool readable = fd >= 0 && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                  static_cast<uint64_t>(st.st_size) <= kMostFileBytes &&
                  st.st_size % static_cast<off_t>(kEntryBytes) == 0;
  if (readable) {
    text->resize(static_cast<size_t>(st.st_size));
    size_t got = 0;
    readable = ReadFully(fd, text->size(), text->data(), &got) == kSuccess && got == text->size();
  }
  if (fd >= 0) ::close(fd);
  return readable;
}

}  // namespace

bool PassTrail::RecordsAt(const std::string& folder, uint64_t position, uint32_t* carved_records,
                          bool* finished) {
  std::vector<uint8_t> text;
  if (!ReadTrail(JoinPath(folder, kFileName), &text)) return false;
  bool found = false;
  for (size_t at = 0; at < text.size(); at += kEntryBytes) {
    const uint8_t* entry = text.data() + at;
    const ByteView fields = ByteView(text).Sub(at, kEntryBytes);
    if (!IsCheckpoint(entry[12]) || fields.Le64(0) != position) continue;
    *carved_records = fields.Le32(8).value_or(0);
    if (finished != nullptr) *finished = entry[12] == kFinished;
    found = true;
  }
  return found;
}

void PassTrail::Start(const std::string& folder) {
  path_ = JoinPath(folder, kFileName);
  pending_.clear();
  const int fd = OpenTrail(path_, O_WRONLY | O_CREAT | O_TRUNC);
  broken_ = fd < 0;
  if (fd >= 0) ::close(fd);
}

bool PassTrail::Checkpoint(uint64_t position, uint32_t carved_records, bool finished) {
  if (path_.empty() || broken_) return false;
  std::vector<uint8_t> bytes;
  bytes.reserve((pending_.size() + 1) * kEntryBytes);
  for (const PassTrailEntry& entry : pending_)
    Encode(entry.sector, entry.bytes, entry.kind, &bytes);
  Encode(position, carved_records, finished ? kFinished : kCheckpoint, &bytes);
  const int fd = OpenTrail(path_, O_WRONLY | O_APPEND);
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) {
    if (fd >= 0) ::close(fd);
    broken_ = true;
    return false;
  }
  if (platform::WriteAll(fd, bytes.data(), bytes.size()) != kSuccess) {
    // A torn entry would shift every later one: the trail ends where it was whole (and
    // takes nothing further either way).
    const int cut = ::ftruncate(fd, st.st_size);
    static_cast<void>(cut);
    ::close(fd);
    broken_ = true;
    return false;
  }
  ::close(fd);
  pending_.clear();
  return true;
}

bool PassTrail::Resume(const std::string& folder, uint64_t position, uint64_t source_end,
                       std::vector<PassTrailEntry>* entries) {
  path_ = JoinPath(folder, kFileName);
  pending_.clear();
  broken_ = false;
  entries->clear();
  std::vector<uint8_t> text;
  const bool readable = ReadTrail(path_, &text);
  // The entries up to the last checkpoint at `position`; any entry that does not check out
  // spoils the whole trail.
  size_t keep = 0;
  std::vector<PassTrailEntry> seen;
  size_t kept_entries = 0;
  bool sound = readable;
  for (size_t at = 0; sound && at < text.size(); at += kEntryBytes) {
    const uint8_t* entry = text.data() + at;
    const ByteView fields = ByteView(text).Sub(at, kEntryBytes);
    const uint64_t sector = fields.Le64(0).value_or(0);
    const uint32_t bytes = fields.Le32(8).value_or(0);
    const uint8_t kind = entry[12];
    if (IsCheckpoint(kind)) {
      if (sector == position) {
        keep = at + kEntryBytes;
        kept_entries = seen.size();
      }
      continue;
    }
    const bool known = kind == PassTrailEntry::kNtfsRecord ||
                       kind == PassTrailEntry::kFatDirectoryStart ||
                       kind == PassTrailEntry::kFatDirectorySector;
    sound = known && bytes != 0 && bytes <= kMostBytes && sector < source_end;
    if (sound) seen.push_back({sector, bytes, static_cast<PassTrailEntry::Kind>(kind)});
  }
  if (sound && keep != 0) {
    seen.resize(kept_entries);
    for (const PassTrailEntry& entry : seen) {
      if (entry.sector >= position) sound = false;
    }
  }
  const bool found = sound && keep != 0;
  const int out = OpenTrail(path_, O_WRONLY | O_CREAT);
  if (out < 0 || ::ftruncate(out, found ? static_cast<off_t>(keep) : 0) != 0) broken_ = true;
  if (out >= 0) ::close(out);
  if (!found) return false;
  *entries = std::move(seen);
  return true;
}

}  // namespace velmora
