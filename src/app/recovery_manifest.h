#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velmora::app {

// The record a destination folder keeps of what was recovered into it,
// "velmora-recovered.json": one entry per file, so a second run into the same
// folder can pass over what is already there unchanged.
inline constexpr const char* kManifestName = "velmora-recovered.json";

struct ManifestEntry {
  std::string source;       // the scanned source as named
  uint64_t id = 0;          // the record's id in its result
  std::string source_path;  // folder and name in the scanned volume
  std::string output;       // where it was written, relative to the destination
  uint64_t size = 0;
  std::string sha256;  // of the written file; empty when nothing was written
  std::string state;   // "intact", "partly overwritten NN%", "overwritten" or ""
  std::string error;   // "" when it was recovered
  // Source byte ranges that could not be read and were written as zeros: offset, length.
  std::vector<std::pair<uint64_t, uint64_t>> unreadable;
  std::string partial;  // what could be read of a failed file, relative to the destination
};

class RecoveryManifest {
 public:
  // Reads the manifest in the folder open as `folder_fd`; a missing or
  // unreadable one is an empty manifest.
  void Load(int folder_fd);
  // Writes it atomically: a temporary file in the folder, then a rename.
  // 0 or an error code.
  int Save(int folder_fd) const;

  // The entry of an earlier successful recovery of the same file.
  const ManifestEntry* Recovered(const std::string& source, uint64_t id,
                                 const std::string& source_path) const;
  // The newest entry of the same file that names a kept partial copy.
  const ManifestEntry* Partial(const std::string& source, uint64_t id,
                               const std::string& source_path) const;
  // Adds an entry, or replaces the one for the same file and output.
  void Put(const ManifestEntry& entry);
  const std::vector<ManifestEntry>& Entries() const { return entries_; }

 private:
  std::vector<ManifestEntry> entries_;
};

// Opens `relative` ("a/b/c") beneath `folder_fd` without following any link;
// -1 when it cannot.
int OpenBeneath(int folder_fd, const std::string& relative);
// Lower-case hex SHA-256 of the regular file `name` ("a/b.jpg") beneath
// `folder_fd` (no link followed); "" when it cannot be read.
std::string Sha256OfFile(int folder_fd, const std::string& name);

}  // namespace velmora::app
