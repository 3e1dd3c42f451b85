#include "app/saved_scans.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "deep/engine_factory.h"
#include "engine/data_folder.h"
#include "engine/record_text.h"
#include "engine/scan_log_store.h"
#include "engine/recovery_output.h"
#include "engine/source_fingerprint.h"
#include "storage/error_codes.h"
#include "storage/platform_device.h"

namespace velmora::app {

namespace {

std::string ImagePathOf(const ScanIndexRecord& record) {
  size_t length = 0;
  while (length < 260 && record.image_path[length] != 0) ++length;
  return Utf16ToUtf8(std::u16string_view(record.image_path, length));
}

bool SameSource(const ScanIndexRecord& record, const ScanSource& source) {
  if (source.IsImage()) return ImagePathOf(record) == source.image_path;
  return record.image_path[0] == 0 && record.disk_number == source.entry->disk &&
         record.first_sector == source.entry->start && record.sector_count == source.entry->length;
}

// A link standing for a scan folder is no saved result.
bool FolderExists(const std::string& folder) {
  struct stat st {};
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint64_t ImageWriteTime(const std::string& path) {
  uint64_t write_time = 0;
  platform::FileLastWriteTime(path, &write_time);
  return write_time;
}

std::string FingerprintOf(const ScanSource& source) {
  if (source.IsImage()) return FingerprintImage(source.image_path);
  return FingerprintPartition(source.entry->disk, source.entry->start, source.entry->length);
}

// Why the logs of a saved result whose source is unchanged cannot be served, or "".
std::string LogDamage(const std::string& folder, const std::string& fingerprint) {
  const FolderSums* sums = ScanIndex::Instance().SumsOf(folder);
  // An older version kept no checksums: such a log cannot be told from a damaged one.
  if (sums == nullptr) return "it was saved without checksums, by an older version";
  return CheckFolderLogs(folder, fingerprint, *sums);
}

bool QuickResultFor(const ScanSource& source, ScanIndexRecord* out, bool* other_contents,
                    std::string* damage) {
  ScanIndex& index = ScanIndex::Instance();
  const auto& records = index.Records();
  const auto found = std::find_if(records.begin(), records.end(), [&](const ScanIndexRecord& r) {
    return r.reserved == kQuickResultMark && SameSource(r, source);
  });
  if (found == records.end()) return false;
  const ScanIndexRecord record = *found;
  // Another medium can sit at the same place, so the contents are compared as well.
  const std::string fingerprint = FingerprintOf(source);
  const bool same_contents =
      !fingerprint.empty() && FolderFingerprint(FolderOf(record)) == fingerprint;
  const bool unchanged =
      (!source.IsImage() || record.image_write_time == ImageWriteTime(source.image_path)) &&
      same_contents;
  if (!same_contents && other_contents && FolderExists(FolderOf(record))) *other_contents = true;
  std::string damaged;
  if (unchanged && FolderExists(FolderOf(record)))
    damaged = LogDamage(FolderOf(record), fingerprint);
  if (!unchanged || !FolderExists(FolderOf(record)) || !damaged.empty()) {
    // The source changed since, the folder is gone, or its logs are not what was saved.
    index.Remove(FolderOf(record));
    (void)index.Save();  // a lookup: the next save writes the change
    if (damage) *damage = damaged;
    return false;
  }
  if (out) *out = record;
  return true;
}

constexpr const char* kScannedStamp = ".scanned";

// When the folder's scan last ran: its stamp, else the folder's own time.
struct timespec ScannedAt(const std::string& folder) {
  struct stat st {};
  if (::stat(JoinPath(folder, kScannedStamp).c_str(), &st) == 0 ||
      ::stat(folder.c_str(), &st) == 0) {
    return st.st_mtim;
  }
  return {};
}

bool Later(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec != b.tv_sec ? a.tv_sec > b.tv_sec : a.tv_nsec > b.tv_nsec;
}

}  // namespace

std::string FolderOf(const ScanIndexRecord& record) {
  size_t length = 0;
  while (length < 260 && record.scan_folder[length] != 0) ++length;
  return Utf16ToUtf8(std::u16string_view(record.scan_folder, length));
}

bool SavedResultFor(const ScanSource& source, ScanMode mode, ScanIndexRecord* record,
                    bool* other_contents, std::string* damage) {
  if (mode == ScanMode::kQuick) return QuickResultFor(source, record, other_contents, damage);
  ScanIndex& index = ScanIndex::Instance();
  if (source.IsImage()) return index.FindForImage(source.image_path, record);
  const PartitionEntry& entry = *source.entry;
  // No free-space key: the deep engine keys its records without one as well.
  return index.FindForPartition(entry.disk, entry.start, entry.length, "", record);
}

bool LatestSavedMode(const ScanSource& source, ScanMode* mode, bool* other_contents,
                     std::string* damage) {
  if (other_contents) *other_contents = false;
  ScanIndexRecord quick{};
  ScanIndexRecord deep{};
  const bool has_quick = SavedResultFor(source, ScanMode::kQuick, &quick, other_contents, damage);
  bool has_deep = SavedResultFor(source, ScanMode::kDeep, &deep);
  if (has_deep) {
    const std::string fingerprint = FingerprintOf(source);
    if (fingerprint.empty() || FolderFingerprint(FolderOf(deep)) != fingerprint ||
        !FolderExists(FolderOf(deep))) {
      has_deep = false;
      if (other_contents) *other_contents = true;
    } else if (!LogDamage(FolderOf(deep), fingerprint).empty()) {
      has_deep = false;  // the deep engine names and drops it when it is asked for
    }
  }
  if (!has_quick && !has_deep) return false;
  if (has_quick && has_deep) {
    *mode = Later(ScannedAt(FolderOf(deep)), ScannedAt(FolderOf(quick))) ? ScanMode::kDeep
                                                                         : ScanMode::kQuick;
  } else {
    *mode = has_deep ? ScanMode::kDeep : ScanMode::kQuick;
  }
  return true;
}

int StampScanned(const std::string& folder) {
  if (folder.empty() || !FolderExists(folder)) return kErrPathNotFound;
  int err = kErrWriteFault;
  const int fd = OpenDataFile(JoinPath(folder, kScannedStamp), O_WRONLY | O_CREAT, 0600, &err);
  if (fd < 0) return err;
  err = ::futimens(fd, nullptr) == 0 ? kSuccess : LastError();
  ::close(fd);
  return err;
}

bool ResultHoldsExistingFiles(const ScanSource& source, ScanMode mode) {
  ScanIndexRecord record{};
  if (!SavedResultFor(source, mode, &record)) return true;
  return FolderHoldsExistingFiles(FolderOf(record));
}

int DiscardSavedResult(const ScanSource& source, ScanMode mode) {
  ScanIndexRecord record{};
  if (!SavedResultFor(source, mode, &record)) return kSuccess;
  ScanIndex& index = ScanIndex::Instance();
  index.Remove(FolderOf(record));
  return index.Save();
}

int RememberQuickResult(const ScanSource& source, const std::string& folder) {
  ScanIndexRecord record{};
  const std::u16string folder_units = Utf8ToUtf16(folder);
  if (folder_units.size() > 259) return kErrFilenameTooLong;
  std::copy(folder_units.begin(), folder_units.end(), record.scan_folder);
  if (source.IsImage()) {
    const std::u16string path_units = Utf8ToUtf16(source.image_path);
    if (path_units.size() > 259) return kErrFilenameTooLong;
    std::copy(path_units.begin(), path_units.end(), record.image_path);
    record.image_write_time = ImageWriteTime(source.image_path);
  } else {
    record.disk_number = source.entry->disk;
    record.first_sector = source.entry->start;
    record.sector_count = source.entry->length;
  }
  const std::string fingerprint = FingerprintOf(source);
  int kept = KeepFolderFingerprint(folder, fingerprint);
  FolderSums sums;
  if (kept == kSuccess) kept = SumFolderLogs(folder, fingerprint, true, {}, &sums);
  if (kept != kSuccess) return kept;
  return ScanIndex::Instance().PutQuickResult(record, &sums);
}

}  // namespace velmora::app
