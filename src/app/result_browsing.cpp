#include "app/result_browsing.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "app/scan_workflow.h"
#include "app/size_text.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "storage/error_codes.h"

namespace velmora::app {

namespace {

struct CategoryGroup {
  const char* list;
  const char* group;
  const char* node;
  const char* text_key;
};

const CategoryGroup kCategories[] = {
    {kPhotoExtensions, "FileTypePhoto", "NodePhoto", msg::kNodePhoto},
    {kAudioExtensions, "FileTypeAudio", "NodeAudio", msg::kNodeAudio},
    {kVideoExtensions, "FileTypeVideo", "NodeVideo", msg::kNodeVideo},
    {kDocumentExtensions, "FileTypeOffice", "NodeOffice", msg::kNodeOffice},
    {kArchiveExtensions, "FileTypeZip", "NodeZip", msg::kNodeArchive},
};
constexpr const char* kOtherGroup = "FileTypeOther";
constexpr const char* kOtherNode = "NodeOther";

// Extensions shown as one group with another.
const std::pair<const char*, const char*> kMerges[] = {
    {"jpeg", "jpg"}, {"tiff", "tif"}, {"scr", "pcx"},  {"midi", "mid"}, {"m4p", "m4a"},
    {"docx", "doc"}, {"xlsx", "xls"}, {"pptx", "ppt"}, {"htm", "html"},
};

std::string Merged(const std::string& extension) {
  for (const auto& [from, to] : kMerges) {
    if (extension == from) return to;
  }
  return extension;
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::vector<std::string> Split(std::string_view text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) parts.emplace_back(text.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

std::vector<TypeOption> MakeOptions() {
  std::vector<TypeOption> options;
  std::map<std::string, size_t> by_root;
  for (const CategoryGroup& category : kCategories) {
    for (std::string pattern : Split(category.list, '|')) {
      if (pattern.rfind("*.", 0) == 0) pattern.erase(0, 2);
      const std::string root = Merged(pattern);
      const auto found = by_root.find(root);
      if (found == by_root.end()) {
        by_root[root] = options.size();
        options.push_back(TypeOption{"Opt" + Upper(root), category.group, pattern, {}});
      } else if (options[found->second].group == category.group &&
                 options[found->second].extensions.find(pattern) == std::string::npos) {
        options[found->second].extensions += "|" + pattern;
      }  // an extension of an earlier category stays there ("rm" is audio)
    }
  }
  for (TypeOption& option : options) {
    std::string names;
    std::string dotted;
    for (const std::string& extension : Split(option.extensions, '|')) {
      names += (names.empty() ? "" : "/") + Upper(extension);
      dotted += (dotted.empty() ? "." : " .") + extension;
    }
    option.text = names + " (" + dotted + ")";
  }
  options.push_back(TypeOption{kOtherOption, kOtherGroup, "other", "Other files"});
  return options;
}

const TypeOption* OptionForExtension(const std::string& extension) {
  for (const TypeOption& option : TypeOptions()) {
    if (option.name == kOtherOption) continue;
    const auto extensions = Split(option.extensions, '|');
    if (std::find(extensions.begin(), extensions.end(), extension) != extensions.end()) {
      return &option;
    }
  }
  return nullptr;
}

struct SearchContext {
  const TextTable* messages;
  WorkflowObserver* observer;
  CancelToken* cancel;
};

int OnListingProgress(void* context, int percent, int) {
  auto* search = static_cast<SearchContext*>(context);
  if (search->cancel->Checkpoint()) return kCancelledByUser;
  search->observer->OnSearchProgress(
      percent, FormatText("%s %d%%", {Lookup(*search->messages, msg::kSearchPercent),
                                      std::to_string(percent)}));
  return 0;
}

}  // namespace

const std::vector<TypeOption>& TypeOptions() {
  static const std::vector<TypeOption> options = MakeOptions();
  return options;
}

const TypeOption* FindOption(const std::string& name) {
  for (const TypeOption& option : TypeOptions()) {
    if (option.name == name) return &option;
  }
  return nullptr;
}

TypeChoices::TypeChoices() {
  for (const TypeOption& option : TypeOptions()) SetOption(option.name, true);
}

void TypeChoices::SetOption(const std::string& name, bool ticked) {
  const TypeOption* option = FindOption(name);
  if (option == nullptr) return;
  for (const std::string& extension : Split(option->extensions, '|')) {
    if (ticked) {
      map_[extension] = option->name;
    } else {
      map_.erase(extension);
    }
  }
}

void TypeChoices::SetGroup(const std::string& group, bool ticked) {
  for (const TypeOption& option : TypeOptions()) {
    if (option.group == group) SetOption(option.name, ticked);
  }
}

bool TypeChoices::IsTicked(const std::string& name) const {
  return std::any_of(map_.begin(), map_.end(),
                     [&](const auto& item) { return item.second == name; });
}

std::string TypeChoices::Filter() const {
  if (map_.empty()) {
    return FormatText("%s|%s|%s|%s|%s", {kPhotoExtensions, kAudioExtensions, kVideoExtensions,
                                         kDocumentExtensions, kArchiveExtensions});
  }
  std::string filter;
  for (const auto& [extension, option] : map_)
    filter += (filter.empty() ? "*." : "|*.") + extension;
  return filter;
}

RunResult SearchSources(const std::vector<ScanSource*>& sources, const std::string& filter,
                        const TextTable& messages, ScanRecordList* results,
                        WorkflowObserver& observer, CancelToken& cancel) {
  SearchContext context{&messages, &observer, &cancel};
  for (ScanSource* source : sources) {
    if (!source->engine) break;
    observer.OnStage(ScanWorkflow::StageText(messages, *source, msg::kSearchStageNumber,
                                             msg::kSearchStageImage, false));
    source->engine->SetRecoverCallback(&OnListingProgress, &context);
    source->engine->GetFilesByType(filter, results);
    source->engine->SetRecoverCallback(nullptr, nullptr);
    if (cancel.Cancelled()) return RunResult::kCancelled;
  }
  return RunResult::kFinished;
}

std::string GroupExtension(std::string_view name) {
  const std::string_view extension = ExtensionOf(name);
  if (extension.empty()) return "unknow";
  return Merged(AsciiLower(extension));
}

ExtensionGroups GroupByExtension(const ScanRecordList& results) {
  ExtensionGroups groups;
  for (const ScanRecord& record : results) {
    // A file whose content gave its category goes with the files of that content's type.
    const std::string content = ContentExtensionOf(record);
    groups[content.empty() ? GroupExtension(RecordName(record)) : GroupExtension("x." + content)]
        .push_back(record);
  }
  return groups;
}

std::vector<CategoryNode> BuildTypeTree(const ExtensionGroups& groups, const TypeChoices& choices,
                                        const TextTable& messages) {
  std::vector<CategoryNode> tree;
  for (const CategoryGroup& category : kCategories) {
    tree.push_back(CategoryNode{category.node, Lookup(messages, category.text_key), {}});
  }
  tree.push_back(CategoryNode{kOtherNode, Lookup(messages, msg::kNodeOthers), {}});
  for (const auto& [extension, records] : groups) {
    if (records.empty()) continue;
    const TypeOption* option = OptionForExtension(extension);
    TypeNode node{extension, {}, {}, &records};
    const std::string count = std::to_string(records.size());
    CategoryNode* parent = &tree.back();
    if (option == nullptr) {
      if (!choices.IsTicked(kOtherOption)) continue;
      node.option = kOtherOption;
      std::string format = Lookup(messages, msg::kOtherGroupNode);
      if (format.empty()) format = "%s Files (%d)";
      node.text = FormatText(format, {Upper(extension), count});
    } else {
      node.option = option->name;
      // The option's text up to the blank before its "(".
      std::string label = option->text.substr(0, option->text.find('('));
      if (!label.empty() && label.size() < option->text.size()) label.pop_back();
      node.text = FormatText("%s (%d)", {label, count});
      for (size_t i = 0; i < std::size(kCategories); ++i) {
        if (option->group == kCategories[i].group) parent = &tree[i];
      }
    }
    parent->children.push_back(std::move(node));
  }
  return tree;
}

TickedSet::Key TickedSet::KeyOf(const ScanRecord& record) {
  const uint32_t source =
      static_cast<uint32_t>(record.drive_tag) * 65536u + (record.source_kind & 0xFFFFu);
  return {record.record_index, source};
}

bool TickedSet::Tick(const ScanRecord& record) {
  return ticked_.emplace(KeyOf(record), record).second;
}

bool TickedSet::Untick(const ScanRecord& record) { return ticked_.erase(KeyOf(record)) != 0; }

void TickedSet::TickAll(const ScanRecordList& records) {
  for (const ScanRecord& record : records) Tick(record);
}

void TickedSet::UntickAll(const ScanRecordList& records) {
  for (const ScanRecord& record : records) Untick(record);
}

bool TickedSet::Contains(const ScanRecord& record) const {
  return ticked_.count(KeyOf(record)) != 0;
}

TickState TickedSet::StateOf(const ScanRecordList& records) const {
  const size_t ticked = static_cast<size_t>(std::count_if(
      records.begin(), records.end(), [this](const ScanRecord& r) { return Contains(r); }));
  if (ticked == 0) return TickState::kNone;
  return ticked == records.size() ? TickState::kAll : TickState::kSome;
}

uint64_t TickedSet::TotalBytes() const {
  uint64_t total = 0;
  for (const auto& [key, record] : ticked_) total += record.size;
  return total;
}

ScanRecordList TickedSet::Records() const {
  ScanRecordList records;
  records.reserve(ticked_.size());
  for (const auto& [key, record] : ticked_) records.push_back(record);
  return records;
}

SelectionSummary Summarize(const TickedSet& ticked, const TextTable& messages) {
  SelectionSummary summary;
  summary.count = ticked.Count();
  summary.bytes = ticked.TotalBytes();
  summary.recover_enabled = summary.count != 0;
  summary.text = summary.recover_enabled
                     ? FormatText(Lookup(messages, msg::kTickedSummary),
                                  {FormatSize(static_cast<int64_t>(summary.bytes)),
                                   std::to_string(summary.count)})
                     : Lookup(messages, msg::kNothingTicked);
  return summary;
}

std::string FileTimeText(uint64_t filetime) {
  if (filetime == 0) return "    ----    ";
  constexpr int64_t kTicksPerSecond = 10'000'000;
  constexpr int64_t kSecondsFrom1601To1970 = 11'644'473'600;
  const int64_t unix_seconds =
      static_cast<int64_t>(filetime / kTicksPerSecond) - kSecondsFrom1601To1970;
  // Civil date from days since 1970 (Howard Hinnant's algorithm); no time zone applies.
  int64_t days = unix_seconds >= 0 ? unix_seconds / 86400 : (unix_seconds - 86399) / 86400;
  const int64_t second_of_day = unix_seconds - days * 86400;
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t day_of_era = days - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);
  char text[64];
  std::snprintf(text, sizeof(text), "%lld-%lld-%lld %02lld:%02lld:%02lld",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(second_of_day / 3600),
                static_cast<long long>(second_of_day / 60 % 60),
                static_cast<long long>(second_of_day % 60));
  return text;
}

std::string ColumnText(const ScanRecord& record, FileColumn column) {
  const std::string name(RecordName(record));
  switch (column) {
    case FileColumn::kName: return name;
    case FileColumn::kSize:
      return record.is_directory ? std::string() : FormatSize(static_cast<int64_t>(record.size));
    case FileColumn::kModified: return FileTimeText(record.last_write);
    case FileColumn::kCreated: return FileTimeText(record.created);
    case FileColumn::kPath: return "    ----    ";
    case FileColumn::kType: {
      if (record.is_directory) return "folder";
      const std::string_view extension = ExtensionOf(name);
      return extension.empty() ? "file" : std::string(extension);
    }
    case FileColumn::kEntry: return EntryStateText(EntryStateOf(record));
    case FileColumn::kCheck: break;
  }
  return std::string();
}

bool RowLess(const ScanRecord& a, const ScanRecord& b, FileColumn column) {
  switch (column) {
    case FileColumn::kSize:
      if ((a.is_directory != 0) != (b.is_directory != 0)) return a.is_directory != 0;
      return static_cast<int64_t>(a.size) < static_cast<int64_t>(b.size);
    // Times as numbers: their texts ("2014-10-1" before "2014-9-1") would misorder.
    case FileColumn::kModified: return a.last_write < b.last_write;
    case FileColumn::kCreated: return a.created < b.created;
    default: return AsciiLower(ColumnText(a, column)) < AsciiLower(ColumnText(b, column));
  }
}

bool FirstSortAscending(FileColumn column) {
  return column != FileColumn::kSize && column != FileColumn::kModified &&
         column != FileColumn::kCreated;
}

}  // namespace velmora::app
