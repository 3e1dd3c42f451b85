#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// One metadata sector the deep-scan pass handed to a file-system engine.
struct PassTrailEntry {
  enum Kind : uint8_t { kNtfsRecord = 1, kFatDirectoryStart = 2, kFatDirectorySector = 3 };
  uint64_t sector = 0;  // absolute on the source
  uint32_t bytes = 0;   // what the engine was given (an NTFS record's size; a sector for FAT)
  Kind kind = kNtfsRecord;

  bool operator==(const PassTrailEntry&) const = default;
};

// The metadata sectors of a pass, kept in the scan folder beside the saved position. The
// file-system engines build their results in memory from these sectors alone, so a resumed
// scan hands them the same sectors again, read where they lie, instead of reading everything
// before the saved position a second time.
//
// The file is a run of 16-byte entries (sector, bytes, kind; little-endian); each saved
// position appends what was noted since and a checkpoint entry holding the position.
class PassTrail {
 public:
  static constexpr const char* kFileName = "Pass_Trail";

  // A fresh, empty trail in `folder`.
  void Start(const std::string& folder);
  void Note(const PassTrailEntry& entry) { pending_.push_back(entry); }
  // Appends what was noted and a checkpoint at `position` (absolute sector) with the number
  // of carved records logged by then; `finished` marks the end of a pass that read everything.
  // A trail that could not be written takes no further checkpoints.
  bool Checkpoint(uint64_t position, uint32_t carved_records, bool finished = false);
  // The carved records logged at the last checkpoint at `position`, and whether the pass
  // finished there, without changing the trail; false when it has none there.
  static bool RecordsAt(const std::string& folder, uint64_t position, uint32_t* carved_records,
                        bool* finished = nullptr);
  // The entries before the last checkpoint at `position`, each below it and below
  // `source_end`; the file is cut back to that checkpoint and noting goes on from there.
  // False when there is no such checkpoint or the file does not check out: the trail is
  // then emptied, to be rebuilt from what a walk of the part before `position` notes.
  bool Resume(const std::string& folder, uint64_t position, uint64_t source_end,
              std::vector<PassTrailEntry>* entries);

 private:
  std::string path_;
  std::vector<PassTrailEntry> pending_;
  bool broken_ = false;
};

}  // namespace velmora
