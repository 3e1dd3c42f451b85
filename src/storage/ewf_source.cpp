#include "storage/ewf_source.h"

#include "storage/error_codes.h"

#ifndef VELMORA_HAVE_LIBEWF
#define VELMORA_HAVE_LIBEWF 0
#endif

#if VELMORA_HAVE_LIBEWF
#include <libewf.h>

#include <algorithm>
#include <mutex>
#include <utility>
#include <vector>
#endif

namespace velmora {

#if VELMORA_HAVE_LIBEWF

namespace {

std::string TakeEwfError(libewf_error_t** error) {
  std::string text;
  if (*error != nullptr) {
    char buffer[512] = {};
    if (libewf_error_sprint(*error, buffer, sizeof(buffer)) > 0) text = buffer;
    libewf_error_free(error);
  }
  return text;
}

class EwfSource final : public ByteSource {
 public:
  EwfSource(libewf_handle_t* handle, uint64_t size, uint32_t sector_size)
      : handle_(handle), size_(size), sector_size_(sector_size) {}
  ~EwfSource() override {
    libewf_handle_close(handle_, nullptr);
    libewf_handle_free(&handle_, nullptr);
  }

  uint64_t Size() const override { return size_; }
  int ReadAt(uint64_t offset, void* buffer, size_t length, size_t* got) override {
    if (got) *got = 0;
    if (PassesEnd(offset, length)) return kErrInvalidParameter;
    // The library keeps a read position and chunk cache per handle.
    std::lock_guard lock(mutex_);
    auto* out = static_cast<uint8_t*>(buffer);
    size_t done = 0;
    while (done < length) {
      libewf_error_t* error = nullptr;
      const ssize_t n = libewf_handle_read_random(handle_, out + done, length - done,
                                                  static_cast<off64_t>(offset + done), &error);
      TakeEwfError(&error);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    // A chunk whose checksum fails arrives filled in; the library lists it as an error, and
    // the bytes from there on count as unread, like a bad sector's.
    CollectChecksumErrors();
    for (const auto& [start, end] : bad_) {
      if (end > offset && start < offset + done) {
        done = start > offset ? static_cast<size_t>(start - offset) : 0;
      }
    }
    if (got) *got = done;
    return done == length ? kSuccess : kErrReadFault;
  }
  // Like any image, evidence is addressed in 512-byte sectors, whatever disk it was taken from.
  uint32_t SectorSize() const override { return 512; }
  std::string KindName() const override { return "EWF"; }

 private:
  void CollectChecksumErrors() {
    uint32_t errors = 0;
    if (libewf_handle_get_number_of_checksum_errors(handle_, &errors, nullptr) != 1) return;
    for (; known_errors_ < errors; ++known_errors_) {
      uint64_t sector = 0;
      uint64_t count = 0;
      if (libewf_handle_get_checksum_error(handle_, known_errors_, &sector, &count, nullptr) == 1) {
        bad_.emplace_back(sector * sector_size_, (sector + count) * sector_size_);
      }
    }
  }

  uint32_t known_errors_ = 0;
  std::vector<std::pair<uint64_t, uint64_t>> bad_;  // byte ranges [start, end)
  std::mutex mutex_;
  libewf_handle_t* handle_;
  uint64_t size_;
  uint32_t sector_size_;
};

// Every segment of the set `path` belongs to; the path alone when its name follows no EWF
// naming scheme (a set recognised by its signature under another name).
std::vector<std::string> SegmentPaths(const std::string& path) {
  char** names = nullptr;
  int count = 0;
  libewf_error_t* error = nullptr;
  std::vector<std::string> paths;
  if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) == 1) {
    for (int i = 0; i < count; ++i) paths.emplace_back(names[i]);
    libewf_glob_free(names, count, nullptr);
  }
  TakeEwfError(&error);
  if (paths.empty()) paths.push_back(path);
  return paths;
}

}  // namespace

int OpenEwfSource(const std::string& path, std::shared_ptr<ByteSource>* out, std::string* error) {
  out->reset();
  const std::vector<std::string> paths = SegmentPaths(path);
  std::vector<char*> names;
  for (const std::string& p : paths) names.push_back(const_cast<char*>(p.c_str()));
  libewf_handle_t* handle = nullptr;
  libewf_error_t* ewf_error = nullptr;
  auto fail = [&](const std::string& what) {
    std::string reason = TakeEwfError(&ewf_error);
    if (handle != nullptr) {
      libewf_handle_close(handle, nullptr);
      libewf_handle_free(&handle, nullptr);
    }
    if (error) {
      *error = path + ": " + what;
      if (!reason.empty()) *error += " (" + reason + ")";
    }
    return kErrFileCorrupt;
  };
  if (libewf_handle_initialize(&handle, &ewf_error) != 1) {
    return fail("the evidence file reader could not start");
  }
  if (libewf_handle_open(handle, names.data(), static_cast<int>(names.size()), LIBEWF_OPEN_READ,
                         &ewf_error) != 1) {
    return fail("not a complete EWF evidence set (damaged, cut short, or a segment is missing)");
  }
  if (libewf_handle_segment_files_corrupted(handle, &ewf_error) != 0) {
    return fail("the evidence set is damaged, cut short or misses a segment");
  }
  size64_t media_size = 0;
  uint32_t sector_size = 512;
  if (libewf_handle_get_media_size(handle, &media_size, &ewf_error) != 1 || media_size == 0) {
    return fail("the evidence set records no media size");
  }
  // Checksum errors come back in the set's own sectors.
  if (libewf_handle_get_bytes_per_sector(handle, &sector_size, &ewf_error) != 1 ||
      sector_size == 0 || sector_size % 512 != 0) {
    sector_size = 512;
    TakeEwfError(&ewf_error);
  }
  auto source = std::make_shared<EwfSource>(handle, media_size, sector_size);
  // A set cut short opens but cannot deliver its last chunk: refuse it now rather than fail
  // every read near its end later.
  std::vector<uint8_t> probe(512);
  const uint64_t last = media_size >= probe.size() ? media_size - probe.size() : 0;
  const size_t probe_bytes = static_cast<size_t>(std::min<uint64_t>(probe.size(), media_size));
  if (source->ReadAt(0, probe.data(), probe_bytes, nullptr) != kSuccess ||
      source->ReadAt(last, probe.data(), probe_bytes, nullptr) != kSuccess) {
    if (error)
      *error = path + ": the evidence set is cut short (its data cannot be read to the end)";
    return kErrFileCorrupt;
  }
  *out = std::move(source);
  return kSuccess;
}

#else

int OpenEwfSource(const std::string& path, std::shared_ptr<ByteSource>* out, std::string* error) {
  out->reset();
  if (error)
    *error = path + ": EWF evidence files are not supported by this build (libewf missing)";
  return kErrNotSupported;
}

#endif

bool EwfSupported() { return VELMORA_HAVE_LIBEWF != 0; }

}  // namespace velmora
