#include "engine/source_fingerprint.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

#include "engine/data_folder.h"
#include "engine/recovery_output.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr uint32_t kBootAreaBytes = 65536;
constexpr char kFingerprintFile[] = ".fingerprint";

struct DigestDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

void HashValue(EVP_MD_CTX* context, uint64_t value) {
  uint8_t bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  EVP_DigestUpdate(context, bytes, sizeof(bytes));
}

// Reads `buffer` from `offset` sector by sector from `from` on, leaving zeros where a
// sector fails; returns the bytes that could not be read.
uint64_t ReadSectorsAround(ByteSource& source, uint64_t offset, size_t from,
                           std::vector<uint8_t>* buffer) {
  constexpr size_t kSector = 512;
  uint64_t unreadable = 0;
  for (size_t at = from - from % kSector; at < buffer->size(); at += kSector) {
    const size_t length = std::min(kSector, buffer->size() - at);
    size_t got = 0;
    if (source.ReadSectorAt(offset + at, buffer->data() + at, length, &got) != kSuccess ||
        got != length) {
      std::fill(buffer->begin() + static_cast<std::ptrdiff_t>(at),
                buffer->begin() + static_cast<std::ptrdiff_t>(at + length), 0);
      unreadable += length;
    }
  }
  return unreadable;
}

}  // namespace

std::string FingerprintRegion(ByteSource& source, uint64_t region_offset, uint64_t region_bytes,
                              uint64_t write_time, const std::vector<FingerprintRange>& ranges) {
  std::unique_ptr<EVP_MD_CTX, DigestDeleter> context(EVP_MD_CTX_new());
  if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) return {};
  HashValue(context.get(), region_bytes);
  HashValue(context.get(), write_time);
  std::vector<FingerprintRange> all{{0, kBootAreaBytes}};
  all.insert(all.end(), ranges.begin(), ranges.end());
  std::vector<uint8_t> buffer;
  bool any = false;
  for (const FingerprintRange& range : all) {
    if (range.offset >= region_bytes) continue;
    const uint64_t length = std::min<uint64_t>(range.length, region_bytes - range.offset);
    buffer.assign(static_cast<size_t>(length), 0);
    size_t got = 0;
    const uint64_t at = region_offset + range.offset;
    // Past the source's end nothing is there to read (a region cut short by its medium).
    if (at < source.Size() && length > source.Size() - at) {
      buffer.resize(static_cast<size_t>(source.Size() - at));
    }
    const int read = at < source.Size() ? source.ReadAt(at, buffer.data(), buffer.size(), &got)
                                        : kErrInvalidParameter;
    if (read != kSuccess && got < buffer.size() && at < source.Size()) {
      // A failing medium: the sectors that do read still tell it apart, the others by place.
      const uint64_t unreadable = ReadSectorsAround(source, at, got, &buffer);
      if (unreadable < buffer.size()) got = buffer.size();
      HashValue(context.get(), unreadable);
    }
    any = any || got > 0;
    // What could not be read counts by its length only.
    HashValue(context.get(), range.offset);
    HashValue(context.get(), got);
    EVP_DigestUpdate(context.get(), buffer.data(), got);
  }
  if (!any) return {};
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (EVP_DigestFinal_ex(context.get(), digest, &size) != 1) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

std::string FolderFingerprint(const std::string& folder) {
  const int fd = OpenDataFile(JoinPath(folder, kFingerprintFile), O_RDONLY, 0);
  if (fd < 0) return {};
  char text[160] = {};
  size_t got = 0;
  platform::ReadAt(fd, text, sizeof(text) - 1, 0, &got);
  ::close(fd);
  std::string value(text, got);
  value = value.substr(0, value.find_first_of(" \t\r\n"));
  return value;
}

int KeepFolderFingerprint(const std::string& folder, const std::string& fingerprint) {
  int err = kErrWriteFault;
  const int fd =
      OpenDataFile(JoinPath(folder, kFingerprintFile), O_WRONLY | O_CREAT | O_TRUNC, 0600, &err);
  if (fd < 0) return err;
  const std::string line = fingerprint + "\n";
  err = WriteAll(fd, line.data(), line.size());
  if (::close(fd) != 0 && err == kSuccess) err = LastError();
  return err;
}

}  // namespace velmora
