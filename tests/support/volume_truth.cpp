#include "support/volume_truth.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

namespace velmora::testing {

const TruthEntry* VolumeTruth::Find(std::string_view path) const {
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    if (it->path == path) return &*it;
  }
  return nullptr;
}

std::vector<const TruthEntry*> VolumeTruth::Files() const {
  std::vector<const TruthEntry*> out;
  for (const auto& e : entries) {
    if (!e.is_dir) out.push_back(&e);
  }
  return out;
}

std::vector<const TruthEntry*> VolumeTruth::Folders() const {
  std::vector<const TruthEntry*> out;
  for (const auto& e : entries) {
    if (e.is_dir) out.push_back(&e);
  }
  return out;
}

std::string ParentOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash == 0) return "";
  return std::string(path.substr(0, slash));
}

std::string NameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

bool ReadExtents(const std::string& image_path, const std::vector<ImageExtent>& extents,
                 uint64_t max_bytes, std::vector<uint8_t>* out) {
  out->clear();
  const int fd = ::open(image_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = true;
  for (const auto& extent : extents) {
    if (out->size() >= max_bytes) break;
    const uint64_t want = std::min<uint64_t>(extent.length, max_bytes - out->size());
    const size_t start = out->size();
    out->resize(start + want, 0);
    if (extent.hole) continue;
    uint64_t done = 0;
    while (done < want) {
      const ssize_t got = ::pread(fd, out->data() + start + done, want - done,
                                  static_cast<off_t>(extent.offset + done));
      if (got <= 0) {
        ok = false;
        break;
      }
      done += static_cast<uint64_t>(got);
    }
    if (!ok) break;
  }
  ::close(fd);
  return ok;
}

}  // namespace velmora::testing
