#pragma once

#include <map>
#include <memory>
#include <string>

namespace velmora::platform {

// Name -> state of every whole disk (as ListWholeDiskNames picks them) and of its
// partitions; the state changes when a medium is swapped or a loop device re-attached.
std::map<std::string, std::string> SnapshotBlockDevices();

// True when a udev daemon runs, so that netlink events of the udev source arrive.
bool UdevDaemonRunning();

// Sleeps until a block-device event arrives (udev netlink), a timeout passes,
// or another thread calls Wake().
class BlockDeviceEventWaiter {
 public:
  // With `use_udev` false, or when the udev monitor cannot be set up, only timeouts
  // and wake-ups end a wait.
  explicit BlockDeviceEventWaiter(bool use_udev);
  ~BlockDeviceEventWaiter();
  BlockDeviceEventWaiter(const BlockDeviceEventWaiter&) = delete;
  BlockDeviceEventWaiter& operator=(const BlockDeviceEventWaiter&) = delete;

  bool UsesUdev() const;
  bool Valid() const;
  // True when a device event arrived (and was consumed); false on timeout or wake-up.
  bool Wait(int timeout_ms);
  void Wake();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace velmora::platform
