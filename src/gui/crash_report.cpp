#include "gui/crash_report.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace velmora::gui {
namespace {

// Kept ready before any crash: the handler must not allocate.
char g_fallback[4096];

int OpenReport(const char* folder, const char* name) {
  char path[4608];
  std::snprintf(path, sizeof(path), "%sD-Error", folder);
  ::mkdir(path, 0755);
  std::snprintf(path, sizeof(path), "%sD-Error/%s", folder, name);
  return ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void FormatName(const std::tm& t, char* name, size_t size) {
  std::snprintf(name, size, "%d-%d-%d&%d-%d-%d.dmp", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                t.tm_hour, t.tm_min, t.tm_sec);
}

void OnFatalSignal(int signal_number) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char name[64];
  FormatName(local, name, sizeof(name));
  int fd = OpenReport("", name);
  if (fd < 0 && g_fallback[0] != '\0') fd = OpenReport(g_fallback, name);
  if (fd >= 0) {
    char head[128];
    const int length =
        std::snprintf(head, sizeof(head), "velmora-gui ended by signal %d (%s)\nbacktrace:\n",
                      signal_number, strsignal(signal_number));
    if (length > 0 && ::write(fd, head, static_cast<size_t>(length)) < 0) {
    }
    void* frames[64];
    const int count = ::backtrace(frames, 64);
    ::backtrace_symbols_fd(frames, count, fd);
    ::close(fd);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

std::string CrashReportName(const std::tm& local_time) {
  char name[64];
  FormatName(local_time, name, sizeof(name));
  return name;
}

void InstallCrashHandler(const std::string& fallback_folder) {
  std::string folder = fallback_folder;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  std::snprintf(g_fallback, sizeof(g_fallback), "%s", folder.c_str());
  // backtrace() loads its unwinder on first use; do that now, not in the handler.
  void* warm[1];
  ::backtrace(warm, 1);
  for (int signal_number : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) {
    struct sigaction action {};
    action.sa_handler = OnFatalSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(signal_number, &action, nullptr);
  }
}

}  // namespace velmora::gui
