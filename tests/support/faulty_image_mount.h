#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>

namespace velmora::testing {

// Serves an image as the one file "disk.img" of a FUSE mount whose reads fail with
// EIO wherever they touch one of the chosen 512-byte sectors, as a failing disk does.
// Reads bypass the page cache, so every failure reaches the reader. The mount is
// taken down in the destructor, also when the test fails.
class FaultyImageMount {
 public:
  // Null with `why` set when FUSE is unavailable (not built in, no /dev/fuse, no rights).
  static std::unique_ptr<FaultyImageMount> Start(const std::string& image,
                                                 std::set<uint64_t> bad_sectors,
                                                 const std::string& mount_folder, std::string* why);
  ~FaultyImageMount();
  FaultyImageMount(const FaultyImageMount&) = delete;
  FaultyImageMount& operator=(const FaultyImageMount&) = delete;

  std::string FilePath() const { return folder_ + "/disk.img"; }
  // Reads that were answered with EIO so far.
  uint64_t FailedReads() const;
  // Reads starting in [begin, end) wait until Resume(), so that a copy can be stopped at a
  // known point instead of racing a slow medium. Reads elsewhere (a look at the last sector
  // before the copy) go on.
  void PauseReadsIn(uint64_t begin, uint64_t end);
  // True once a read waits at the pause; false when none came within `seconds`.
  bool WaitForPausedRead(int seconds);
  void Resume();

  struct Server;

 private:
  FaultyImageMount() = default;
  std::string folder_;
  std::unique_ptr<Server> server_;
};

}  // namespace velmora::testing
