#pragma once

#include <fstream>
#include <map>
#include <random>
#include <string>

#include "support/test_env.h"

namespace velmora::testing {

// Builds a FAT image with mkfs.fat and mtools, step by step, remembering what
// each file held.
class FatImageScript {
 public:
  FatImageScript(const std::string& folder, const std::string& size,
                 const std::string& mkfs_options)
      : folder_(folder), image_(folder + "/volume.img") {
    ok_ = Run("truncate -s " + size + " '" + image_ + "' && mkfs.fat " + mkfs_options + " '" +
              image_ + "' >/dev/null");
  }

  bool Ok() const { return ok_; }
  const std::string& Image() const { return image_; }

  // Deterministic bytes that begin with `head`.
  static std::string Bytes(size_t size, uint32_t seed, const std::string& head = "") {
    std::mt19937 random(seed);
    std::string data = head.substr(0, size);
    while (data.size() < size) data.push_back(static_cast<char>(random() & 0xFF));
    return data;
  }

  bool Put(const std::string& path, const std::string& content) {
    const std::string local = folder_ + "/content-" + std::to_string(counter_++);
    std::ofstream(local, std::ios::binary).write(content.data(), static_cast<long>(content.size()));
    contents_[path] = content;
    return Run("mcopy -i '" + image_ + "' '" + local + "' '::" + path + "'");
  }
  bool Mkdir(const std::string& path) { return Run("mmd -i '" + image_ + "' '::" + path + "'"); }
  bool Delete(const std::string& path) { return Run("mdel -i '" + image_ + "' '::" + path + "'"); }
  bool DeleteTree(const std::string& path) {
    return Run("mdeltree -i '" + image_ + "' '::" + path + "'");
  }
  const std::string& ContentOf(const std::string& path) { return contents_[path]; }

  // Overwrites the bytes of the image where `marker` first occurs.
  bool Overwrite(const std::string& marker, const std::string& replacement) {
    std::fstream file(image_, std::ios::in | std::ios::out | std::ios::binary);
    std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t at = data.find(marker);
    if (at == std::string::npos) return false;
    file.clear();
    file.seekp(static_cast<std::streamoff>(at));
    file.write(replacement.data(), static_cast<long>(replacement.size()));
    return static_cast<bool>(file);
  }

 private:
  bool Run(const std::string& command) {
    std::string output;
    const bool done = RunCommand("MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 " + command, &output) == 0;
    if (!done) log_ += command + ": " + output + "\n";
    return done;
  }

  std::string folder_;
  std::string image_;
  bool ok_ = false;
  int counter_ = 0;
  std::map<std::string, std::string> contents_;
  std::string log_;
};

}  // namespace velmora::testing
