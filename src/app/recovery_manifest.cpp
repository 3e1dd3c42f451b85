#include "app/recovery_manifest.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <nlohmann/json.hpp>

#include "storage/error_codes.h"

namespace velmora::app {

namespace {

bool ReadAll(int fd, std::string* text) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) return true;
    text->append(buffer, static_cast<size_t>(got));
  }
}

bool WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    done += static_cast<size_t>(put);
  }
  return true;
}

}  // namespace

void RecoveryManifest::Load(int folder_fd) {
  entries_.clear();
  const int fd = ::openat(folder_fd, kManifestName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return;
  std::string text;
  const bool read = ReadAll(fd, &text);
  ::close(fd);
  if (!read) return;
  const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  if (!json.is_object() || !json.contains("files") || !json["files"].is_array()) return;
  for (const auto& item : json["files"]) {
    if (!item.is_object()) continue;
    ManifestEntry entry;
    entry.source = item.value("source", "");
    entry.id = item.value("id", uint64_t{0});
    entry.source_path = item.value("source_path", "");
    entry.output = item.value("output", "");
    entry.size = item.value("size", uint64_t{0});
    entry.sha256 = item.value("sha256", "");
    entry.state = item.value("state", "");
    entry.error = item.value("error", "");
    entry.partial = item.value("partial", "");
    if (item.contains("unreadable") && item["unreadable"].is_array()) {
      for (const auto& range : item["unreadable"]) {
        if (range.is_array() && range.size() == 2 && range[0].is_number_unsigned() &&
            range[1].is_number_unsigned()) {
          entry.unreadable.emplace_back(range[0].get<uint64_t>(), range[1].get<uint64_t>());
        }
      }
    }
    entries_.push_back(std::move(entry));
  }
}

int RecoveryManifest::Save(int folder_fd) const {
  nlohmann::json files = nlohmann::json::array();
  for (const ManifestEntry& entry : entries_) {
    nlohmann::json item = {
        {"source", entry.source}, {"id", entry.id},      {"source_path", entry.source_path},
        {"output", entry.output}, {"size", entry.size},  {"sha256", entry.sha256},
        {"state", entry.state},   {"error", entry.error}};
    // Only a file written over unreadable sectors has the key.
    if (!entry.unreadable.empty()) item["unreadable"] = entry.unreadable;
    if (!entry.partial.empty()) item["partial"] = entry.partial;
    files.push_back(std::move(item));
  }
  const nlohmann::json json = {{"files", std::move(files)}};
  const std::string text =
      json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  // A name of this process's own, made exclusively: whatever else lies in the folder (another
  // run's file, a planted link) is left alone, and only this file is ever removed here.
  std::string temporary;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary = std::string(kManifestName) + "." + std::to_string(::getpid()) + "-" +
                std::to_string(attempt) + ".tmp";
    fd = ::openat(folder_fd, temporary.c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 && errno != EEXIST) return LastError();
  }
  if (fd < 0) return kErrFileExists;
  const bool written = WriteAll(fd, text) && ::fsync(fd) == 0;
  const int err = written ? kSuccess : LastError();
  ::close(fd);
  // rename replaces a link planted under the manifest's name; it never follows it.
  if (!written || ::renameat(folder_fd, temporary.c_str(), folder_fd, kManifestName) != 0) {
    const int failure = written ? LastError() : err;
    ::unlinkat(folder_fd, temporary.c_str(), 0);
    return failure != kSuccess ? failure : kErrWriteFault;
  }
  return kSuccess;
}

const ManifestEntry* RecoveryManifest::Recovered(const std::string& source, uint64_t id,
                                                 const std::string& source_path) const {
  // The newest entry counts: the last run that wrote the file.
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->source == source && it->id == id && it->source_path == source_path &&
        it->error.empty() && !it->sha256.empty()) {
      return &*it;
    }
  }
  return nullptr;
}

const ManifestEntry* RecoveryManifest::Partial(const std::string& source, uint64_t id,
                                               const std::string& source_path) const {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->source == source && it->id == id && it->source_path == source_path &&
        !it->partial.empty()) {
      return &*it;
    }
  }
  return nullptr;
}

void RecoveryManifest::Put(const ManifestEntry& entry) {
  for (ManifestEntry& existing : entries_) {
    if (existing.source == entry.source && existing.id == entry.id &&
        existing.source_path == entry.source_path && existing.output == entry.output) {
      existing = entry;
      return;
    }
  }
  entries_.push_back(entry);
}

int OpenBeneath(int folder_fd, const std::string& relative) {
  // Folder by folder, so no link on the way is followed either.
  int current = ::dup(folder_fd);
  size_t start = 0;
  while (current >= 0) {
    const size_t slash = relative.find('/', start);
    const std::string part =
        relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (part.empty() || part == "..") {
      ::close(current);
      return -1;
    }
    const bool last = slash == std::string::npos;
    const int next = ::openat(current, part.c_str(),
                              O_RDONLY | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY));
    ::close(current);
    if (last) return next;
    current = next;
    start = slash + 1;
  }
  return -1;
}

std::string Sha256OfFile(int folder_fd, const std::string& name) {
  const int fd = OpenBeneath(folder_fd, name);
  if (fd < 0) return {};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    return {};
  }
  EVP_MD_CTX* context = EVP_MD_CTX_new();
  bool ok = context != nullptr && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
  char buffer[1 << 16];
  while (ok) {
    const ssize_t got = ::read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) ok = false;
    if (got <= 0) break;
    ok = EVP_DigestUpdate(context, buffer, static_cast<size_t>(got)) == 1;
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  ok = ok && EVP_DigestFinal_ex(context, digest, &length) == 1;
  EVP_MD_CTX_free(context);
  ::close(fd);
  if (!ok) return {};
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 15];
  }
  return hex;
}

}  // namespace velmora::app
