#include "app/file_choice.h"

#include <fnmatch.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>

#include "engine/record_text.h"

namespace velmora::app {

namespace {

constexpr uint64_t kTicksPerSecond = 10000000ULL;
constexpr uint64_t kEpochDifference = 11644473600ULL;  // 1601-01-01 to 1970-01-01, seconds

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string TrimSlashes(std::string_view text) {
  while (!text.empty() && text.front() == '/') text.remove_prefix(1);
  while (!text.empty() && text.back() == '/') text.remove_suffix(1);
  return std::string(text);
}

bool ParseNumber(std::string_view text, uint64_t* value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

uint64_t RecordId(const ScanRecord& record) {
  if (record.source_kind <= kSourceFatQuick) return record.record_index;
  return static_cast<uint64_t>(record.source_kind) * 1000000000ull + record.record_index;
}

std::string FiletimeToIso(uint64_t filetime) {
  if (filetime == 0) return {};
  const uint64_t seconds = filetime / kTicksPerSecond;
  if (seconds < kEpochDifference) return {};
  const std::time_t unix_time = static_cast<std::time_t>(seconds - kEpochDifference);
  std::tm utc{};
  if (::gmtime_r(&unix_time, &utc) == nullptr) return {};
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

RecordTimeZone TimeZoneOf(const ScanRecord& record) {
  switch (record.source_kind.get()) {
    case kSourceFatQuick:
    case kSourceFatDeep: return RecordTimeZone::kLocal;
    case kSourceNtfsQuick:
    case kSourceNtfsDeep: return RecordTimeZone::kUtc;
    default: return RecordTimeZone::kNone;
  }
}

const char* TimeZoneName(RecordTimeZone zone) {
  switch (zone) {
    case RecordTimeZone::kLocal: return "local";
    case RecordTimeZone::kUtc: return "utc";
    case RecordTimeZone::kNone: break;
  }
  return "";
}

std::string RecordTimeText(const ScanRecord& record, uint64_t filetime) {
  std::string text = FiletimeToIso(filetime);
  if (!text.empty() && TimeZoneOf(record) == RecordTimeZone::kLocal) text.pop_back();
  return text;
}

std::string StateOfFile::Text() const {
  return state == FileState::kUnknown ? std::string() : OverwriteStateText(estimate);
}

StateOfFile EstimateState(IFileRecoveryParse* engine, const ScanRecord& record) {
  StateOfFile out;
  auto* estimator = dynamic_cast<IOverwriteEstimator*>(engine);
  if (estimator == nullptr || !estimator->EstimateOverwrite(record, &out.estimate)) return out;
  // An existing file's clusters are its own: none of its space went to another file.
  if (EntryStateOf(record) == EntryState::kExisting) out.estimate.in_use = 0;
  const int percent = OverwrittenPercent(out.estimate);
  out.state = out.estimate.beyond_source != 0 ? FileState::kBeyondEnd
              : percent == 0                  ? FileState::kIntact
              : percent == 100                ? FileState::kOverwritten
                                              : FileState::kPartly;
  return out;
}

std::vector<FoundFile> DescribeFiles(IFileRecoveryParse* engine, const ScanRecordList& records) {
  std::vector<FoundFile> files;
  files.reserve(records.size());
  std::string path;
  auto* extra = dynamic_cast<IRecordTimes*>(engine);
  for (const ScanRecord& record : records) {
    FoundFile file;
    file.record = record;
    file.id = RecordId(record);
    file.name = std::string(RecordName(record));
    path.clear();
    engine->GetFullPath(record, &path);
    file.folder = TrimSlashes(path);
    file.volume_path = path;
    file.state = EstimateState(engine, record);
    RecordTimesEntry times;
    if (extra != nullptr && extra->ExtraTimesOf(record, &times)) file.extra_times = times;
    files.push_back(std::move(file));
  }
  return files;
}

bool FileChoice::Matches(const FoundFile& file) const {
  if (!ids.empty() && !ids.Contains(file.id)) return false;
  const uint64_t size = file.record.size;
  if (min_size && size < *min_size) return false;
  if (max_size && size > *max_size) return false;
  const uint64_t modified = file.record.last_write;
  // A file without a known time cannot be said to lie within a span.
  if (since && (modified == 0 || modified < *since)) return false;
  if (until && (modified == 0 || modified > *until)) return false;
  if (!states.empty() && states.count(file.state.state) == 0) return false;
  if (!folders.empty()) {
    const bool inside = std::any_of(folders.begin(), folders.end(), [&](const std::string& f) {
      const std::string folder = TrimSlashes(f);
      return folder.empty() || file.folder == folder ||
             (file.folder.size() > folder.size() && file.folder.starts_with(folder) &&
              file.folder[folder.size()] == '/');
    });
    if (!inside) return false;
  }
  if (!names.empty()) {
    const bool named = std::any_of(names.begin(), names.end(), [&](const std::string& glob) {
      if (glob.find('/') == std::string::npos) {
        return ::fnmatch(glob.c_str(), file.name.c_str(), FNM_CASEFOLD) == 0;
      }
      const std::string pattern = glob.front() == '/' ? glob.substr(1) : glob;
      return ::fnmatch(pattern.c_str(), file.Path().c_str(), FNM_CASEFOLD) == 0;
    });
    if (!named) return false;
  }
  return true;
}

bool ParseSize(std::string_view text, uint64_t* bytes, std::string* error) {
  size_t digits = 0;
  while (digits < text.size() && std::isdigit(static_cast<unsigned char>(text[digits]))) ++digits;
  uint64_t number = 0;
  std::string_view unit = text.substr(digits);
  // Units are powers of 1024: "10k" and "10KiB" alike. "10kB" or "10MB" would read as powers
  // of 1000 to many, so they are refused rather than guessed.
  const bool iec =
      unit.size() == 3 && (unit[1] == 'i' || unit[1] == 'I') && (unit[2] == 'B' || unit[2] == 'b');
  const bool decimal = unit.size() == 2 && (unit[1] == 'B' || unit[1] == 'b');
  int shift = -1;
  if (unit.empty())
    shift = 0;
  else if (unit.size() == 1 || iec) {
    switch (std::tolower(static_cast<unsigned char>(unit[0]))) {
      case 'k': shift = 10; break;
      case 'm': shift = 20; break;
      case 'g': shift = 30; break;
      case 't': shift = 40; break;
      default: break;
    }
  }
  if (!ParseNumber(text.substr(0, digits), &number) || shift < 0 ||
      (shift > 0 && number > (UINT64_MAX >> shift))) {
    *error =
        decimal
            ? "'" + std::string(text) + "' is ambiguous: sizes count in powers of 1024; write " +
                  std::string(text.substr(0, digits + 1)) + " or " +
                  std::string(text.substr(0, digits + 1)) + "iB"
            : "'" + std::string(text) +
                  "' is not a size (bytes, or with k, M, G or T, powers of 1024: 10k, 5M, 1GiB)";
    return false;
  }
  *bytes = number << shift;
  return true;
}

bool ParseTime(std::string_view text, bool end, uint64_t* filetime, std::string* error) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  char separator = 0;
  int used = 0;
  const std::string copy(text);
  const int fields = std::sscanf(copy.c_str(), "%4d-%2d-%2d%c%2d:%2d%n", &year, &month, &day,
                                 &separator, &hour, &minute, &used);
  bool has_time = false;
  bool has_seconds = false;
  bool ok = false;
  if (fields >= 3) {
    int date_length = 0;
    std::sscanf(copy.c_str(), "%*4d-%*2d-%*2d%n", &date_length);
    if (date_length == 10 && copy.size() == 10) {
      ok = true;
    } else if (fields == 6 && (separator == ' ' || separator == 'T') && used == 16) {
      has_time = true;
      if (copy.size() == 16) {
        ok = true;
      } else if (copy.size() == 19 && copy[16] == ':' &&
                 std::isdigit(static_cast<unsigned char>(copy[17])) &&
                 std::isdigit(static_cast<unsigned char>(copy[18]))) {
        second = (copy[17] - '0') * 10 + (copy[18] - '0');
        has_seconds = true;
        ok = true;
      }
    }
  }
  if (ok) {
    ok = year >= 1601 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 &&
         minute <= 59 && second <= 59 && hour >= 0 && minute >= 0;
  }
  std::tm utc{};
  if (ok) {
    utc.tm_year = year - 1900;
    utc.tm_mon = month - 1;
    utc.tm_mday = day;
    utc.tm_hour = hour;
    utc.tm_min = minute;
    utc.tm_sec = second;
    const std::time_t t = ::timegm(&utc);
    // timegm folds 31 February into March: a date must come back as written.
    std::tm back{};
    ok = ::gmtime_r(&t, &back) != nullptr && back.tm_mday == day && back.tm_mon == month - 1;
    if (ok) {
      const int64_t seconds = static_cast<int64_t>(t) + static_cast<int64_t>(kEpochDifference);
      uint64_t ticks = static_cast<uint64_t>(seconds) * kTicksPerSecond;
      if (end) {
        const uint64_t span = !has_time ? 86400 : !has_seconds ? 60 : 1;
        ticks += span * kTicksPerSecond - 1;
      }
      *filetime = ticks;
      return true;
    }
  }
  *error =
      "'" + copy + "' is not a time (YYYY-MM-DD, YYYY-MM-DD HH:MM or YYYY-MM-DD HH:MM:SS, UTC)";
  return false;
}

void IdSet::Add(uint64_t first, uint64_t last) {
  // Merged with every range it overlaps or touches.
  auto it = std::lower_bound(ranges_.begin(), ranges_.end(), first, [](const Range& r, uint64_t v) {
    return r.second != UINT64_MAX && r.second + 1 < v;
  });
  while (it != ranges_.end() && (last == UINT64_MAX || it->first <= last + 1)) {
    first = std::min(first, it->first);
    last = std::max(last, it->second);
    it = ranges_.erase(it);
  }
  ranges_.insert(it, {first, last});
}

bool IdSet::Contains(uint64_t id) const {
  const auto it = std::lower_bound(ranges_.begin(), ranges_.end(), id,
                                   [](const Range& r, uint64_t v) { return r.second < v; });
  return it != ranges_.end() && it->first <= id;
}

uint64_t IdSet::Count() const {
  uint64_t count = 0;
  for (const auto& [first, last] : ranges_) {
    const uint64_t width = last - first;
    if (width == UINT64_MAX || count > UINT64_MAX - width - 1) return UINT64_MAX;
    count += width + 1;
  }
  return count;
}

std::vector<IdSet::Range> IdSet::Missing(const std::vector<uint64_t>& known) const {
  std::vector<Range> missing;
  auto next = known.begin();
  for (const auto& [first, last] : ranges_) {
    next = std::lower_bound(next, known.end(), first);
    uint64_t from = first;
    bool open = true;  // ids from `from` on are still to be judged
    for (; next != known.end() && *next <= last; ++next) {
      if (*next > from) missing.push_back({from, *next - 1});
      if (*next == last) {
        open = false;
        break;
      }
      from = *next + 1;
    }
    if (open) missing.push_back({from, last});
  }
  return missing;
}

std::string RangesText(const std::vector<IdSet::Range>& ranges, size_t limit) {
  std::string text;
  for (size_t i = 0; i < ranges.size(); ++i) {
    if (i == limit) return text + ", ...";
    if (i > 0) text += ", ";
    text += std::to_string(ranges[i].first);
    if (ranges[i].second != ranges[i].first) text += "-" + std::to_string(ranges[i].second);
  }
  return text;
}

bool ParseIdList(std::string_view text, IdSet* ids, std::string* error) {
  const std::string whole(text);
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string_view::npos) comma = text.size();
    const std::string_view item = text.substr(start, comma - start);
    const size_t dash = item.find('-');
    uint64_t first = 0, last = 0;
    const bool ok = dash == std::string_view::npos
                        ? ParseNumber(item, &first) && (last = first, true)
                        : ParseNumber(item.substr(0, dash), &first) &&
                              ParseNumber(item.substr(dash + 1), &last) && first <= last;
    if (!ok) {
      *error = "'" + whole + "' is not a list of ids (such as 3,7,10-20)";
      return false;
    }
    ids->Add(first, last);
    start = comma + 1;
  }
  return true;
}

bool ParseState(std::string_view text, FileState* state, std::string* error) {
  const std::string value = Lower(text);
  if (value == "intact")
    *state = FileState::kIntact;
  else if (value == "overwritten")
    *state = FileState::kOverwritten;
  else if (value == "partly")
    *state = FileState::kPartly;
  else if (value == "beyond-end")
    *state = FileState::kBeyondEnd;
  else {
    *error = "'" + std::string(text) + "' is not a state (intact, partly, overwritten, beyond-end)";
    return false;
  }
  return true;
}

bool ParseOrder(std::string_view text, FileOrder* order, std::string* error) {
  if (text == "name")
    *order = FileOrder::kName;
  else if (text == "path")
    *order = FileOrder::kPath;
  else if (text == "size")
    *order = FileOrder::kSize;
  else if (text == "modified")
    *order = FileOrder::kModified;
  else {
    *error = "'" + std::string(text) + "' is not an order (name, path, size, modified)";
    return false;
  }
  return true;
}

void SortFiles(std::vector<FoundFile>* files, FileOrder order) {
  if (order == FileOrder::kFound) return;
  std::stable_sort(files->begin(), files->end(), [order](const FoundFile& a, const FoundFile& b) {
    switch (order) {
      case FileOrder::kName: return Lower(a.name) < Lower(b.name);
      case FileOrder::kPath: return Lower(a.Path()) < Lower(b.Path());
      case FileOrder::kSize: return a.record.size.get() > b.record.size.get();
      case FileOrder::kModified: return a.record.last_write.get() > b.record.last_write.get();
      case FileOrder::kFound: break;
    }
    return false;
  });
}

std::vector<FolderCount> FolderTree(const std::vector<FoundFile>& files) {
  std::map<std::string, uint64_t> counts;  // ordered: a folder comes right before its subfolders
  counts[""] = 0;
  for (const FoundFile& file : files) {
    ++counts[""];
    size_t slash = 0;
    while (!file.folder.empty()) {
      slash = file.folder.find('/', slash);
      ++counts[file.folder.substr(0, slash)];
      if (slash == std::string::npos) break;
      ++slash;
    }
  }
  std::vector<FolderCount> tree;
  // Sorted as paths ("a/b" before "a b"), so each folder is followed by its own.
  std::vector<std::string> paths;
  for (const auto& [path, count] : counts) paths.push_back(path);
  std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      const unsigned char ux = x == '/' ? 0 : static_cast<unsigned char>(x);
      const unsigned char uy = y == '/' ? 0 : static_cast<unsigned char>(y);
      return ux < uy;
    });
  });
  for (const std::string& path : paths) {
    const int depth =
        path.empty() ? 0 : 1 + static_cast<int>(std::count(path.begin(), path.end(), '/'));
    tree.push_back({path, depth, counts[path]});
  }
  return tree;
}

}  // namespace velmora::app
