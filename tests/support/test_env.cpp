#include "support/test_env.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "engine/scan_index.h"

namespace velmora::testing {

namespace fs = std::filesystem;

std::string MakeTempDir(const std::string& label) {
  static std::atomic<int> counter{0};
  const char* base = std::getenv("VELMORA_TEST_TMP");
  fs::path root = base && *base ? fs::path(base) : fs::temp_directory_path() / "velmora-tests";
  fs::create_directories(root);
  for (;;) {
    fs::path candidate = root / (label + "-" + std::to_string(::getpid()) + "-" +
                                 std::to_string(counter.fetch_add(1)));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) return candidate.string();
  }
}

void RemoveTree(const std::string& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

std::string SharedTestData(const std::string& relative) {
  const fs::path path = fs::path(VELMORA_SOURCE_DIR) / ".." / "shared" / "testdata" / relative;
  std::error_code ec;
  return fs::exists(path, ec) ? fs::weakly_canonical(path).string() : std::string();
}

ScopedDataDir::ScopedDataDir() : path_(MakeTempDir("data")) {
  if (const char* previous = std::getenv("VELMORA_DATA_DIR")) {
    previous_ = previous;
    had_previous_ = true;
  }
  ::setenv("VELMORA_DATA_DIR", path_.c_str(), 1);
  ScanIndex::ResetInstance();
}

ScopedDataDir::~ScopedDataDir() {
  if (had_previous_) {
    ::setenv("VELMORA_DATA_DIR", previous_.c_str(), 1);
  } else {
    ::unsetenv("VELMORA_DATA_DIR");
  }
  ScanIndex::ResetInstance();
  RemoveTree(path_);
}

int RunCommand(const std::string& command, std::string* output) {
  // mkntfs, mkfs.fat and fsck.fat live in /usr/sbin, which is not on a normal user's PATH.
  const std::string full = "PATH=\"$PATH:/usr/sbin:/sbin\"; " + command;
  FILE* pipe = ::popen(("{ " + full + "\n} 2>&1").c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> chunk{};
  std::string text;
  size_t n;
  while ((n = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0) text.append(chunk.data(), n);
  const int status = ::pclose(pipe);
  if (output) *output = std::move(text);
  if (status == -1) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool ToolAvailable(const std::string& tool) {
  return RunCommand("command -v " + tool + " >/dev/null") == 0;
}

std::string ShellQuote(const std::string& word) {
  std::string out = "'";
  for (char c : word) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

std::string VelmoraBinary() { return VELMORA_BINARY; }

}  // namespace velmora::testing
