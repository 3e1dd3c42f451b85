#include "storage/device_monitor.h"

#include "storage/platform_device_events.h"

namespace velmora {

struct DeviceMonitor::Waiter {
  explicit Waiter(bool use_udev) : events(use_udev) {}
  platform::BlockDeviceEventWaiter events;
};

std::vector<DeviceChange> DiffDeviceSnapshots(const std::map<std::string, std::string>& before,
                                              const std::map<std::string, std::string>& after) {
  std::vector<DeviceChange> changes;
  for (const auto& [name, state] : before) {
    auto it = after.find(name);
    if (it == after.end() || it->second != state) {
      changes.push_back({DeviceChange::Kind::kRemoval, name});
    }
  }
  for (const auto& [name, state] : after) {
    auto it = before.find(name);
    if (it == before.end() || it->second != state) {
      changes.push_back({DeviceChange::Kind::kArrival, name});
    }
  }
  return changes;
}

DeviceMonitor::DeviceMonitor(Callback callback, Backend backend,
                             std::chrono::milliseconds poll_interval)
    : callback_(std::move(callback)), requested_(backend), poll_interval_(poll_interval) {}

DeviceMonitor::~DeviceMonitor() { Stop(); }

bool DeviceMonitor::Start() {
  if (Running()) return true;
  const bool want_udev = requested_ == Backend::kUdev ||
                         (requested_ == Backend::kAuto && platform::UdevDaemonRunning());
  waiter_ = std::make_unique<Waiter>(want_udev);
  if (!waiter_->events.Valid()) return false;
  if (requested_ == Backend::kUdev && !waiter_->events.UsesUdev()) return false;
  active_ = waiter_->events.UsesUdev() ? Backend::kUdev : Backend::kPolling;
  snapshot_ = platform::SnapshotBlockDevices();
  stop_ = false;
  thread_ = std::thread(&DeviceMonitor::Run, this);
  return true;
}

void DeviceMonitor::Stop() {
  if (!thread_.joinable()) return;
  stop_ = true;
  waiter_->events.Wake();
  thread_.join();
}

void DeviceMonitor::Run() {
  // With udev the snapshot is still compared after each event (and now and then
  // without one), so that "change" events such as a loop detach are understood too.
  const int timeout_ms = static_cast<int>(poll_interval_.count());
  while (!stop_) {
    waiter_->events.Wait(timeout_ms);
    if (stop_) break;
    auto now = platform::SnapshotBlockDevices();
    for (const auto& change : DiffDeviceSnapshots(snapshot_, now)) callback_(change);
    snapshot_ = std::move(now);
  }
}

}  // namespace velmora
