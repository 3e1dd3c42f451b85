#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

struct archive;

namespace velmora::preview {

struct ArchiveMember {
  std::string name;
  bool has_size = false;
  uint64_t size = 0;
  bool has_time = false;
  int64_t unix_time = 0;
  bool is_directory = false;
};

// An archive read through libarchive with a deadline: once it passes, every
// further read fails, so no member, header or compressed stream can hold the
// caller longer than that.
class ArchiveReader {
 public:
  enum class Formats {
    kArchives,          // every archive format libarchive reads
    kCompressedStream,  // also a lone compressed stream (.gz, .bz2, .uue) as one member
    kZip,               // office packages
  };
  ArchiveReader(const std::string& path, Formats formats, std::chrono::milliseconds time_limit);
  ~ArchiveReader();
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  bool IsOpen() const { return open_; }
  // The next member; false at the end or on a failure (Failed() tells which).
  bool Next(ArchiveMember* member);
  bool Failed() const { return failed_; }
  bool TimedOut() const;
  // The current member's data, at most `cap` bytes; false when it is larger or unreadable.
  bool ReadData(size_t cap, std::string* out);
  // Counts the current member's bytes up to `cap`; false on a read failure.
  bool CountData(uint64_t cap, uint64_t* count, bool* capped);
  std::string FormatName() const;
  // Compression filters applied under the format (0 for none).
  int FilterCount() const;

 private:
  static int64_t ReadCallback(struct archive*, void* self, const void** buffer);
  static int64_t SkipCallback(struct archive*, void* self, int64_t request);
  static int64_t SeekCallback(struct archive*, void* self, int64_t offset, int whence);

  struct archive* archive_ = nullptr;
  int fd_ = -1;
  bool open_ = false;
  bool failed_ = false;
  std::chrono::steady_clock::time_point deadline_;
  std::string buffer_;
};

// Reads the members of a zip package whose names `wanted` accepts, each capped
// in size, all of them together capped too. False when the file is no zip.
bool ReadPackageParts(const std::string& path,
                      const std::function<bool(const std::string&)>& wanted,
                      std::map<std::string, std::string>* parts);

}  // namespace velmora::preview
