#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/cancel_token.h"
#include "app/message_text.h"
#include "app/scan_source.h"
#include "app/workflow_observer.h"
#include "engine/scan_record.h"

namespace velmora::app {

// One per-extension choice of the file-type page.
struct TypeOption {
  std::string name;        // control name, "OptJPG"
  std::string group;       // "FileTypePhoto", ... "FileTypeOther"
  std::string extensions;  // "jpg|jpeg"
  std::string text;        // "JPG/JPEG (.jpg .jpeg)"
};

// The choice for extensions no category names; its pseudo-extension asks the
// store for the others category.
inline constexpr const char* kOtherOption = "OptOtherFileItem";

// Every option, made from the category lists: one per extension after the
// grouping merges (jpg|jpeg, tif|tiff, ...), in list order, then kOtherOption.
const std::vector<TypeOption>& TypeOptions();
const TypeOption* FindOption(const std::string& name);

// The ticked type choices: extension -> option name. All start ticked.
class TypeChoices {
 public:
  TypeChoices();
  void SetOption(const std::string& option, bool ticked);
  // Ticks or unticks every option of a group ("FileTypePhoto", ...).
  void SetGroup(const std::string& group, bool ticked);
  bool IsTicked(const std::string& option) const;
  const std::map<std::string, std::string>& Map() const { return map_; }
  // "*.a|*.b..." in map order; with nothing ticked, the five category lists.
  std::string Filter() const;

 private:
  std::map<std::string, std::string> map_;
};

// Lists the files of the chosen types from every source in order, appending to
// `results`. A cancel keeps what was listed so far.
RunResult SearchSources(const std::vector<ScanSource*>& sources, const std::string& filter,
                        const TextTable& messages, ScanRecordList* results,
                        WorkflowObserver& observer, CancelToken& cancel);

// Lower-case extension of a name with the grouping merges ("jpeg" -> "jpg",
// "docx" -> "doc", ...); "unknow" for a name without one.
std::string GroupExtension(std::string_view name);
using ExtensionGroups = std::map<std::string, ScanRecordList>;
ExtensionGroups GroupByExtension(const ScanRecordList& results);

// A "filetype" child of a category node.
struct TypeNode {
  std::string extension;
  std::string option;
  std::string text;  // "JPG/JPEG (12)", "XYZ Files (3)"
  const ScanRecordList* records = nullptr;
};
struct CategoryNode {
  std::string name;  // "NodePhoto", ... "NodeOther"
  std::string text;
  std::vector<TypeNode> children;
};
// The six category nodes with the groups under them. A group no option names
// goes under the others node, and only while kOtherOption is ticked.
std::vector<CategoryNode> BuildTypeTree(const ExtensionGroups& groups, const TypeChoices& choices,
                                        const TextTable& messages);

enum class TickState { kNone, kSome, kAll };

// The files the user ticked, kept across changes of the shown node. Keyed by
// (record index, drive tag x 65536 + low 16 bits of the source kind): records
// of different logs and sources never collide.
class TickedSet {
 public:
  using Key = std::pair<uint32_t, uint32_t>;
  static Key KeyOf(const ScanRecord& record);

  // False when nothing changed (already ticked / not ticked).
  bool Tick(const ScanRecord& record);
  bool Untick(const ScanRecord& record);
  void TickAll(const ScanRecordList& records);
  void UntickAll(const ScanRecordList& records);
  bool Contains(const ScanRecord& record) const;
  // Whether none, some or all of `records` are ticked (the box over a list).
  TickState StateOf(const ScanRecordList& records) const;
  void Clear() { ticked_.clear(); }
  size_t Count() const { return ticked_.size(); }
  uint64_t TotalBytes() const;
  // The ticked records in key order: the order recovery visits them.
  ScanRecordList Records() const;

 private:
  std::map<Key, ScanRecord> ticked_;
};

struct SelectionSummary {
  bool recover_enabled = false;
  size_t count = 0;
  uint64_t bytes = 0;
  std::string text;
};
SelectionSummary Summarize(const TickedSet& ticked, const TextTable& messages);

// The columns of the result list, in order.
// kEntry (live, deleted, unknown) is shown while existing files are listed.
enum class FileColumn { kCheck, kName, kSize, kModified, kCreated, kPath, kType, kEntry };
// "2014-5-3 14:07:09" of a FILETIME taken as UTC; "    ----    " for 0.
std::string FileTimeText(uint64_t filetime);
// The text a record shows in `column` (empty for the check column).
std::string ColumnText(const ScanRecord& record, FileColumn column);
// Ascending order of two rows: folders before files and then by size in the
// size column, by time in the time columns, else by text without regard to case.
bool RowLess(const ScanRecord& a, const ScanRecord& b, FileColumn column);
// The direction of a column's first click: names and types go up, sizes and
// times go down (the largest and newest first).
bool FirstSortAscending(FileColumn column);

}  // namespace velmora::app
