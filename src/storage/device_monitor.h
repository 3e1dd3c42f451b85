#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velmora {

struct DeviceChange {
  enum class Kind { kArrival, kRemoval };
  Kind kind = Kind::kArrival;
  std::string device;  // block-device name: "sdb", "sdb1", "loop3"
};

// Lists what differs between two snapshots: names gone or changed are removals,
// names new or changed are arrivals (a changed device is reported as both).
std::vector<DeviceChange> DiffDeviceSnapshots(const std::map<std::string, std::string>& before,
                                              const std::map<std::string, std::string>& after);

// Watches disks and partitions arriving and leaving and calls back on its own thread.
// Uses udev netlink events when a udev daemon runs, otherwise it polls /sys/block.
// A window refreshes its disk list a few seconds after the last call.
class DeviceMonitor {
 public:
  using Callback = std::function<void(const DeviceChange&)>;
  enum class Backend { kAuto, kUdev, kPolling };

  explicit DeviceMonitor(Callback callback, Backend backend = Backend::kAuto,
                         std::chrono::milliseconds poll_interval = std::chrono::milliseconds(1000));
  ~DeviceMonitor();
  DeviceMonitor(const DeviceMonitor&) = delete;
  DeviceMonitor& operator=(const DeviceMonitor&) = delete;

  // Takes the first snapshot and starts the watching thread; false when it cannot.
  bool Start();
  void Stop();
  bool Running() const { return thread_.joinable(); }
  // The backend in use after Start: kUdev or kPolling.
  Backend ActiveBackend() const { return active_; }

 private:
  void Run();

  Callback callback_;
  Backend requested_;
  Backend active_ = Backend::kPolling;
  std::chrono::milliseconds poll_interval_;
  std::atomic<bool> stop_{false};
  struct Waiter;
  std::unique_ptr<Waiter> waiter_;
  std::map<std::string, std::string> snapshot_;
  std::thread thread_;
};

}  // namespace velmora
