#include "engine/scan_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <cstdlib>
#include <cstring>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/file.h>
#include <sys/statvfs.h>

#include "engine/data_folder.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "storage/error_codes.h"
#include "storage/platform_device.h"

namespace velmora {

namespace fs = std::filesystem;

namespace {

std::unique_ptr<ScanIndex>& InstanceSlot() {
  static std::unique_ptr<ScanIndex> instance;
  return instance;
}

std::mutex& InstanceMutex() {
  static std::mutex mutex;
  return mutex;
}

std::string FromUnits(const char16_t* units, size_t capacity) {
  size_t length = 0;
  while (length < capacity && units[length] != 0) ++length;
  return Utf16ToUtf8(std::u16string_view(units, length));
}

void ToUnits(const std::string& text, char16_t* units, size_t capacity) {
  const std::u16string wide = Utf8ToUtf16(text);
  const size_t length = std::min(wide.size(), capacity - 1);
  std::fill(units, units + capacity, u'\0');
  std::copy(wide.begin(), wide.begin() + static_cast<std::ptrdiff_t>(length), units);
}

uint64_t FreeBytesOf(const std::string& mount_point) {
  if (mount_point.empty()) return 0;
  struct statvfs st {};
  if (::statvfs(mount_point.c_str(), &st) != 0) return 0;
  return static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  return AsciiLower(a) == AsciiLower(b);
}

std::string WithTrailingSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

std::string ScanLogDirectory() {
  if (const char* data = std::getenv("VELMORA_DATA_DIR"); data && *data) {
    return std::string(data) + "/ScanLog";
  }
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    return std::string(xdg) + "/VelmoraFileRecovery/ScanLog";
  }
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/share/VelmoraFileRecovery/ScanLog";
}

ScanIndex& ScanIndex::Instance() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  auto& slot = InstanceSlot();
  if (!slot) slot = std::make_unique<ScanIndex>(ScanLogDirectory());
  return *slot;
}

void ScanIndex::ResetInstance() {
  std::lock_guard<std::mutex> lock(InstanceMutex());
  InstanceSlot().reset();
}

ScanIndex::ScanIndex(std::string directory) : directory_(std::move(directory)) { Load(); }

void ScanIndex::Load() {
  const std::string index = directory_ + "/config";
  const std::string temporary = directory_ + "/config.tmp";
  std::error_code ec;
  // A save interrupted after writing the temporary file but before the rename.
  if (!fs::exists(index, ec) && fs::exists(temporary, ec)) fs::rename(temporary, index, ec);

  last_number_ = 0;
  records_.clear();
  sums_.clear();
  if (const int sums = OpenDataFile(directory_ + "/config.sums", O_RDONLY, 0); sums >= 0) {
    struct stat st {};
    // Far more than any number of folders needs: a larger file is no file of ours.
    constexpr off_t kMostSumsBytes = off_t{64} << 20;
    if (::fstat(sums, &st) == 0 && st.st_size > 0 && st.st_size <= kMostSumsBytes) {
      std::string text(static_cast<size_t>(st.st_size), '\0');
      size_t got = 0;
      platform::ReadAt(sums, text.data(), text.size(), 0, &got);
      text.resize(got);
      sums_ = ParseSums(text);
    }
    ::close(sums);
  }
  const int fd = OpenDataFile(index, O_RDONLY, 0);
  if (fd < 0) return;
  std::string damage;
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_size > 0 && st.st_size < 8) {
    damage = "it is " + std::to_string(st.st_size) + " bytes long, shorter than its header";
  } else if (st.st_size >= 8) {
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    size_t got = 0;
    platform::ReadAt(fd, bytes.data(), bytes.size(), 0, &got);
    if (got >= 8) {
      std::memcpy(&last_number_, bytes.data(), 8);
      const size_t count = (got - 8) / sizeof(ScanIndexRecord);
      // Saves replace the file whole (a rename), so a partial record is damage, not a save
      // caught half way.
      if ((got - 8) % sizeof(ScanIndexRecord) != 0) {
        damage = "it ends in a partial record";
      }
      records_.resize(count);
      if (count > 0)
        std::memcpy(records_.data(), bytes.data() + 8, count * sizeof(ScanIndexRecord));
      for (auto& record : records_) {
        record.image_path[259] = 0;
        record.scan_folder[259] = 0;
      }
      // Scans write into and delete their folders: an entry naming any other place is
      // damage or a trap, and is dropped.
      const size_t dropped = std::erase_if(records_, [this](const ScanIndexRecord& record) {
        return !IsNumberedFolder(FromUnits(record.scan_folder, 260));
      });
      if (dropped != 0 && damage.empty()) {
        damage = std::to_string(dropped) + " of its records name no scan folder";
      }
      for (const auto& record : records_) {
        const std::string folder = FromUnits(record.scan_folder, 260);
        const std::string number =
            folder.substr(directory_.size() + 1, folder.size() - directory_.size() - 2);
        if (std::strtoull(number.c_str(), nullptr, 10) > last_number_ && damage.empty()) {
          damage = "its folder counter is below the folders it names";
        }
      }
    }
  }
  ::close(fd);
  if (!damage.empty()) KeepDamagedIndex(damage);
}

void ScanIndex::KeepDamagedIndex(const std::string& damage) {
  // Once per process: the first save replaces the damaged file.
  if (damage_.empty()) {
    damage_ = damage;
    std::error_code ec;
    if (RemovePlantedLink(directory_ + "/config.damaged")) {
      fs::copy_file(directory_ + "/config", directory_ + "/config.damaged",
                    fs::copy_options::overwrite_existing, ec);
    }
  }
  // A folder the damaged index lost count of still holds a result: numbering goes on
  // above every numbered folder, so no new scan empties one.
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(directory_, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || name.size() > 19 ||
        !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    last_number_ = std::max<uint64_t>(last_number_, std::strtoull(name.c_str(), nullptr, 10));
  }
}

bool ScanIndex::IsNumberedFolder(const std::string& folder) const {
  const std::string prefix = directory_ + "/";
  if (folder.size() < prefix.size() + 2 || folder.compare(0, prefix.size(), prefix) != 0) {
    return false;
  }
  const std::string number = folder.substr(prefix.size(), folder.size() - prefix.size() - 1);
  return folder.back() == '/' && !number.empty() && number.size() <= 20 &&
         std::all_of(number.begin(), number.end(), [](char c) { return c >= '0' && c <= '9'; });
}

int ScanIndex::Save() {
  return Update([] {});
}

// Other processes may change the index at any time: every change takes the lock,
// reads the index as it is on disk, applies itself and writes it back.
int ScanIndex::Update(const std::function<void()>& change) {
  int err = CreateDataFolder(directory_);
  if (err != kSuccess) return err;
  const std::string lock_path = directory_ + "/config.lock";
  // The lock file is only ever a plain file of ours: a link standing there is removed.
  if (!RemovePlantedLink(lock_path)) return LastError();
  const int lock = OpenDataFile(lock_path, O_RDWR | O_CREAT, 0600, &err);
  if (lock < 0) return err;
  while (::flock(lock, LOCK_EX) != 0) {
    if (errno != EINTR) {
      err = LastError();
      ::close(lock);
      return err;
    }
  }
  Load();
  change();
  err = WriteIndex();
  ::close(lock);  // releases the lock
  return err;
}

void ScanIndex::PutSums(const std::string& folder, const FolderSums& sums) {
  const std::string key = WithTrailingSlash(folder);
  std::erase_if(sums_, [&](const auto& entry) { return entry.first == key; });
  sums_.emplace_back(key, sums);
}

const FolderSums* ScanIndex::SumsOf(const std::string& folder) const {
  const std::string key = WithTrailingSlash(folder);
  for (const auto& [name, sums] : sums_) {
    if (name == key) return &sums;
  }
  return nullptr;
}

// Written before "config" through the same temporary-and-rename: a crash between the two
// leaves sums of folders the index does not name yet (harmless), or a folder without sums,
// which is then scanned again rather than trusted.
int ScanIndex::WriteSums() {
  std::erase_if(sums_, [this](const auto& entry) {
    return std::none_of(records_.begin(), records_.end(), [&](const ScanIndexRecord& record) {
      return FromUnits(record.scan_folder, 260) == entry.first;
    });
  });
  const std::string path = directory_ + "/config.sums";
  const std::string temporary = path + ".tmp";
  if (!RemovePlantedLink(temporary)) return LastError();
  int err = kSuccess;
  const int fd = OpenDataFile(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0600, &err);
  if (fd < 0) return err;
  const std::string text = FormatSums(sums_);
  err = WriteAll(fd, text.data(), text.size());
  if (err == kSuccess && ::fsync(fd) != 0) err = LastError();
  if (::close(fd) != 0 && err == kSuccess) err = LastError();
  if (err == kSuccess && ::rename(temporary.c_str(), path.c_str()) != 0) err = LastError();
  if (err != kSuccess) ::unlink(temporary.c_str());
  return err;
}

int ScanIndex::WriteIndex() {
  int err = WriteSums();
  if (err != kSuccess) return err;
  const std::string index = directory_ + "/config";
  const std::string temporary = directory_ + "/config.tmp";
  if (!RemovePlantedLink(temporary)) return LastError();
  const int fd = OpenDataFile(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0600, &err);
  if (fd < 0) return err;
  err = WriteAll(fd, &last_number_, sizeof(last_number_));
  if (err == kSuccess && !records_.empty()) {
    err = WriteAll(fd, records_.data(), records_.size() * sizeof(ScanIndexRecord));
  }
  if (err == kSuccess && ::fsync(fd) != 0) err = LastError();
  if (::close(fd) != 0 && err == kSuccess) err = LastError();
  // A short index must not replace a whole one: the old file stays until a save succeeds.
  if (err != kSuccess) {
    ::unlink(temporary.c_str());
    return err;
  }
  // rename() replaces the index atomically, so a crash leaves either the old or the new file.
  if (::rename(temporary.c_str(), index.c_str()) != 0) err = LastError();
  return err;
}

std::string ScanIndex::FolderFor(uint64_t number) const {
  return directory_ + "/" + std::to_string(number) + "/";
}

bool ScanIndex::FindForPartition(int disk_number, uint64_t first_sector, uint64_t sector_count,
                                 const std::string& mount_point, ScanIndexRecord* out) {
  const uint64_t free_bytes = FreeBytesOf(mount_point);
  for (const auto& record : records_) {
    if (record.reserved == kQuickResultMark) continue;
    if (record.disk_number != disk_number || record.first_sector != first_sector ||
        record.sector_count != sector_count || record.image_path[0] != 0) {
      continue;
    }
    const std::string folder = FromUnits(record.scan_folder, 260);
    if (record.free_bytes == free_bytes) {
      resume_flag_ = true;
      current_folder_ = folder;
      if (out) *out = record;
      return true;
    }
    Remove(folder);  // the volume changed since: its saved scan is stale
    break;
  }
  resume_flag_ = false;
  current_folder_.clear();
  return false;
}

bool ScanIndex::FindForImage(const std::string& image_path, ScanIndexRecord* out) {
  uint64_t write_time = 0;
  platform::FileLastWriteTime(image_path, &write_time);
  for (const auto& record : records_) {
    if (record.reserved == kQuickResultMark) continue;
    if (record.image_path[0] == 0 || FromUnits(record.image_path, 260) != image_path) continue;
    const std::string folder = FromUnits(record.scan_folder, 260);
    if (record.image_write_time == write_time) {
      resume_flag_ = true;
      current_folder_ = folder;
      if (out) *out = record;
      return true;
    }
    Remove(folder);
    break;
  }
  resume_flag_ = false;
  current_folder_.clear();
  return false;
}

int ScanIndex::AddOrUpdate(const std::string& mount_point, int disk_number, uint64_t first_sector,
                           uint64_t sector_count, const uint64_t resume[5],
                           const std::string& scan_folder, const std::string& image_path,
                           const FolderSums* sums) {
  return Update([&] {
    const bool image = !image_path.empty();
    const bool found =
        image ? FindForImage(image_path, nullptr)
              : FindForPartition(disk_number, first_sector, sector_count, mount_point, nullptr);
    ScanIndexRecord* target = nullptr;
    if (found) {
      for (auto& record : records_) {
        if (record.reserved == kQuickResultMark) continue;
        const bool same =
            image ? FromUnits(record.image_path, 260) == image_path
                  : (record.image_path[0] == 0 && record.disk_number == disk_number &&
                     record.first_sector == first_sector && record.sector_count == sector_count);
        if (same) {
          target = &record;
          break;
        }
      }
    }
    if (target == nullptr) {
      ScanIndexRecord record{};
      record.disk_number = disk_number;  // the combined engine gives images disk index 128
      if (image) {
        ToUnits(image_path, record.image_path, 260);
        platform::FileLastWriteTime(image_path, &record.image_write_time);
      } else {
        record.first_sector = first_sector;
        record.sector_count = sector_count;
        record.free_bytes = FreeBytesOf(mount_point);
      }
      ToUnits(WithTrailingSlash(scan_folder), record.scan_folder, 260);
      records_.push_back(record);
      target = &records_.back();
    }
    std::copy(resume, resume + 5, target->resume);
    if (sums != nullptr) PutSums(FromUnits(target->scan_folder, 260), *sums);
  });
}

int ScanIndex::PutQuickResult(const ScanIndexRecord& record, const FolderSums* sums) {
  ScanIndexRecord stored = record;
  stored.reserved = kQuickResultMark;
  stored.image_path[259] = 0;
  stored.scan_folder[259] = 0;
  const auto same_source = [&stored](const ScanIndexRecord& other) {
    return other.reserved == kQuickResultMark &&
           std::equal(stored.image_path, stored.image_path + 260, other.image_path) &&
           (stored.image_path[0] != 0 ||
            (other.disk_number == stored.disk_number && other.first_sector == stored.first_sector &&
             other.sector_count == stored.sector_count));
  };
  return Update([&] {
    records_.erase(std::remove_if(records_.begin(), records_.end(), same_source), records_.end());
    records_.push_back(stored);
    if (sums != nullptr) PutSums(FromUnits(stored.scan_folder, 260), *sums);
  });
}

std::string ScanIndex::CurrentFolder() const {
  if (resume_flag_ || !current_folder_.empty()) return current_folder_;
  return FolderFor(last_number_);
}

void ScanIndex::UseFolder(const std::string& folder) {
  resume_flag_ = true;
  current_folder_ = WithTrailingSlash(folder);
}

std::string ScanIndex::NewScanFolder() {
  uint64_t number = 0;
  // Claimed and written at once, so a scan running in another process gets another number.
  // A claim that cannot be written is found out when the scan's result is saved.
  (void)Update([&] { number = ++last_number_; });
  if (number == 0) number = ++last_number_;  // the index cannot be written: this process only
  claimed_number_ = number;
  resume_flag_ = false;
  current_folder_ = FolderFor(number);
  const std::string folder = current_folder_;
  Remove(folder);
  return folder;
}

int ScanIndex::Remove(const std::string& folder) {
  const std::string wanted = WithTrailingSlash(folder);
  const int saved = Update([&] {
    for (auto it = records_.begin(); it != records_.end(); ++it) {
      if (EqualIgnoringCase(FromUnits(it->scan_folder, 260), wanted)) {
        const std::string folder_key = FromUnits(it->scan_folder, 260);
        std::erase_if(sums_, [&](const auto& entry) { return entry.first == folder_key; });
        records_.erase(it);
        break;
      }
    }
  });
  // Only ever delete inside the scan-log directory, whatever a damaged index says. The path
  // is judged as written: a link standing for a folder is removed itself, never followed.
  std::error_code ec;
  const fs::path target = fs::path(wanted).lexically_normal().parent_path();
  const fs::path root = fs::path(directory_).lexically_normal();
  if (target.parent_path() != root || target.filename().empty() || target.filename() == "." ||
      target.filename() == "..") {
    return saved != kSuccess ? saved : kErrInvalidParameter;
  }
  const fs::file_status status = fs::symlink_status(target, ec);
  if (!fs::exists(status)) return saved;
  if (fs::is_symlink(status)) {
    fs::remove(target, ec);
  } else {
    fs::remove_all(target, ec);  // removes links inside without following them
  }
  return ec ? ErrorFromErrno(ec.value()) : saved;
}

void ScanIndex::DropLastNumber() {
  // Only while no later scan has claimed a number since.
  (void)Update([this] {
    if (claimed_number_ != 0 && last_number_ == claimed_number_) --last_number_;
  });
  claimed_number_ = 0;
}

bool ScanIndex::FindLogFile(const std::string& folder, const std::string& fragment,
                            std::string* name) const {
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string file = entry.path().filename().string();
    if (file.empty() || file[0] == '.') continue;
    if (file.find(fragment) == std::string::npos) continue;
    // Side files of a log carry its name plus a suffix; the log itself is wanted.
    if (file.size() >= 9 &&
        (file.ends_with("_Relation") || file.ends_with("_DirInfo") || file.ends_with("_Times")))
      continue;
    names.push_back(file);
  }
  if (names.empty()) return false;
  std::sort(names.begin(), names.end());
  *name = names.front();
  return true;
}

namespace {

std::mutex& HeldSourcesMutex() {
  static std::mutex mutex;
  return mutex;
}

// Keys this process holds, with how often: the lock is per process, not per scan.
// What this process holds per key: one descriptor, how many hold it alone and how many share.
struct HeldSource {
  int fd = -1;
  int exclusive = 0;
  int shared = 0;
};

std::map<std::string, HeldSource>& HeldSources() {
  static std::map<std::string, HeldSource> held;
  return held;
}

std::string LockFileName(const std::string& key) {
  uint64_t hash = 14695981039346656037ull;  // FNV-1a: a short, stable file name per source
  for (const unsigned char c : key) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  char name[32];
  std::snprintf(name, sizeof(name), "%016llx.lock", static_cast<unsigned long long>(hash));
  return name;
}

}  // namespace

int SourceScanLock::Acquire(const std::string& directory, const std::string& key) {
  return Take(directory, key, true);
}

int SourceScanLock::AcquireShared(const std::string& directory, const std::string& key) {
  return Take(directory, key, false);
}

int SourceScanLock::Take(const std::string& directory, const std::string& key, bool exclusive) {
  Release();
  std::lock_guard<std::mutex> guard(HeldSourcesMutex());
  auto& held = HeldSources();
  if (auto it = held.find(key); it != held.end()) {
    HeldSource& source = it->second;
    // Within one process scans and readers of a source follow each other; a reader that
    // starts a scan turns its shared hold into a whole one while no other process reads.
    if (exclusive && source.exclusive == 0 && ::flock(source.fd, LOCK_EX | LOCK_NB) != 0) {
      return errno == EWOULDBLOCK ? kErrSharingViolation : LastError();
    }
    ++(exclusive ? source.exclusive : source.shared);
    key_ = key;
    exclusive_ = exclusive;
    return kSuccess;
  }
  const std::string folder = directory + "/locks";
  int err = CreateDataFolder(folder);
  if (err != kSuccess) return err;
  const std::string path = folder + "/" + LockFileName(key);
  if (!RemovePlantedLink(path)) return LastError();
  const int fd = OpenDataFile(path, O_RDWR | O_CREAT, 0600, &err);
  if (fd < 0) return err;
  if (::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
    err = errno == EWOULDBLOCK ? kErrSharingViolation : LastError();
    ::close(fd);
    return err;
  }
  HeldSource& source = held[key];
  source.fd = fd;
  ++(exclusive ? source.exclusive : source.shared);
  key_ = key;
  exclusive_ = exclusive;
  return kSuccess;
}

void SourceScanLock::Release() {
  if (key_.empty()) return;
  std::lock_guard<std::mutex> guard(HeldSourcesMutex());
  auto& held = HeldSources();
  if (auto it = held.find(key_); it != held.end()) {
    HeldSource& source = it->second;
    --(exclusive_ ? source.exclusive : source.shared);
    if (source.exclusive == 0 && source.shared == 0) {
      ::close(source.fd);
      held.erase(it);
    } else if (exclusive_ && source.exclusive == 0) {
      ::flock(source.fd, LOCK_SH);  // back to the readers still holding it
    }
  }
  key_.clear();
}

}  // namespace velmora
