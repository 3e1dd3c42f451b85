#include "preview/raw_text.h"

#include <fcntl.h>
#include <unistd.h>

#include "preview/text_convert.h"

namespace velmora::preview {

std::string RawText(const uint8_t* data, size_t length) {
  constexpr size_t kLine = 1024;
  std::string text;
  text.reserve(length + length / 4 + 2);
  for (size_t i = 0; i < length; ++i) {
    AppendCodePoint(&text, data[i] == 0 ? '.' : data[i]);
    if ((i + 1) % kLine == 0) text += "\r\n";
  }
  if (length % kLine != 0) text += "\r\n";
  return text;
}

std::string RawTextOfFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  uint8_t buffer[kRawTextBytes];
  size_t got = 0;
  while (got < sizeof buffer) {
    const ssize_t n = ::read(fd, buffer + got, sizeof buffer - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  return RawText(buffer, got);
}

}  // namespace velmora::preview
