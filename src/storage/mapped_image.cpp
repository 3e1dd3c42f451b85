#include "storage/mapped_image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <mutex>

namespace velmora {

namespace {

uint64_t PageBytes() {
  static const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  return page;
}

// A file that shrinks under a mapping (another program truncates the image while it is
// scanned) faults with SIGBUS on the pages past its new end. The handler puts zero pages
// there and counts the event, so the scan ends with an error instead of the program dying.
constexpr int kGuardedSlots = 64;
std::atomic<uintptr_t> g_guard_begin[kGuardedSlots];
std::atomic<uintptr_t> g_guard_end[kGuardedSlots];
std::atomic<uint64_t> g_shrinks{0};
uintptr_t g_page_mask = 0;
struct sigaction g_previous_bus_action {};
std::once_flag g_bus_handler_once;

void OnBusError(int signal_number, siginfo_t* info, void* context) {
  const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
  for (int i = 0; i < kGuardedSlots; ++i) {
    const uintptr_t begin = g_guard_begin[i].load();
    const uintptr_t end = g_guard_end[i].load();
    if (begin == 0 || address < begin || address >= end) continue;
    const uintptr_t page = address & g_page_mask;
    void* zeros = ::mmap(reinterpret_cast<void*>(page), end - page, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros != MAP_FAILED) {
      g_shrinks.fetch_add(1);
      return;
    }
  }
  // Not one of ours: whatever would have happened without this handler.
  const struct sigaction& previous = g_previous_bus_action;
  if ((previous.sa_flags & SA_SIGINFO) != 0 && previous.sa_sigaction != nullptr) {
    previous.sa_sigaction(signal_number, info, context);
    return;
  }
  if (previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
    previous.sa_handler(signal_number);
    return;
  }
  ::signal(SIGBUS, SIG_DFL);
  ::raise(SIGBUS);
}

void InstallBusHandler() {
  std::call_once(g_bus_handler_once, [] {
    g_page_mask = ~static_cast<uintptr_t>(PageBytes() - 1);
    struct sigaction action {};
    action.sa_sigaction = &OnBusError;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &g_previous_bus_action);
  });
}

int GuardMapping(const void* mapping, size_t bytes) {
  InstallBusHandler();
  const auto begin = reinterpret_cast<uintptr_t>(mapping);
  for (int i = 0; i < kGuardedSlots; ++i) {
    uintptr_t free_slot = 0;
    g_guard_end[i].store(begin + bytes);
    if (g_guard_begin[i].compare_exchange_strong(free_slot, begin)) return i;
  }
  return -1;  // more mappings than slots: this one is unguarded, as before
}

void UnguardMapping(int slot) {
  if (slot >= 0) g_guard_begin[slot].store(0);
}

}  // namespace

uint64_t MappedFileShrinks() { return g_shrinks.load(); }

void ReadAheadOfMapping(platform::FileHandle handle, uint64_t offset, uint64_t length) {
  ::posix_fadvise(handle, static_cast<off_t>(offset), static_cast<off_t>(length),
                  POSIX_FADV_WILLNEED);
}

bool RegularFileSize(platform::FileHandle handle, uint64_t* size) {
  struct stat st {};
  if (handle == platform::kInvalidHandle || ::fstat(handle, &st) != 0 || !S_ISREG(st.st_mode)) {
    return false;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return true;
}

MappedRegion::MappedRegion(void* mapping, size_t mapping_bytes, uint64_t start, uint64_t end,
                           size_t lead)
    : mapping_(mapping),
      mapping_bytes_(mapping_bytes),
      start_(start),
      end_(end),
      base_(static_cast<const uint8_t*>(mapping) + lead),
      guard_slot_(GuardMapping(mapping, mapping_bytes)) {}

MappedRegion::~MappedRegion() {
  UnguardMapping(guard_slot_);
  ::munmap(mapping_, mapping_bytes_);
}

std::shared_ptr<const MappedRegion> MappedRegion::Map(platform::FileHandle handle, uint64_t offset,
                                                      size_t length, bool populate) {
  uint64_t size = 0;
  if (length == 0 || !RegularFileSize(handle, &size)) return nullptr;
  if (offset > size || length > size - offset) return nullptr;
  const uint64_t aligned = offset - offset % PageBytes();
  const size_t lead = static_cast<size_t>(offset - aligned);
  const size_t bytes = lead + length;
  // Entering the pages of a cold file one fault at a time would read it in small pieces.
  if (populate) ReadAheadOfMapping(handle, aligned, bytes);
  void* mapping = ::mmap(nullptr, bytes, PROT_READ, MAP_SHARED | (populate ? MAP_POPULATE : 0),
                         handle, static_cast<off_t>(aligned));
  if (mapping == MAP_FAILED) return nullptr;
  ::madvise(mapping, bytes, MADV_SEQUENTIAL);
  return std::shared_ptr<const MappedRegion>(
      new MappedRegion(mapping, bytes, offset, offset + length, lead));
}

bool MappedImage::Attach(platform::FileHandle handle) {
  Detach();
  if (!RegularFileSize(handle, &size_)) return false;
  handle_ = handle;
  return true;
}

void MappedImage::Detach() {
  window_.reset();
  lent_ = nullptr;
  handle_ = platform::kInvalidHandle;
  size_ = 0;
}

const uint8_t* MappedImage::View(uint64_t offset, size_t length) {
  if (handle_ == platform::kInvalidHandle || length == 0 || length > kWindowBytes / 2) {
    return nullptr;
  }
  if (offset > size_ || length > size_ - offset) return nullptr;
  if (const uint8_t* lent = LentView(offset, length)) return lent;
  if (!window_ || !window_->Covers(offset, length)) {
    window_.reset();
    const uint64_t start = offset - offset % PageBytes();
    const size_t bytes = static_cast<size_t>(std::min<uint64_t>(kWindowBytes, size_ - start));
    window_ = MappedRegion::Map(handle_, start, bytes, false);
    if (!window_ || !window_->Covers(offset, length)) return nullptr;
  }
  return window_->At(offset);
}

const uint8_t* MappedImage::ViewInWindow(uint64_t offset, size_t length) const {
  if (const uint8_t* lent = LentView(offset, length)) return lent;
  return window_ && window_->Covers(offset, length) ? window_->At(offset) : nullptr;
}

}  // namespace velmora
