#include "preview/isolated_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace velmora::preview {

namespace {

constexpr uint64_t kExtraMemory = uint64_t{1} << 30;
constexpr size_t kMaxOutput = 16u << 20;
constexpr std::chrono::milliseconds kStuckTime{1000};

uint64_t CurrentAddressSpace() {
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return 0;
  unsigned long long pages = 0;
  const int read = std::fscanf(statm, "%llu", &pages);
  std::fclose(statm);
  return read == 1 ? pages * static_cast<uint64_t>(::sysconf(_SC_PAGESIZE)) : 0;
}

void WriteAllOrExit(int fd, const char* data, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ::_exit(3);
    data += n;
    length -= static_cast<size_t>(n);
  }
}

[[noreturn]] void RunChild(const std::function<bool(std::string*)>& work, int out) {
  const rlimit no_core{0, 0};
  ::setrlimit(RLIMIT_CORE, &no_core);
  // Sanitizer builds reserve terabytes of address space up front: no cap there.
  const uint64_t used = CurrentAddressSpace();
  if (used > 0 && used < (uint64_t{64} << 30)) {
    const rlimit memory{used + kExtraMemory, used + kExtraMemory};
    ::setrlimit(RLIMIT_AS, &memory);
  }
  std::string text;
  bool ok = false;
  try {
    ok = work(&text);
  } catch (...) {
    ok = false;
  }
  const char status = ok ? 'Y' : 'N';
  WriteAllOrExit(out, &status, 1);
  if (ok) WriteAllOrExit(out, text.data(), std::min(text.size(), kMaxOutput));
  ::_exit(0);
}

enum class Outcome { kAnswered, kFailed, kStuck };

// CPU ticks and run state of a child, from /proc; false once it is gone.
bool ChildActivity(pid_t child, uint64_t* ticks, char* state) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(child));
  FILE* file = std::fopen(path, "r");
  if (!file) return false;
  char line[1024];
  const size_t length = std::fread(line, 1, sizeof line - 1, file);
  std::fclose(file);
  line[length] = 0;
  // The name in parentheses may hold spaces: the fields start after the last ')'.
  const char* rest = std::strrchr(line, ')');
  unsigned long long user = 0;
  unsigned long long system = 0;
  if (!rest || std::sscanf(rest + 1, " %c %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %llu %llu", state,
                           &user, &system) != 3) {
    return false;
  }
  *ticks = user + system;
  return true;
}

Outcome RunOnce(const std::function<bool(std::string* text)>& work,
                std::chrono::steady_clock::time_point deadline, std::string* received) {
  received->clear();
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return Outcome::kFailed;
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child < 0) {
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    return Outcome::kFailed;
  }
  if (child == 0) {
    ::close(pipe_fds[0]);
    RunChild(work, pipe_fds[1]);
  }
  ::close(pipe_fds[1]);

  bool finished = false;
  bool stuck = false;
  uint64_t last_ticks = ~uint64_t{0};
  auto last_progress = std::chrono::steady_clock::now();
  char chunk[64 * 1024];
  for (;;) {
    const auto now = std::chrono::steady_clock::now();
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    if (left.count() <= 0) break;
    // The copy inherits every lock another thread held at the fork (the allocator's among
    // them); one that sleeps without using any CPU is waiting for such a lock forever.
    uint64_t ticks = 0;
    char state = 0;
    if (ChildActivity(child, &ticks, &state)) {
      if (ticks != last_ticks || state != 'S') {
        last_ticks = ticks;
        last_progress = now;
      } else if (now - last_progress >= kStuckTime) {
        stuck = true;
        break;
      }
    }
    pollfd poll_fd{pipe_fds[0], POLLIN, 0};
    const int ready = ::poll(&poll_fd, 1, static_cast<int>(std::min<int64_t>(left.count(), 100)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    const ssize_t n = ::read(pipe_fds[0], chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      finished = n == 0;
      break;
    }
    received->append(chunk, static_cast<size_t>(n));
    if (received->size() > kMaxOutput + 1) break;
  }
  ::close(pipe_fds[0]);
  if (!finished) ::kill(child, SIGKILL);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (stuck) return Outcome::kStuck;
  if (!finished || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return Outcome::kFailed;
  if (received->empty() || (*received)[0] != 'Y') return Outcome::kFailed;
  return Outcome::kAnswered;
}

}  // namespace

bool RunIsolated(const std::function<bool(std::string* text)>& work,
                 std::chrono::milliseconds time_limit, std::string* text) {
  text->clear();
  const auto deadline = std::chrono::steady_clock::now() + time_limit;
  std::string received;
  // A copy stuck on an inherited lock is no verdict on the work: a new copy, forked at
  // another moment, tries again while there is time.
  Outcome outcome = Outcome::kStuck;
  while (outcome == Outcome::kStuck && std::chrono::steady_clock::now() < deadline) {
    outcome = RunOnce(work, deadline, &received);
  }
  if (outcome != Outcome::kAnswered) return false;
  text->assign(received, 1, std::string::npos);
  return true;
}

}  // namespace velmora::preview
