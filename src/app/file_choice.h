#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "engine/overwrite_estimate.h"
#include "engine/scan_log_store.h"
#include "engine/scan_record.h"
#include "storage/text_codec.h"

namespace velmora::app {

// Identifier of a record within one scan result: stable across reopening the
// result, so a listing's ids serve a later recovery.
uint64_t RecordId(const ScanRecord& record);

// ISO 8601 UTC text of a FILETIME ("2024-06-01T10:00:00Z"), or "" for 0.
std::string FiletimeToIso(uint64_t filetime);

// FAT keeps wall-clock time with no zone, NTFS keeps UTC; a carved file has no times.
// A record's times are FILETIMEs either way: FAT ones read as if they were UTC.
enum class RecordTimeZone { kNone, kLocal, kUtc };
RecordTimeZone TimeZoneOf(const ScanRecord& record);
// "local", "utc", or "" for none.
const char* TimeZoneName(RecordTimeZone zone);
// A time of `record` as ISO 8601: with "Z" for UTC, without for a FAT volume's local
// time ("2024-06-01T10:00:00"); "" for 0.
std::string RecordTimeText(const ScanRecord& record, uint64_t filetime);

// How much of a file live files have taken since it was deleted.
// kBeyondEnd: some of its data lies past the end of a source cut shorter than its volume.
enum class FileState { kUnknown, kIntact, kPartly, kOverwritten, kBeyondEnd };
struct StateOfFile {
  FileState state = FileState::kUnknown;
  OverwriteEstimate estimate;
  // "intact", "partly overwritten NN%", "overwritten", "NN% beyond source end",
  // "beyond source end", or "" when unknown.
  std::string Text() const;
};
StateOfFile EstimateState(IFileRecoveryParse* engine, const ScanRecord& record);

// One found file with what choosing and showing it needs.
struct FoundFile {
  ScanRecord record;
  uint64_t id = 0;
  std::string folder;       // folder in the volume, without leading or trailing '/'
  std::string volume_path;  // the folder as the engine gives it
  std::string name;
  StateOfFile state;
  // Times the record has no room for (NTFS: MFT-changed and the $FILE_NAME set).
  std::optional<RecordTimesEntry> extra_times;
  // folder/name (just the name at the top).
  std::string Path() const { return folder.empty() ? name : folder + "/" + name; }
};
// The records with their folders and states, in the engine's order.
std::vector<FoundFile> DescribeFiles(IFileRecoveryParse* engine, const ScanRecordList& records);

// Ids and ranges of ids as given ("3,7,10-20"), kept as ranges so that a wide range costs
// no more than a narrow one.
class IdSet {
 public:
  using Range = std::pair<uint64_t, uint64_t>;  // first and last, both included

  void Add(uint64_t first, uint64_t last);
  bool Contains(uint64_t id) const;
  bool empty() const { return ranges_.empty(); }
  // How many ids; UINT64_MAX when there are more.
  uint64_t Count() const;
  const std::vector<Range>& Ranges() const { return ranges_; }
  // The ids of the set that `known` (sorted, no repeats) does not hold, as ranges.
  std::vector<Range> Missing(const std::vector<uint64_t>& known) const;

 private:
  std::vector<Range> ranges_;  // sorted, neither overlapping nor touching
};

// "3, 10-20, 25" (at most `limit` ranges, then ", ...").
std::string RangesText(const std::vector<IdSet::Range>& ranges, size_t limit);

// Which files a command chooses; every given condition must hold.
struct FileChoice {
  std::vector<std::string> names;    // globs, against the name, or the path when they hold '/'
  std::vector<std::string> folders;  // a folder and everything below it
  std::optional<uint64_t> min_size;
  std::optional<uint64_t> max_size;
  std::optional<uint64_t> since;  // FILETIME, inclusive
  std::optional<uint64_t> until;  // FILETIME, inclusive
  IdSet ids;                      // empty: any
  std::set<FileState> states;     // empty: any

  bool Matches(const FoundFile& file) const;
  bool NeedsState() const { return !states.empty(); }
};

// Option values; each returns false with the reason in `error`.
// "10k", "5M", "1G", "123" (bytes; k/M/G/T are powers of 1024).
bool ParseSize(std::string_view text, uint64_t* bytes, std::string* error);
// "YYYY-MM-DD[ HH:MM[:SS]]" (or 'T' between), UTC. `end` makes the value
// reach the end of what it names: a day up to its last tick, a minute to its last second.
bool ParseTime(std::string_view text, bool end, uint64_t* filetime, std::string* error);
// "3,7,10-20"; adds to `ids`.
bool ParseIdList(std::string_view text, IdSet* ids, std::string* error);
// "intact", "overwritten", "partly" or "beyond-end".
bool ParseState(std::string_view text, FileState* state, std::string* error);

// Orders of a listing.
enum class FileOrder { kFound, kName, kPath, kSize, kModified };
bool ParseOrder(std::string_view text, FileOrder* order, std::string* error);
// Names and paths go up (without regard to case); sizes and times go down,
// the largest and newest first, as the window's first click on a column does.
void SortFiles(std::vector<FoundFile>* files, FileOrder order);

// The folder tree of `files`: each folder with the number of files in it and below it.
struct FolderCount {
  std::string path;  // "" for the top
  int depth = 0;
  uint64_t files = 0;  // in it and below
};
std::vector<FolderCount> FolderTree(const std::vector<FoundFile>& files);

// Control characters escaped, as every name and path shown is (storage/text_codec.h).
using velmora::EscapeControl;

}  // namespace velmora::app
