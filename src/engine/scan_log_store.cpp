#include "engine/scan_log_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <ctime>
#include <deque>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "engine/categories.h"
#include "engine/data_folder.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr size_t kRecordBytes = sizeof(ScanRecord);
// Ancestor walks stop here even if a damaged log describes a deeper chain.
constexpr size_t kMaxAncestors = 4096;

// The log's files lie below the scan-log directory: no link on the way is followed.
int OpenReadWrite(const std::string& path, int* error) {
  return OpenDataFile(path, O_RDWR | O_CREAT, 0600, error);
}

void CloseFd(int* fd) {
  if (*fd >= 0) {
    ::close(*fd);
    *fd = -1;
  }
}

uint64_t FileSize(int fd) {
  struct stat st {};
  return ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

bool ReadWholeFile(int fd, std::vector<uint8_t>* bytes) {
  bytes->resize(static_cast<size_t>(FileSize(fd)));
  size_t got = 0;
  platform::ReadAt(fd, bytes->data(), bytes->size(), 0, &got);
  bytes->resize(got);
  return !bytes->empty();
}

// Reads a decimal number; stops at the first non-digit. Overlong numbers wrap like the writer's
// type.
uint64_t ParseNumber(const std::string_view text, size_t* pos) {
  uint64_t value = 0;
  while (*pos < text.size() && text[*pos] >= '0' && text[*pos] <= '9') {
    value = value * 10 + static_cast<uint64_t>(text[*pos] - '0');
    ++*pos;
  }
  return value;
}

void ParseRelations(std::string_view text, std::map<uint64_t, std::vector<uint32_t>>* relations) {
  size_t pos = 0;
  for (;;) {
    pos = text.find(" | ", pos);
    if (pos == std::string_view::npos) return;
    pos += 3;
    const uint64_t key = ParseNumber(text, &pos);
    const size_t open = text.find(" - [", pos);
    if (open == std::string_view::npos) return;
    pos = open + 4;
    auto& list = (*relations)[key];
    while (pos < text.size() && text[pos] != ']') {
      list.push_back(static_cast<uint32_t>(ParseNumber(text, &pos)));
      if (pos < text.size() && text[pos] == ',') {
        ++pos;
      } else if (pos < text.size() && text[pos] != ']') {
        break;  // malformed: stop this entry
      }
    }
  }
}

}  // namespace

namespace {
constexpr const char* kExistingFilesStamp = ".existing_files";
}  // namespace

int StampExistingFiles(const std::string& folder) {
  const std::string path = JoinPath(folder, kExistingFilesStamp);
  int err = kErrWriteFault;
  const int fd = OpenDataFile(path, O_WRONLY | O_CREAT, 0600, &err);
  if (fd < 0) return err;
  ::close(fd);
  return kSuccess;
}

bool FolderHoldsExistingFiles(const std::string& folder) {
  struct stat st {};
  if (::stat(JoinPath(folder, kExistingFilesStamp).c_str(), &st) == 0) return true;
  std::string quick_log;
  return !ScanIndex::Instance().FindLogFile(folder, "Fast_", &quick_log);
}

std::string FormatLogName(const char* prefix, int64_t start_sector) {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[128];
  std::snprintf(text, sizeof(text), "%s%lld_%d%d%d%d%2d", prefix,
                static_cast<long long>(start_sector), local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min);
  return text;
}

void SortForListing(ScanRecordList* records) {
  // Small keys are sorted instead of the 346-byte records; std::sort makes the same moves
  // either way, so equal names keep the order they always had. The names are folded once,
  // with the same tolower strncasecmp uses, into one block instead of being folded at every
  // comparison.
  const ScanRecordList& list = *records;
  // The same folding, asked of tolower once per byte value.
  std::array<char, 256> lower{};
  for (int c = 0; c < 256; ++c) lower[static_cast<size_t>(c)] = static_cast<char>(::tolower(c));
  std::vector<size_t> starts(list.size() + 1);
  std::string folded;
  folded.reserve(list.size() * 16);
  for (size_t i = 0; i < list.size(); ++i) {
    starts[i] = folded.size();
    const char* name = list[i].name;
    const size_t length = ::strnlen(name, kRecordNameBytes);
    for (size_t c = 0; c < length; ++c) {
      folded.push_back(lower[static_cast<unsigned char>(name[c])]);
    }
  }
  starts[list.size()] = folded.size();
  const std::string_view keys(folded);
  auto key = [&keys, &starts](uint32_t i) {
    return keys.substr(starts[i], starts[i + 1] - starts[i]);
  };
  // A key holds the folder flag and the first sixteen bytes of the name as two numbers (zero
  // after its end, which no name holds): most comparisons end there, without looking into
  // the names.
  struct Sortable {
    uint64_t head;
    uint64_t next;
    uint32_t index;
    uint8_t folder;
  };
  const auto word_at = [](std::string_view name, size_t from) {
    uint64_t value = 0;
    for (size_t c = from; c < from + 8; ++c) {
      value = (value << 8) | (c < name.size() ? static_cast<uint8_t>(name[c]) : 0u);
    }
    return value;
  };
  std::vector<Sortable> sortable(list.size());
  for (size_t i = 0; i < list.size(); ++i) {
    const std::string_view name = key(static_cast<uint32_t>(i));
    sortable[i] = Sortable{word_at(name, 0), word_at(name, 8), static_cast<uint32_t>(i),
                           static_cast<uint8_t>(list[i].is_directory != 0 ? 1 : 0)};
  }
  const auto rest = [&key](uint32_t i) {
    const std::string_view name = key(i);
    return name.substr(std::min<size_t>(16, name.size()));
  };
  std::sort(sortable.begin(), sortable.end(), [&rest](const Sortable& left, const Sortable& right) {
    if (left.folder != right.folder) return left.folder == 0;
    if (left.head != right.head) return left.head < right.head;
    if (left.next != right.next) return left.next < right.next;
    // Compared as unsigned bytes, as strncasecmp does.
    return rest(left.index) < rest(right.index);
  });
  std::vector<uint32_t> order(list.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = sortable[i].index;
  // Put in order where they are, a cycle of the permutation at a time: each record moves
  // once, and no second list of them is made.
  ScanRecordList& in_place = *records;
  std::vector<uint8_t> placed(in_place.size(), 0);
  for (size_t start = 0; start < in_place.size(); ++start) {
    if (placed[start] != 0) continue;
    if (order[start] == start) {
      placed[start] = 1;
      continue;
    }
    const ScanRecord held = in_place[start];
    size_t to = start;
    for (;;) {
      const size_t from = order[to];
      placed[to] = 1;
      if (from == start) {
        in_place[to] = held;
        break;
      }
      in_place[to] = in_place[from];
      to = from;
    }
  }
}

bool ListsBefore(const ScanRecord& a, const ScanRecord& b) {
  const bool a_folder = a.is_directory != 0;
  if (a_folder != (b.is_directory != 0)) return !a_folder;
  const size_t a_length = ::strnlen(a.name, kRecordNameBytes);
  const size_t b_length = ::strnlen(b.name, kRecordNameBytes);
  for (size_t c = 0; c < std::min(a_length, b_length); ++c) {
    const int left = ::tolower(static_cast<unsigned char>(a.name[c]));
    const int right = ::tolower(static_cast<unsigned char>(b.name[c]));
    if (left != right) return static_cast<unsigned char>(left) < static_cast<unsigned char>(right);
  }
  return a_length < b_length;
}

ScanLogStore::ScanLogStore() = default;

ScanLogStore::~ScanLogStore() { Close(); }

int ScanLogStore::Open(const std::string& log_name) {
  return OpenIn(ScanIndex::Instance().CurrentFolder(), log_name);
}

int ScanLogStore::OpenIn(const std::string& folder, const std::string& log_name) {
  Close();
  int err = CreateDataFolder(folder);
  if (err != kSuccess) return err;
  log_name_ = log_name;
  main_path_ = JoinPath(folder, log_name);
  relation_path_ = main_path_ + "_Relation";
  directory_path_ = main_path_ + "_DirInfo";
  times_path_ = main_path_ + "_Times";

  main_fd_ = OpenReadWrite(main_path_, &err);
  if (main_fd_ < 0) return err;
  relation_fd_ = OpenReadWrite(relation_path_, &err);
  if (relation_fd_ < 0) {
    Close();
    return err;
  }
  // Records already in a reopened log keep their indices; new ones follow them.
  record_count_ = FileSize(main_fd_) / kRecordBytes;

  std::vector<uint8_t> bytes;
  if (ReadWholeFile(relation_fd_, &bytes)) {
    ParseRelations(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                   &relations_);
    for (const auto& [key, indices] : relations_) {
      for (uint32_t index : indices) parent_of_.emplace(index, key);
    }
  }
  buffer_.assign(kBatchBytes, 0);
  buffered_bytes_ = 0;

  directory_fd_ = OpenReadWrite(directory_path_, &err);
  if (directory_fd_ < 0) {
    Close();
    return err;
  }
  if (ReadWholeFile(directory_fd_, &bytes)) {
    // A list cut inside its first entry holds none (and memcpy takes no null pointer).
    const size_t count = bytes.size() / sizeof(DirectoryEntry);
    directories_.resize(count);
    if (count > 0) std::memcpy(directories_.data(), bytes.data(), count * sizeof(DirectoryEntry));
    for (size_t i = 0; i < count; ++i) {
      directories_[i].name[sizeof(directories_[i].name) - 1] = 0;
      directory_by_id_.emplace(directories_[i].object_id, i);
    }
  }
  directories_written_ = directories_.size();

  // Optional: only logs with extra times have the file.
  times_fd_ = OpenDataFile(times_path_, O_RDWR, 0, &err);
  if (times_fd_ < 0 && err == kErrLinkInDataFolder) {
    Close();
    return err;
  }
  if (times_fd_ >= 0 && ReadWholeFile(times_fd_, &bytes)) {
    const size_t count = bytes.size() / sizeof(RecordTimesEntry);
    times_.resize(count);
    if (count > 0) std::memcpy(times_.data(), bytes.data(), count * sizeof(RecordTimesEntry));
    for (size_t i = 0; i < count; ++i) times_by_index_[times_[i].record_index] = i;
  }
  times_written_ = times_.size();
  return kSuccess;
}

void ScanLogStore::Close() {
  if (main_fd_ >= 0) (void)Flush();  // a failure was told by the flush or append before
  CloseFd(&main_fd_);
  CloseFd(&relation_fd_);
  CloseFd(&directory_fd_);
  CloseFd(&times_fd_);
  times_.clear();
  times_written_ = 0;
  times_by_index_.clear();
  buffer_.clear();
  buffer_.shrink_to_fit();
  buffered_bytes_ = 0;
  write_error_ = 0;
  relations_.clear();
  parent_of_.clear();
  directories_.clear();
  directory_by_id_.clear();
  relations_dirty_ = false;
  directories_written_ = 0;
}

int ScanLogStore::WriteBuffered() {
  if (buffered_bytes_ == 0) return kSuccess;
  // A store that never opened has told its owner so; its records are dropped.
  if (main_fd_ < 0) {
    buffered_bytes_ = 0;
    return kSuccess;
  }
  // Records already written end at (count - buffered) records.
  const uint64_t buffered_records = buffered_bytes_ / kRecordBytes;
  const uint64_t offset = (record_count_ - buffered_records) * kRecordBytes;
  const int err = platform::WriteAllAt(main_fd_, buffer_.data(), buffered_bytes_, offset);
  buffered_bytes_ = 0;
  // A lost batch leaves a hole in the log for good: every later append and flush says so.
  if (err != kSuccess && write_error_ == kSuccess) write_error_ = err;
  return err;
}

int ScanLogStore::AppendRecord(ScanRecord* record) {
  if (buffer_.size() < kBatchBytes) buffer_.assign(kBatchBytes, 0);
  if (buffered_bytes_ + kRecordBytes > kBatchBytes) WriteBuffered();
  ++record_count_;
  record->record_index = static_cast<uint32_t>(record_count_);
  std::memcpy(buffer_.data() + buffered_bytes_, record, kRecordBytes);
  buffered_bytes_ += kRecordBytes;
  return write_error_;
}

void ScanLogStore::AddRelation(uint32_t parent_id, uint32_t depth, uint32_t record_index,
                               uint32_t object_id, const char* directory_name) {
  const uint64_t key = RelationKey{parent_id, depth}.Value();
  relations_[key].push_back(record_index);
  relations_dirty_ = true;
  parent_of_.emplace(record_index, key);
  if (directory_name != nullptr) {
    DirectoryEntry entry{};
    entry.object_id = object_id;
    entry.record_index = record_index;
    std::strncpy(entry.name, directory_name, sizeof(entry.name) - 1);
    directory_by_id_.emplace(object_id, directories_.size());
    directories_.push_back(entry);
  }
}

void ScanLogStore::AddTimes(const RecordTimesEntry& entry) {
  times_by_index_[entry.record_index] = times_.size();
  times_.push_back(entry);
}

bool ScanLogStore::FindTimes(uint32_t record_index, RecordTimesEntry* out) const {
  const auto it = times_by_index_.find(record_index);
  if (it == times_by_index_.end()) return false;
  *out = times_[it->second];
  return true;
}

int ScanLogStore::Flush() {
  if (main_fd_ < 0) return kErrInvalidParameter;
  int err = WriteBuffered();
  if (err != kSuccess) return err;
  if (write_error_ != kSuccess) return write_error_;

  if (relations_dirty_) {
    std::string text;
    for (const auto& [key, indices] : relations_) {
      text += " | ";
      text += std::to_string(key);
      text += " - [";
      for (size_t i = 0; i < indices.size(); ++i) {
        if (i) text += ',';
        text += std::to_string(indices[i]);
      }
      text += ']';
    }
    err = platform::WriteAllAt(relation_fd_, text.data(), text.size(), 0);
    if (err == kSuccess && ::ftruncate(relation_fd_, static_cast<off_t>(text.size())) != 0) {
      err = LastError();
    }
    if (err == kSuccess) relations_dirty_ = false;
  }
  int dir_err = kSuccess;
  if (directories_written_ < directories_.size()) {
    const size_t from = directories_written_;
    dir_err = platform::WriteAllAt(directory_fd_, directories_.data() + from,
                                   (directories_.size() - from) * sizeof(DirectoryEntry),
                                   static_cast<uint64_t>(from) * sizeof(DirectoryEntry));
    if (dir_err == kSuccess) directories_written_ = directories_.size();
  }
  if (err == kSuccess) err = dir_err;
  if (times_written_ < times_.size()) {
    int times_err = kSuccess;
    if (times_fd_ < 0) times_fd_ = OpenReadWrite(times_path_, &times_err);
    const size_t from = times_written_;
    times_err = times_fd_ < 0
                    ? times_err
                    : platform::WriteAllAt(times_fd_, times_.data() + from,
                                           (times_.size() - from) * sizeof(RecordTimesEntry),
                                           static_cast<uint64_t>(from) * sizeof(RecordTimesEntry));
    if (times_err == kSuccess) times_written_ = times_.size();
    if (err == kSuccess) err = times_err;
  }
  if (err != kSuccess && write_error_ == kSuccess) write_error_ = err;
  return err;
}

const std::vector<uint32_t>* ScanLogStore::IndicesOf(RelationKey key) const {
  if (key.parent_id == 0 && key.depth == 0) {
    return relations_.empty() ? nullptr : &relations_.begin()->second;
  }
  auto it = relations_.find(key.Value());
  return it == relations_.end() ? nullptr : &it->second;
}

int ScanLogStore::ReadRecord(uint32_t index, ScanRecord* out) {
  if (main_fd_ < 0 || index == 0 || index > record_count_) return kErrInvalidParameter;
  const uint64_t buffered_records = buffered_bytes_ / kRecordBytes;
  const uint64_t first_buffered = record_count_ - buffered_records + 1;
  if (index >= first_buffered) {
    std::memcpy(out, buffer_.data() + (index - first_buffered) * kRecordBytes, kRecordBytes);
    return kSuccess;
  }
  size_t got = 0;
  const int err = platform::ReadAt(main_fd_, out, kRecordBytes,
                                   static_cast<uint64_t>(index - 1) * kRecordBytes, &got);
  if (err != kSuccess) return err;
  out->name[kRecordNameBytes - 1] = 0;
  return kSuccess;
}

int ScanLogStore::ListChildren(RelationKey key, ScanRecordList* out) {
  if (main_fd_ < 0) return kErrInvalidParameter;
  (void)Flush();  // kept in WriteError(); the records read stand either way
  const auto* indices = IndicesOf(key);
  if (indices == nullptr) return kSuccess;
  ScanRecord record;
  for (uint32_t index : *indices) {
    const int err = ReadRecord(index, &record);
    if (err == kErrInvalidParameter) continue;  // index points past the log
    if (err != kSuccess) return err;
    if (!list_existing_ && ListedOnlyWithExisting(record)) continue;
    out->push_back(record);
  }
  if (out->size() > 1) SortForListing(out);
  return kSuccess;
}

int ScanLogStore::CountFilesUnder(RelationKey key, int* count) {
  *count = 0;
  if (main_fd_ < 0) return kErrInvalidParameter;
  (void)Flush();  // kept in WriteError(); the records read stand either way
  std::deque<RelationKey> queue{key};
  std::set<uint64_t> visited;
  ScanRecord record;
  while (!queue.empty()) {
    const RelationKey current = queue.front();
    queue.pop_front();
    if (!visited.insert(current.Value()).second) continue;  // a damaged log may loop
    const auto* indices = IndicesOf(current);
    if (indices == nullptr) continue;
    for (uint32_t index : *indices) {
      const int err = ReadRecord(index, &record);
      if (err == kErrInvalidParameter) continue;
      if (err != kSuccess) return err;
      if (!list_existing_ && ListedOnlyWithExisting(record)) continue;
      if (record.is_directory) {
        queue.push_back(RelationKey{record.object_id, current.depth + 1});
      } else {
        ++*count;
      }
    }
  }
  return kSuccess;
}

int ScanLogStore::GetAncestors(const ScanRecord& record, ScanRecordList* out) {
  if (main_fd_ < 0) return kErrInvalidParameter;
  if (relations_.empty()) return kSuccess;
  const uint64_t root_key = relations_.begin()->first;
  const uint32_t own_index = record.record_index;
  // Paths are short: the records seen are looked up in a list, not a tree built per call; a
  // long chain (a damaged log) is looked up in a set from some depth on.
  std::vector<uint32_t> visited{own_index};
  std::unordered_set<uint32_t> visited_deep;
  const auto seen_before = [&visited, &visited_deep](uint32_t index) {
    constexpr size_t kListed = 64;
    if (visited.size() < kListed) {
      if (std::find(visited.begin(), visited.end(), index) != visited.end()) return true;
      visited.push_back(index);
      return false;
    }
    if (visited_deep.empty()) visited_deep.insert(visited.begin(), visited.end());
    return !visited_deep.insert(index).second;
  };
  uint32_t index = record.record_index;
  while (out->size() < kMaxAncestors) {
    auto parent = parent_of_.find(index);
    if (parent == parent_of_.end() || parent->second == root_key) return kSuccess;
    const uint32_t parent_id = RelationKey::FromValue(parent->second).parent_id;
    ScanRecord ancestor{};
    auto dir = directory_by_id_.find(parent_id);
    if (dir != directory_by_id_.end()) {
      const DirectoryEntry& entry = directories_[dir->second];
      ancestor.is_directory = 1;
      ancestor.object_id = entry.object_id;
      ancestor.record_index = entry.record_index;
      std::memcpy(ancestor.name, entry.name, sizeof(ancestor.name));
    } else {
      const int err = FindDirectoryRecord(parent_id, &ancestor);
      if (err != kSuccess) return err;
    }
    const uint32_t ancestor_index = ancestor.record_index;  // packed field: copy, never bind
    if (seen_before(ancestor_index)) return kSuccess;
    out->push_back(ancestor);
    index = ancestor_index;
  }
  return kSuccess;
}

int ScanLogStore::FindDirectoryRecord(uint32_t object_id, ScanRecord* out) {
  if (main_fd_ < 0) return kErrInvalidParameter;
  WriteBuffered();
  const uint64_t size = FileSize(main_fd_);
  std::vector<uint8_t> block(kBatchBytes);
  bool seen = false;
  for (uint64_t offset = 0; offset + kRecordBytes <= size; offset += kBatchBytes) {
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(kBatchBytes, size - offset));
    size_t got = 0;
    platform::ReadAt(main_fd_, block.data(), wanted, offset, &got);
    for (size_t pos = 0; pos + kRecordBytes <= got; pos += kRecordBytes) {
      const auto* record = reinterpret_cast<const ScanRecord*>(block.data() + pos);
      if (record->object_id != object_id) continue;
      std::memcpy(out, record, kRecordBytes);
      out->name[kRecordNameBytes - 1] = 0;
      seen = true;
      if (record->is_directory) return kSuccess;
    }
    if (got < wanted) break;
  }
  (void)seen;
  return kErrInvalidParameter;
}

int ScanLogStore::FullPath(const ScanRecord& record, std::string* path) {
  ScanRecordList ancestors;
  const int err = GetAncestors(record, &ancestors);
  path->clear();
  for (auto it = ancestors.rbegin(); it != ancestors.rend(); ++it) {
    path->append(RecordName(*it));
    path->push_back('/');
  }
  return err;
}

int ScanLogStore::ListByType(const std::string& filter, ScanRecordList* out, bool sorted) {
  if (main_fd_ < 0) return 0;
  (void)Flush();  // kept in WriteError(); the records read stand either way
  bool others_wanted = filter.find(kOtherToken) != std::string::npos;
  const int fd = OpenDataFile(main_path_, O_RDONLY, 0);
  if (fd < 0) return 0;
  const uint64_t size = FileSize(fd);
  if (size >= 134217728ull) others_wanted = false;
  std::vector<uint8_t> block(kBatchBytes);
  std::unordered_map<std::string, bool> judged;
  // Every record is wanted when every kind is: room for them all at once.
  if (others_wanted && filter.find(CategoryText()) != std::string::npos) {
    out->reserve(out->size() + static_cast<size_t>(size / kRecordBytes));
  }
  uint64_t done = 0;
  ScanRecord record;
  while (done + kRecordBytes <= size) {
    const size_t wanted = static_cast<size_t>(std::min<uint64_t>(kBatchBytes, size - done)) /
                          kRecordBytes * kRecordBytes;
    size_t got = 0;
    platform::ReadAt(fd, block.data(), wanted, done, &got);
    for (size_t pos = 0; pos + kRecordBytes <= got; pos += kRecordBytes) {
      std::memcpy(&record, block.data() + pos, kRecordBytes);
      record.name[kRecordNameBytes - 1] = 0;
      if (record.is_directory) continue;
      if (!list_existing_ && ListedOnlyWithExisting(record)) continue;
      const std::string_view name = RecordName(record);
      bool match = others_wanted;
      if (ContentCategoryOf(record) != nullptr) {
        match = FilterWantsContent(filter, record, others_wanted);
      } else if (name.find('.') != std::string_view::npos) {
        // Most files share a handful of extensions: each is judged once.
        std::string key = "." + AsciiLower(ExtensionOf(name));
        auto known = judged.find(key);
        if (known == judged.end()) {
          const bool accepted = FilterWantsExtension(filter, key, others_wanted);
          known = judged.emplace(std::move(key), accepted).first;
        }
        match = known->second;
      }
      if (match) out->push_back(record);
    }
    done += got;
    if (got < wanted) break;
    if (listing_callback_ &&
        listing_callback_(listing_context_, static_cast<int>(done * 100 / size), 0) != 0) {
      break;
    }
  }
  ::close(fd);
  if (sorted && out->size() > 1) SortForListing(out);
  return 1;
}

}  // namespace velmora
