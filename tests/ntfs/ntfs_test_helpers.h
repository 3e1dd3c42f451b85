#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "engine/record_text.h"
#include "ntfs/quick_ntfs_recovery.h"
#include "support/test_env.h"

namespace velmora::testing {

// A file reached from the root through GetChildren, with its folder path.
struct ListedFile {
  ScanRecord record;
  std::string folder;  // "a/b/" style, empty in the root
  std::string Path() const { return folder + std::string(RecordName(record)); }
};

// Walks the rebuilt tree from the root; every file once per place it is listed.
inline std::vector<ListedFile> WalkTree(IFileRecoveryParse* engine) {
  std::vector<ListedFile> files;
  struct Level {
    ScanRecord directory;
    bool root;
    int depth;
    std::string folder;
  };
  std::vector<Level> stack{{ScanRecord{}, true, 0, ""}};
  while (!stack.empty()) {
    Level level = stack.back();
    stack.pop_back();
    ScanRecordList children;
    EXPECT_EQ(engine->GetChildren(level.root ? nullptr : &level.directory, level.depth, &children),
              0);
    for (const ScanRecord& child : children) {
      if (child.is_directory) {
        if (level.depth > 64) continue;  // a walk that deep means a loop in the tree
        stack.push_back(
            {child, false, level.depth + 1, level.folder + std::string(RecordName(child)) + "/"});
      } else {
        files.push_back({child, level.folder});
      }
    }
  }
  return files;
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline std::string Md5Of(const std::string& path) {
  std::string out;
  if (RunCommand("md5sum '" + path + "'", &out) != 0) return "";
  return out.substr(0, 32);
}

// Regular files and streams The Sleuth Kit lists as allocated, outside the metadata files:
// path (with ":stream") -> "inode-128-id".
inline std::map<std::string, std::string> SleuthKitAllocatedFiles(const std::string& image,
                                                                  uint64_t offset_sectors) {
  std::map<std::string, std::string> files;
  std::string text;
  if (RunCommand("fls -r -p -o " + std::to_string(offset_sectors) + " '" + image + "'", &text) !=
      0) {
    return files;
  }
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t tab = line.find('\t');
    if (tab == std::string::npos || line.rfind("r/r ", 0) != 0) continue;
    const std::string address = line.substr(4, line.find(':') - 4);
    const std::string path = line.substr(tab + 1);
    if (address.find("-128-") == std::string::npos || path.empty() || path[0] == '$') continue;
    files[path] = address;
  }
  return files;
}

// A record like the scan writes, for a file found by other means.
inline ScanRecord RecordForMftEntry(const CFastNtfsRecovery& engine, uint32_t number,
                                    const std::string& name) {
  ScanRecord record{};
  record.object_id = number;
  record.location = engine.Volume().MftRecordToSector(number);
  record.size = UINT64_MAX;  // up to the data's own size
  record.partition_start = engine.Volume().PartitionStart();
  record.cluster_size = static_cast<int32_t>(engine.Volume().Geometry().cluster_size);
  SetRecordName(&record, name);
  return record;
}

inline std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace velmora::testing
