#include "storage/platform_device_events.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>

#ifdef VELMORA_HAVE_UDEV
#include <libudev.h>
#endif

#include "storage/platform_device.h"
#include "storage/platform_disks.h"

namespace velmora::platform {

struct BlockDeviceEventWaiter::State {
  int wake_fd = -1;
#ifdef VELMORA_HAVE_UDEV
  udev* context = nullptr;
  udev_monitor* monitor = nullptr;
#endif
};

std::map<std::string, std::string> SnapshotBlockDevices() {
  std::map<std::string, std::string> snapshot;
  for (const auto& disk : ListWholeDisks(/*read_geometry=*/false)) {
    snapshot[disk.name] =
        disk.device_id + " " + std::to_string(disk.size_bytes) + " " + disk.backing_file;
    for (const auto& part : disk.partitions) {
      snapshot[part.name] = part.device_id + " " + std::to_string(part.start_512) + " " +
                            std::to_string(part.count_512);
    }
  }
  return snapshot;
}

bool UdevDaemonRunning() { return ::access("/run/udev/control", F_OK) == 0; }

BlockDeviceEventWaiter::BlockDeviceEventWaiter(bool use_udev) : state_(new State) {
  state_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
#ifdef VELMORA_HAVE_UDEV
  if (use_udev) {
    state_->context = udev_new();
    if (state_->context) {
      state_->monitor = udev_monitor_new_from_netlink(state_->context, "udev");
      if (state_->monitor &&
          (udev_monitor_filter_add_match_subsystem_devtype(state_->monitor, "block", nullptr) < 0 ||
           udev_monitor_enable_receiving(state_->monitor) < 0)) {
        udev_monitor_unref(state_->monitor);
        state_->monitor = nullptr;
      }
    }
  }
#endif
}

BlockDeviceEventWaiter::~BlockDeviceEventWaiter() {
#ifdef VELMORA_HAVE_UDEV
  if (state_->monitor) udev_monitor_unref(state_->monitor);
  if (state_->context) udev_unref(state_->context);
#endif
  if (state_->wake_fd >= 0) ::close(state_->wake_fd);
}

bool BlockDeviceEventWaiter::UsesUdev() const {
#ifdef VELMORA_HAVE_UDEV
  return state_->monitor != nullptr;
#else
  return false;
#endif
}

bool BlockDeviceEventWaiter::Valid() const { return state_->wake_fd >= 0; }

bool BlockDeviceEventWaiter::Wait(int timeout_ms) {
  pollfd fds[2] = {{state_->wake_fd, POLLIN, 0}, {-1, POLLIN, 0}};
  nfds_t count = 1;
#ifdef VELMORA_HAVE_UDEV
  if (state_->monitor) {
    fds[1].fd = udev_monitor_get_fd(state_->monitor);
    count = 2;
  }
#endif
  const int ready = ::poll(fds, count, timeout_ms);
  if (ready <= 0) return false;
  if (fds[0].revents & POLLIN) {
    uint64_t value = 0;
    [[maybe_unused]] const ssize_t n = ::read(state_->wake_fd, &value, sizeof value);
    return false;
  }
  bool event = false;
#ifdef VELMORA_HAVE_UDEV
  if (count == 2 && (fds[1].revents & POLLIN)) {
    while (udev_device* device = udev_monitor_receive_device(state_->monitor)) {
      udev_device_unref(device);
      event = true;
    }
  }
#endif
  return event;
}

void BlockDeviceEventWaiter::Wake() {
  const uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(state_->wake_fd, &one, sizeof one);
}

}  // namespace velmora::platform
