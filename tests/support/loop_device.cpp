#include "support/loop_device.h"

#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "support/test_env.h"

namespace velmora::testing {

namespace {

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

}  // namespace

std::unique_ptr<LoopDevice> LoopDevice::Attach(const std::string& image, uint32_t sector_size,
                                               std::string* why) {
  if (::geteuid() != 0) {
    *why = "loop devices need root";
    return nullptr;
  }
  if (!ToolAvailable("losetup")) {
    *why = "losetup is not installed";
    return nullptr;
  }
  std::string output;
  const std::string command = "losetup --find --show --read-only --sector-size " +
                              std::to_string(sector_size) + " '" + image + "'";
  if (RunCommand(command, &output) != 0 || Trim(output).rfind("/dev/loop", 0) != 0) {
    *why = "losetup failed: " + Trim(output);
    return nullptr;
  }
  return std::unique_ptr<LoopDevice>(new LoopDevice(Trim(output)));
}

LoopDevice::~LoopDevice() { Detach(); }

std::string LoopDevice::Name() const { return path_.substr(path_.rfind('/') + 1); }

bool LoopDevice::AddPartitions() {
  const std::string first = "/sys/block/" + Name() + "/" + Name() + "p1";
  if (::access(first.c_str(), F_OK) != 0) RunCommand("partx --add '" + path_ + "'");
  return ::access(first.c_str(), F_OK) == 0;
}

void LoopDevice::Detach() {
  if (path_.empty()) return;
  RunCommand("partx --delete '" + path_ + "' >/dev/null 2>&1");
  RunCommand("losetup --detach '" + path_ + "'");
  path_.clear();
}

ScopedMount::ScopedMount(const std::string& device, const std::string& folder,
                         const std::string& options)
    : folder_(folder) {
  std::string output;
  const std::string type = device == "tmpfs" ? " -t tmpfs" : "";
  mounted_ = RunCommand("mount" + type + " -o '" + options + "' '" + device + "' '" + folder + "'",
                        &output) == 0;
  if (!mounted_) error_ = Trim(output);
}

ScopedMount::~ScopedMount() {
  if (mounted_) RunCommand("umount '" + folder_ + "'");
}

bool CreateSparseImage(const std::string& path, uint64_t bytes) {
  if (::truncate(path.c_str(), 0) != 0) {
    std::ofstream create(path, std::ios::binary);
    if (!create) return false;
  }
  return ::truncate(path.c_str(), static_cast<off_t>(bytes)) == 0;
}

bool WriteMbr(const std::string& path, const std::vector<MbrPartitionSpec>& partitions) {
  uint8_t sector[512] = {};
  for (size_t i = 0; i < partitions.size() && i < 4; ++i) {
    uint8_t* e = sector + 446 + 16 * i;
    e[4] = partitions[i].type;
    for (int b = 0; b < 4; ++b) {
      e[8 + b] = static_cast<uint8_t>(partitions[i].start >> (8 * b));
      e[12 + b] = static_cast<uint8_t>(partitions[i].count >> (8 * b));
    }
  }
  sector[510] = 0x55;
  sector[511] = 0xAA;
  std::fstream file(path, std::ios::binary | std::ios::in | std::ios::out);
  if (!file) return false;
  file.write(reinterpret_cast<const char*>(sector), sizeof sector);
  return static_cast<bool>(file);
}

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(file), {});
}

}  // namespace velmora::testing
