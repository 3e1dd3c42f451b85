#include "preview/archive_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <unistd.h>

#include "preview/viewers.h"

namespace velmora::preview {

namespace {
constexpr size_t kReadChunk = 64 * 1024;
}

ArchiveReader::ArchiveReader(const std::string& path, Formats formats,
                             std::chrono::milliseconds time_limit)
    : deadline_(std::chrono::steady_clock::now() + time_limit) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) return;
  archive_ = archive_read_new();
  if (!archive_) return;
  if (formats == Formats::kZip) {
    archive_read_support_format_zip(archive_);
  } else {
    archive_read_support_filter_all(archive_);
    archive_read_support_format_all(archive_);
    if (formats == Formats::kCompressedStream) archive_read_support_format_raw(archive_);
  }
  buffer_.resize(kReadChunk);
  archive_read_set_callback_data(archive_, this);
  archive_read_set_read_callback(archive_, &ArchiveReader::ReadCallback);
  archive_read_set_skip_callback(archive_, &ArchiveReader::SkipCallback);
  archive_read_set_seek_callback(archive_, &ArchiveReader::SeekCallback);
  open_ = archive_read_open1(archive_) == ARCHIVE_OK;
  failed_ = !open_;
}

ArchiveReader::~ArchiveReader() {
  if (archive_) archive_read_free(archive_);
  if (fd_ >= 0) ::close(fd_);
}

bool ArchiveReader::TimedOut() const { return std::chrono::steady_clock::now() > deadline_; }

int64_t ArchiveReader::ReadCallback(struct archive* a, void* self, const void** buffer) {
  auto* reader = static_cast<ArchiveReader*>(self);
  if (reader->TimedOut()) {
    archive_set_error(a, ETIMEDOUT, "time limit reached");
    return -1;
  }
  const ssize_t n = ::read(reader->fd_, reader->buffer_.data(), reader->buffer_.size());
  *buffer = reader->buffer_.data();
  return n;
}

int64_t ArchiveReader::SkipCallback(struct archive*, void* self, int64_t request) {
  auto* reader = static_cast<ArchiveReader*>(self);
  const off_t at = ::lseek(reader->fd_, 0, SEEK_CUR);
  const off_t end = ::lseek(reader->fd_, 0, SEEK_END);
  if (at < 0 || end < 0) return 0;
  const int64_t step = std::min<int64_t>(request, end - at);
  ::lseek(reader->fd_, at + std::max<int64_t>(step, 0), SEEK_SET);
  return std::max<int64_t>(step, 0);
}

int64_t ArchiveReader::SeekCallback(struct archive*, void* self, int64_t offset, int whence) {
  auto* reader = static_cast<ArchiveReader*>(self);
  const off_t at = ::lseek(reader->fd_, offset, whence);
  return at < 0 ? ARCHIVE_FATAL : at;
}

bool ArchiveReader::Next(ArchiveMember* member) {
  if (!open_ || failed_) return false;
  if (TimedOut()) {
    failed_ = true;
    return false;
  }
  struct archive_entry* entry = nullptr;
  const int rc = archive_read_next_header(archive_, &entry);
  if (rc == ARCHIVE_EOF) return false;
  if (rc < ARCHIVE_WARN || entry == nullptr) {
    failed_ = true;
    return false;
  }
  const char* name = archive_entry_pathname_utf8(entry);
  if (!name) name = archive_entry_pathname(entry);
  member->name = name ? name : "";
  member->has_size = archive_entry_size_is_set(entry) != 0;
  member->size =
      member->has_size ? static_cast<uint64_t>(std::max<int64_t>(archive_entry_size(entry), 0)) : 0;
  member->has_time = archive_entry_mtime_is_set(entry) != 0;
  member->unix_time = member->has_time ? archive_entry_mtime(entry) : 0;
  member->is_directory = archive_entry_filetype(entry) == AE_IFDIR;
  return true;
}

bool ArchiveReader::ReadData(size_t cap, std::string* out) {
  out->clear();
  char chunk[16 * 1024];
  for (;;) {
    const la_ssize_t n = archive_read_data(archive_, chunk, sizeof chunk);
    if (n == 0) return true;
    if (n < 0 || out->size() + static_cast<size_t>(n) > cap) {
      failed_ = n < 0;
      return false;
    }
    out->append(chunk, static_cast<size_t>(n));
  }
}

bool ArchiveReader::CountData(uint64_t cap, uint64_t* count, bool* capped) {
  *count = 0;
  *capped = false;
  char chunk[64 * 1024];
  for (;;) {
    const la_ssize_t n = archive_read_data(archive_, chunk, sizeof chunk);
    if (n == 0) return true;
    if (n < 0) {
      failed_ = true;
      return false;
    }
    *count += static_cast<uint64_t>(n);
    if (*count >= cap) {
      *capped = true;
      return true;
    }
  }
}

std::string ArchiveReader::FormatName() const {
  const char* name = archive_ ? archive_format_name(archive_) : nullptr;
  return name ? name : "";
}

int ArchiveReader::FilterCount() const {
  // The last filter is the plain file reader itself.
  return archive_ ? std::max(archive_filter_count(archive_) - 1, 0) : 0;
}

bool ReadPackageParts(const std::string& path,
                      const std::function<bool(const std::string&)>& wanted,
                      std::map<std::string, std::string>* parts) {
  ArchiveReader reader(path, ArchiveReader::Formats::kZip, ViewerLimits::kArchiveTime);
  ArchiveMember member;
  size_t total = 0;
  size_t seen = 0;
  while (reader.Next(&member)) {
    if (++seen > 100000) return false;
    if (member.is_directory || !wanted(member.name) || parts->count(member.name)) continue;
    std::string data;
    if (!reader.ReadData(ViewerLimits::kMemberBytes, &data)) {
      if (reader.Failed()) return false;
      continue;  // larger than any real part: left out
    }
    total += data.size();
    if (total > ViewerLimits::kPackageBytes) return false;
    (*parts)[member.name] = std::move(data);
  }
  return !reader.Failed() && seen > 0;
}

}  // namespace velmora::preview
