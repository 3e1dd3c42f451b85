#include "preview/file_head.h"

#include <fcntl.h>
#include <unistd.h>

namespace velmora::preview {

bool ReadFileHead(const std::string& path, size_t cap, std::string* out) {
  out->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[64 * 1024];
  while (out->size() < cap) {
    const ssize_t n = ::read(fd, chunk, std::min(sizeof chunk, cap - out->size()));
    if (n <= 0) break;
    out->append(chunk, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

Container SniffContainer(const std::string& path) {
  std::string head;
  if (!ReadFileHead(path, 8, &head)) return Container::kUnknown;
  if (head.size() >= 8 && head.compare(0, 8, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1") == 0) {
    return Container::kCompound;
  }
  if (head.size() >= 4 && head.compare(0, 4, "PK\x03\x04") == 0) return Container::kZip;
  if (head.size() >= 5 && head.compare(0, 5, "{\\rtf") == 0) return Container::kRtf;
  if (head.size() >= 5 && head.compare(0, 5, "%PDF-") == 0) return Container::kPdf;
  return Container::kUnknown;
}

}  // namespace velmora::preview
