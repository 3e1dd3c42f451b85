#include "fuzz_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "engine/scan_index.h"
#include "fuzz_target.h"

namespace velmora::fuzz {

namespace fs = std::filesystem;

std::vector<Target>& Targets() {
  static std::vector<Target> targets;
  return targets;
}

MemoryImage::MemoryImage(const uint8_t* data, size_t size, size_t min_bytes) {
  fd_ = ::memfd_create("velmora-fuzz", MFD_CLOEXEC);
  if (fd_ < 0) return;
  size_t total = (size + 511) / 512 * 512;
  if (total < min_bytes) total = min_bytes;
  if (::ftruncate(fd_, static_cast<off_t>(total)) != 0 ||
      (size > 0 && ::pwrite(fd_, data, size, 0) != static_cast<ssize_t>(size))) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  bytes_ = total;
  path_ = "/proc/self/fd/" + std::to_string(fd_);
}

MemoryImage::~MemoryImage() {
  if (fd_ >= 0) ::close(fd_);
}

namespace {

struct Scratch {
  std::string path;
  Scratch() {
    // Tests keep their files under VELMORA_TEST_TMP (set by CTest).
    const char* test_tmp = std::getenv("VELMORA_TEST_TMP");
    std::error_code ec;
    if (test_tmp != nullptr && *test_tmp != '\0') fs::create_directories(test_tmp, ec);
    std::string base =
        (test_tmp != nullptr && *test_tmp != '\0' ? std::string(test_tmp)
                                                  : fs::temp_directory_path().string()) +
        "/velmora-fuzz-XXXXXX";
    if (::mkdtemp(base.data()) == nullptr) std::abort();
    path = base;
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

}  // namespace

const std::string& ScratchDir() {
  static Scratch scratch;
  return scratch.path;
}

void ClearScratch() {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(ScratchDir(), ec))
    fs::remove_all(entry.path(), ec);
}

void UseScratchDataDir() {
  static const bool done = [] {
    ::setenv("VELMORA_DATA_DIR", (ScratchDir() + "/data").c_str(), 1);
    return true;
  }();
  (void)done;
}

bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (size > 0) out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

}  // namespace velmora::fuzz
