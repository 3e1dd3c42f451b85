#pragma once

#include <condition_variable>
#include <mutex>

namespace velmora::app {

// Shared by a face and one worker. The face may hold the worker at its next
// progress report while it asks the user whether to stop (Pause), then either
// Cancel or Resume; the worker calls Checkpoint at every report.
class CancelToken {
 public:
  void Pause() {
    std::lock_guard<std::mutex> lock(mutex_);
    paused_ = true;
  }
  void Resume() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      paused_ = false;
    }
    changed_.notify_all();
  }
  void Cancel() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancelled_ = true;
      paused_ = false;
    }
    changed_.notify_all();
  }
  bool Cancelled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
  }
  // Waits while paused; true when the work is to stop.
  bool Checkpoint() {
    std::unique_lock<std::mutex> lock(mutex_);
    ++holding_;
    changed_.wait(lock, [this] { return !paused_; });
    --holding_;
    return cancelled_;
  }
  // Whether a worker waits at a checkpoint now (it is held while paused).
  bool Holding() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return holding_ > 0 && paused_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool paused_ = false;
  bool cancelled_ = false;
  int holding_ = 0;
};

}  // namespace velmora::app
