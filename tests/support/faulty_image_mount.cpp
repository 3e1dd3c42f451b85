#include "support/faulty_image_mount.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <thread>

#ifdef VELMORA_HAVE_FUSE3
#define FUSE_USE_VERSION 31
#include <fuse.h>
#endif

namespace velmora::testing {

struct FaultyImageMount::Server {
  int image_fd = -1;
  uint64_t size = 0;
  std::set<uint64_t> bad;
  std::atomic<uint64_t> failed_reads{0};
  static constexpr uint64_t kNoPause = std::numeric_limits<uint64_t>::max();
  std::mutex pause_mutex;
  std::condition_variable pause_changed;
  uint64_t pause_begin = kNoPause;  // reads starting in [pause_begin, pause_end) wait
  uint64_t pause_end = kNoPause;
  bool read_paused = false;
#ifdef VELMORA_HAVE_FUSE3
  fuse* session = nullptr;
#endif
  std::thread loop;
};

#ifdef VELMORA_HAVE_FUSE3
namespace {

constexpr char kFileName[] = "/disk.img";

FaultyImageMount::Server* ServerOf() {
  return static_cast<FaultyImageMount::Server*>(fuse_get_context()->private_data);
}

int GetAttr(const char* path, struct stat* st, fuse_file_info*) {
  std::memset(st, 0, sizeof *st);
  if (std::strcmp(path, "/") == 0) {
    st->st_mode = S_IFDIR | 0755;
    st->st_nlink = 2;
    return 0;
  }
  if (std::strcmp(path, kFileName) != 0) return -ENOENT;
  st->st_mode = S_IFREG | 0444;
  st->st_nlink = 1;
  st->st_size = static_cast<off_t>(ServerOf()->size);
  return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
            fuse_readdir_flags) {
  if (std::strcmp(path, "/") != 0) return -ENOENT;
  fill(buffer, ".", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, "..", nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  fill(buffer, kFileName + 1, nullptr, 0, static_cast<fuse_fill_dir_flags>(0));
  return 0;
}

int Open(const char* path, fuse_file_info* info) {
  if (std::strcmp(path, kFileName) != 0) return -ENOENT;
  if ((info->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
  info->direct_io = 1;  // every read reaches Read with its own offset and size
  return 0;
}

int Read(const char*, char* buffer, size_t size, off_t offset, fuse_file_info*) {
  FaultyImageMount::Server* server = ServerOf();
  const uint64_t begin = static_cast<uint64_t>(offset);
  {
    std::unique_lock lock(server->pause_mutex);
    if (begin >= server->pause_begin && begin < server->pause_end) {
      server->read_paused = true;
      server->pause_changed.notify_all();
      server->pause_changed.wait(
          lock, [server] { return server->pause_begin == FaultyImageMount::Server::kNoPause; });
    }
  }
  if (begin >= server->size) return 0;
  size = static_cast<size_t>(std::min<uint64_t>(size, server->size - begin));
  // Deliver up to the first bad sector; a read starting on one fails.
  const auto bad = server->bad.lower_bound(begin / 512);
  if (bad != server->bad.end() && *bad * 512 < begin + size) {
    const uint64_t good = *bad * 512 > begin ? *bad * 512 - begin : 0;
    if (good == 0) {
      ++server->failed_reads;
      return -EIO;
    }
    size = static_cast<size_t>(good);
  }
  const ssize_t n = ::pread(server->image_fd, buffer, size, offset);
  return n < 0 ? -errno : static_cast<int>(n);
}

}  // namespace
#endif

std::unique_ptr<FaultyImageMount> FaultyImageMount::Start(const std::string& image,
                                                          std::set<uint64_t> bad_sectors,
                                                          const std::string& mount_folder,
                                                          std::string* why) {
#ifndef VELMORA_HAVE_FUSE3
  *why = "built without libfuse3";
  return nullptr;
#else
  if (::access("/dev/fuse", R_OK | W_OK) != 0) {
    *why = "/dev/fuse is not usable";
    return nullptr;
  }
  std::unique_ptr<FaultyImageMount> mount(new FaultyImageMount);
  mount->folder_ = mount_folder;
  mount->server_ = std::make_unique<Server>();
  Server& server = *mount->server_;
  server.bad = std::move(bad_sectors);
  server.image_fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  if (server.image_fd < 0 || ::fstat(server.image_fd, &st) != 0) {
    *why = "cannot open " + image;
    return nullptr;
  }
  server.size = static_cast<uint64_t>(st.st_size);

  static fuse_operations operations = [] {
    fuse_operations ops{};
    ops.getattr = GetAttr;
    ops.readdir = ReadDir;
    ops.open = Open;
    ops.read = Read;
    return ops;
  }();
  char program[] = "velmora-faulty-image";
  char* argv[] = {program, nullptr};
  fuse_args args = FUSE_ARGS_INIT(1, argv);
  server.session = fuse_new(&args, &operations, sizeof operations, &server);
  fuse_opt_free_args(&args);
  if (!server.session) {
    *why = "fuse_new failed";
    return nullptr;
  }
  if (fuse_mount(server.session, mount_folder.c_str()) != 0) {
    fuse_destroy(server.session);
    server.session = nullptr;
    *why = "cannot mount FUSE at " + mount_folder;
    return nullptr;
  }
  fuse* session = server.session;
  server.loop = std::thread([session] { fuse_loop(session); });
  return mount;
#endif
}

FaultyImageMount::~FaultyImageMount() {
  if (!server_) return;
  Resume();  // a waiting read would keep the unmount waiting
#ifdef VELMORA_HAVE_FUSE3
  if (server_->session) {
    fuse_exit(server_->session);
    fuse_unmount(server_->session);  // ends the loop's wait for requests
    if (server_->loop.joinable()) server_->loop.join();
    fuse_destroy(server_->session);
  }
#endif
  if (server_->image_fd >= 0) ::close(server_->image_fd);
}

uint64_t FaultyImageMount::FailedReads() const {
  return server_ ? server_->failed_reads.load() : 0;
}

void FaultyImageMount::PauseReadsIn(uint64_t begin, uint64_t end) {
  std::lock_guard lock(server_->pause_mutex);
  server_->pause_begin = begin;
  server_->pause_end = end;
  server_->read_paused = false;
}

bool FaultyImageMount::WaitForPausedRead(int seconds) {
  std::unique_lock lock(server_->pause_mutex);
  return server_->pause_changed.wait_for(lock, std::chrono::seconds(seconds),
                                         [this] { return server_->read_paused; });
}

void FaultyImageMount::Resume() {
  std::lock_guard lock(server_->pause_mutex);
  server_->pause_begin = Server::kNoPause;
  server_->pause_end = Server::kNoPause;
  server_->pause_changed.notify_all();
}

}  // namespace velmora::testing
