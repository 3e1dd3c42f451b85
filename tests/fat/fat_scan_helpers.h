#pragma once

#include <map>
#include <memory>
#include <string>

#include "engine/record_text.h"
#include "engine/scan_record.h"
#include "fat/quick_fat_recovery.h"
#include "support/test_env.h"

namespace velmora::testing {

// A quick FAT scan of an image, logged into its own folder.
inline std::unique_ptr<CFastFatRecovery> ScanFatImage(const std::string& image,
                                                      const std::string& log_folder) {
  auto engine = std::make_unique<CFastFatRecovery>();
  if (engine->OpenImage(image, u'Z') != 0) return nullptr;
  if (engine->ScanInto(log_folder) != 0) return nullptr;
  return engine;
}

// Every record reachable from the root, by "folder/.../name" (GetFullPath + name).
inline std::map<std::string, ScanRecord> ListTree(CFastFatRecovery* engine) {
  std::map<std::string, ScanRecord> found;
  struct Level {
    ScanRecord record;
    bool root;
    int depth;
  };
  std::vector<Level> pending{{ScanRecord{}, true, 0}};
  for (size_t i = 0; i < pending.size() && i < 100000; ++i) {
    ScanRecordList children;
    const Level level = pending[i];
    engine->GetChildren(level.root ? nullptr : &level.record, level.depth, &children);
    for (const ScanRecord& child : children) {
      std::string folder;
      engine->GetFullPath(child, &folder);
      std::string key = folder + std::string(RecordName(child));
      if (child.is_directory) {
        key += "/";
        pending.push_back({child, false, level.depth + 1});
      }
      found.emplace(key, child);
    }
  }
  return found;
}

inline std::string Md5Of(const std::string& path) {
  std::string out;
  if (RunCommand("md5sum '" + path + "'", &out) != 0) return "";
  return out.substr(0, 32);
}

}  // namespace velmora::testing
