#include "app/recovery_workflow.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <fstream>

#include "app/error_text.h"
#include "app/file_choice.h"
#include "app/same_volume.h"
#include "engine/data_folder.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "signature/signature_catalogue.h"
#include "storage/error_codes.h"
#include "storage/sector_reader.h"

namespace velmora::app {

namespace {

constexpr int kMaxNumberedFolders = 1000;
constexpr size_t kMaxOpenFolders = 256;

bool Taken(int folder, const std::string& name) {
  struct stat st {};
  return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

bool IsRegularFile(int folder, const std::string& name) {
  struct stat st {};
  return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

// The content check of the file written at `path` for a record named `name`, as the scans
// judge a file's first bytes (structured formats read on in the written file itself); false
// when it cannot be read.
bool JudgeWrittenFile(const std::string& path, std::string_view name, uint32_t* judgement) {
  constexpr size_t kSampleBytes = 4096;
  constexpr uint64_t kMostInMemory = uint64_t{64} << 20;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  SectorReader reader;
  // In memory the last partial sector reads as well; larger files are read as an image.
  if (static_cast<uint64_t>(st.st_size) <= kMostInMemory) {
    std::vector<uint8_t> bytes(static_cast<size_t>(st.st_size));
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(bytes.data()),
                 static_cast<std::streamsize>(bytes.size()))) {
      return false;
    }
    bytes.resize((bytes.size() + 511) / 512 * 512, 0);
    if (OpenMemorySource(&reader, std::move(bytes)) != kSuccess) return false;
  } else if (OpenImageFile(&reader, path) != kSuccess) {
    return false;
  }
  std::vector<uint8_t> sample(
      static_cast<size_t>(std::min<uint64_t>(kSampleBytes, static_cast<uint64_t>(st.st_size))));
  size_t got = 0;
  if (reader.source->ReadAt(0, sample.data(), sample.size(), &got) != kSuccess ||
      got != sample.size()) {
    return false;
  }
  *judgement = JudgeContent(sample.data(), sample.size(), ExtensionOf(name), &reader, 512, 0);
  return true;
}

// Gives the written file `name` its modified time (when `last_write` is one) and syncs it.
// A `local` time is the wall-clock a FAT volume keeps: it is read on this machine's clock,
// so the file shows the hour the camera or computer showed.
int FinishFile(int folder_fd, const std::string& name, uint64_t last_write, bool local = false) {
  const int fd = ::openat(folder_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return LastError();
  // FILETIME counts 100 ns from 1601; the epoch lies 11644473600 s later.
  constexpr uint64_t kTicks = 10000000ULL;
  constexpr uint64_t kEpoch = 11644473600ULL * kTicks;
  if (last_write >= kEpoch) {
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>((last_write - kEpoch) / kTicks);
    times[1].tv_nsec = static_cast<long>((last_write - kEpoch) % kTicks * 100);
    if (local) {
      struct tm wall {};
      if (::gmtime_r(&times[1].tv_sec, &wall) != nullptr) {
        wall.tm_isdst = -1;
        const time_t on_this_clock = ::mktime(&wall);
        if (on_this_clock != static_cast<time_t>(-1)) times[1].tv_sec = on_this_clock;
      }
    }
    ::futimens(fd, times);
  }
  const int err = ::fsync(fd) == 0 ? kSuccess : LastError();
  ::close(fd);
  return err;
}

}  // namespace

// The destination and its category folders, held open. Engines write through
// "/proc/self/fd/N/NAME" of a folder opened without following links, so a link
// planted in the destination (or swapped in while copying) is never followed.
class RecoveryWorkflow::Output {
 public:
  ~Output() {
    for (auto& [name, folder] : folders_) ::close(folder.fd);
    if (destination_fd_ >= 0) ::close(destination_fd_);
  }

  int Open(const std::string& destination) {
    destination_ = destination;
    int err = CreateFolderTree(destination);
    if (err != kSuccess) return err;
    destination_fd_ = ::open(destination.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (destination_fd_ < 0) return LastError();
    const std::string probe = "/proc/self/fd/" + std::to_string(destination_fd_) + "/.";
    through_proc_ = ::access(probe.c_str(), F_OK) == 0;
    // Leftovers of killed runs go, but only while no other run writes here: each run holds a
    // shared lock on the destination, the clean-up needs it alone.
    if (::flock(destination_fd_, LOCK_EX | LOCK_NB) == 0) RemoveTemporaryLeftovers(destination_fd_);
    ::flock(destination_fd_, LOCK_SH);
    return kSuccess;
  }

  const std::string& Destination() const { return destination_; }

  struct Folder {
    int fd = -1;
    std::string shown;        // the path the user sees
    std::string engine_path;  // the path handed to the engine
    std::string relative;     // below the destination
  };

  int DestinationFd() const { return destination_fd_; }

  // The folder for `category`: a real directory, never a link; a name taken by
  // a link or a file gives "category(n)".
  int FolderFor(const std::string& category, const Folder** out) {
    return FolderAt(std::vector<std::string>{category}, out);
  }

  // The folder at `parts` below the destination, each part made and opened
  // the same way. Only the folders asked for stay open, and not too many.
  int FolderAt(const std::vector<std::string>& parts, const Folder** out) {
    std::string key;
    for (const std::string& part : parts) key += "/" + part;
    if (const auto it = folders_.find(key); it != folders_.end()) {
      *out = &it->second;
      return kSuccess;
    }
    if (folders_.size() >= kMaxOpenFolders) {
      for (auto& [name, folder] : folders_) ::close(folder.fd);
      folders_.clear();
    }
    int parent = ::dup(destination_fd_);
    if (parent < 0) return LastError();
    std::string shown = destination_;
    std::string relative;
    for (const std::string& part : parts) {
      int fd = -1;
      std::string name;
      for (int n = 0; n < kMaxNumberedFolders && fd < 0; ++n) {
        name = n == 0 ? part : NumberedName(part, n);
        if (::mkdirat(parent, name.c_str(), 0755) != 0 && errno != EEXIST) break;
        fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0 && errno != ELOOP && errno != ENOTDIR) break;
      }
      const int err =
          fd < 0 ? (errno == ELOOP || errno == ENOTDIR ? kErrFileExists : LastError()) : kSuccess;
      ::close(parent);
      if (fd < 0) return err;
      parent = fd;
      shown = JoinPath(shown, name);
      relative = relative.empty() ? name : relative + "/" + name;
    }
    Folder folder{parent, shown, through_proc_ ? "/proc/self/fd/" + std::to_string(parent) : shown,
                  relative};
    *out = &folders_.emplace(key, std::move(folder)).first->second;
    return kSuccess;
  }

  // A name not yet taken in `folder`; the numbering goes on from the last
  // number given for the same name instead of counting from 1 again.
  std::string FreeName(const Folder& folder, const std::string& name) {
    if (!Taken(folder.fd, name)) return name;
    int& next = next_number_[folder.shown + "/" + name];
    if (next == 0) next = 1;
    std::string candidate;
    do {
      candidate = NumberedName(name, next++);
    } while (Taken(folder.fd, candidate));
    return candidate;
  }

  // Moves a finished output from its temporary name to `target`, or to the next free name
  // when another writer took that one meanwhile.
  int Publish(const Folder& folder, const std::string& temporary, std::string* target) {
    for (int attempt = 0; attempt < 100; ++attempt) {
      const int err = RenameWithoutReplacing(folder.fd, temporary, *target);
      if (err != kErrFileExists) return err;
      *target = FreeName(folder, *target);
    }
    return kErrFileExists;
  }

  // Keeps the part of a failed file in `temporary` as "TARGET.partial", in place of
  // `earlier` (a partial copy an earlier run kept of the same file, below the destination)
  // when that lies in this folder. The name kept, or "" when nothing is kept.
  std::string KeepPartial(const Folder& folder, const std::string& temporary,
                          const std::string& target, const std::string& earlier, int error) {
    struct stat st {};
    const bool useless = ::fstatat(folder.fd, temporary.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                         st.st_size == 0 || error == kErrDiskFull || error == kErrWriteFault ||
                         error == kCancelledByUser;
    if (useless || FinishFile(folder.fd, temporary, 0) != kSuccess) {
      ::unlinkat(folder.fd, temporary.c_str(), 0);
      return std::string();
    }
    const std::string in_folder = folder.relative.empty() ? std::string() : folder.relative + "/";
    if (earlier.size() > in_folder.size() && earlier.compare(0, in_folder.size(), in_folder) == 0 &&
        earlier.find('/', in_folder.size()) == std::string::npos) {
      const std::string old_name = earlier.substr(in_folder.size());
      if (old_name.rfind(kTemporaryOutputPrefix, 0) != 0 && IsRegularFile(folder.fd, old_name) &&
          ::renameat(folder.fd, temporary.c_str(), folder.fd, old_name.c_str()) == 0) {
        return old_name;
      }
    }
    std::string name = FreeName(folder, target + ".partial");
    if (Publish(folder, temporary, &name) != kSuccess) {
      ::unlinkat(folder.fd, temporary.c_str(), 0);
      return std::string();
    }
    return name;
  }

  // A name of this run's own in `folder` for an output still being written.
  std::string TemporaryName(const Folder& folder) {
    std::string name;
    do {
      name = std::string(kTemporaryOutputPrefix) + std::to_string(::getpid()) + "-" +
             std::to_string(++temporaries_);
    } while (Taken(folder.fd, name));
    return name;
  }

 private:
  std::string destination_;
  int destination_fd_ = -1;
  bool through_proc_ = false;
  std::map<std::string, Folder> folders_;
  std::map<std::string, int> next_number_;
  uint64_t temporaries_ = 0;
};

struct RecoveryWorkflow::FileContext {
  RecoveryWorkflow* self = nullptr;
  WorkflowObserver* observer = nullptr;
  CancelToken* cancel = nullptr;
  const Output::Folder* folder = nullptr;
  std::string written;  // name the engine reported writing
  std::string shown;    // the name the output will have
  bool finished = false;
  int error = 0;
};

int RecoveryWorkflow::OnFileProgress(void* context, int percent, int scale, int error,
                                     const char* path) {
  auto* file = static_cast<FileContext*>(context);
  if (file->cancel->Checkpoint()) return kCancelledByUser;
  const int shown = percent * scale / 100;
  const std::string name = LastPathComponent(path ? std::string(path) : std::string());
  if (!name.empty()) file->written = name;
  if (shown >= 100) {
    file->finished = true;
    if (error != 0) file->error = error;
  }
  file->observer->OnRecoveryProgress(
      file->self->Progress(shown, JoinPath(file->folder->shown, file->shown)));
  return 0;
}

RecoveryProgress RecoveryWorkflow::Progress(int file_percent, const std::string& current) const {
  // The bar follows the files of the run (the one being copied counting by its
  // own share), so it agrees with the "processed n of m" beside it.
  int percent = file_percent;
  if (counts_.total > 0) {
    const int64_t share = static_cast<int64_t>(counts_.processed) * 100 +
                          (counts_.processed < counts_.total ? file_percent : 0);
    percent = static_cast<int>(std::min<int64_t>(100, share / counts_.total));
  }
  RecoveryProgress progress;
  progress.percent = percent;
  progress.current = current;
  progress.counts = counts_;
  progress.percent_text =
      FormatText("%s %d%%", {Lookup(messages_, msg::kRecoverPercent), std::to_string(percent)});
  progress.counts_text = FormatText(
      Lookup(messages_, msg::kRecoverCounts),
      {std::to_string(counts_.processed), std::to_string(counts_.total),
       std::to_string(counts_.processed - counts_.failed), std::to_string(counts_.failed)});
  return progress;
}

const ScanSource* RecoveryWorkflow::ScannedVolumeHolding(const std::string& destination) const {
  for (const ScanSource* source : sources_.All()) {
    if (source->engine && DestinationOnSource(*source, destination)) return source;
  }
  return nullptr;
}

bool RecoveryWorkflow::ConfirmDestination(const std::string& destination,
                                          WorkflowObserver& observer) const {
  const ScanSource* source = ScannedVolumeHolding(destination);
  return source == nullptr ||
         observer.ConfirmSameVolume(*source, Lookup(messages_, msg::kSameVolumeWarning));
}

void RecoveryWorkflow::Report(const RecoveryLine& line, WorkflowObserver& observer) {
  ++counts_.processed;
  if (line.failed) {
    ++counts_.failed;
    // Failures go on top, where they are seen.
    lines_.insert(lines_.begin() + counts_.failed - 1, line);
  } else {
    lines_.push_back(line);
  }
  observer.OnRecoveryLine(line);
  observer.OnRecoveryProgress(Progress(0, line.target));
}

void RecoveryWorkflow::Remember(const RecoveryLine& line, const std::string& output) {
  if (!options_.manifest) return;
  ManifestEntry entry;
  entry.source = options_.source_name;
  entry.id = line.id;
  entry.source_path = line.source_path;
  entry.output = output;
  entry.size = line.size;
  entry.sha256 = line.sha256;
  entry.error = line.failed ? line.status : std::string();
  entry.state = state_text_;
  entry.partial = line.failed ? partial_relative_ : std::string();
  for (const UnreadableSalvage::Range& range : line.unreadable) {
    entry.unreadable.emplace_back(range.offset, range.length);
  }
  manifest_.Put(entry);
}

int RecoveryWorkflow::RecoverRecord(const ScanRecord& record, Output& output,
                                    WorkflowObserver& observer, CancelToken& cancel) {
  IFileRecoveryParse* engine = options_.engine ? options_.engine : sources_.EngineFor(record);
  const std::string name = SafeComponentName(RecordName(record));
  if (engine == nullptr) {
    // Nothing holds the engine that found it any more: said, not just counted.
    RecoveryLine line;
    line.id = RecordId(record);
    line.size = record.size;
    line.target = JoinPath(output.Destination(), name);
    line.status = sources_.FindByKey(record.drive_tag) == nullptr
                      ? "Not recovered: the source it was found on is no longer listed."
                      : "Not recovered: the scan that found it is no longer open; scan its "
                        "source again.";
    line.failed = true;
    line.error = kErrInvalidParameter;
    Report(line, observer);
    return kSuccess;
  }
  RecoveryLine line;
  line.id = RecordId(record);
  line.size = record.size;
  // Bytes of another known type (a PNG named .jpg) are a misnamed file, not an overwritten one.
  line.content_differs =
      !ContentAgrees(record) && ContentCategoryOf(record) == nullptr && record.is_directory == 0;
  std::string volume_folder;
  engine->GetFullPath(record, &volume_folder);
  while (!volume_folder.empty() && volume_folder.back() == '/') volume_folder.pop_back();
  while (!volume_folder.empty() && volume_folder.front() == '/') volume_folder.erase(0, 1);
  line.source_path = volume_folder.empty() ? std::string(RecordName(record))
                                           : volume_folder + "/" + std::string(RecordName(record));
  state_text_ = options_.manifest ? EstimateState(engine, record).Text() : std::string();

  if (options_.manifest && !options_.again) {
    const ManifestEntry* earlier =
        manifest_.Recovered(options_.source_name, line.id, line.source_path);
    if (earlier != nullptr &&
        Sha256OfFile(output.DestinationFd(), earlier->output) == earlier->sha256) {
      line.target = JoinPath(output.Destination(), earlier->output);
      line.status = "Already recovered";
      line.sha256 = earlier->sha256;
      line.skipped = true;
      ++skipped_;
      observer.OnRecoveryLine(line);
      return kSuccess;
    }
  }

  std::vector<std::string> parts;
  if (options_.keep_paths) {
    size_t start = 0;
    while (start < volume_folder.size()) {
      size_t slash = volume_folder.find('/', start);
      if (slash == std::string::npos) slash = volume_folder.size();
      if (slash > start)
        parts.push_back(SafeComponentName(volume_folder.substr(start, slash - start)));
      start = slash + 1;
    }
  } else {
    parts.push_back(CategoryOfRecord(record));
  }
  const Output::Folder* folder = nullptr;
  int result = parts.empty() ? output.FolderAt({}, &folder) : output.FolderAt(parts, &folder);
  if (result != kSuccess) {
    std::string shown = output.Destination();
    for (const std::string& part : parts) shown = JoinPath(shown, part);
    line.target = JoinPath(shown, name);
    line.status = ErrorText(result);
    line.failed = true;
    line.error = result;
    Report(line, observer);
    Remember(line, "");
    return kSuccess;
  }
  std::string target = output.FreeName(*folder, name);
  const std::string temporary = output.TemporaryName(*folder);
  FileContext file{this, &observer, &cancel, folder, temporary, target, false, 0};
  if (engine->SetScanCallback(nullptr, &OnFileProgress, &file, 100) != 0)
    return kErrInvalidParameter;
  const std::string engine_path = folder->engine_path + "/" + temporary;
  int base_depth = 0;
  for (size_t i = 0; i + 1 < folder->engine_path.size(); ++i)
    base_depth += folder->engine_path[i] == '/';
  UnreadableSalvage salvage;
  result = engine->RecoverFile(record, engine_path, base_depth);
  engine->SetScanCallback(nullptr, nullptr, nullptr, 100);
  int error = result != kSuccess ? result : file.error;
  line.unreadable = salvage.Ranges();
  line.unreadable_bytes = salvage.Bytes();
  // Zeros for every byte would be no recovery at all, and nothing worth keeping.
  const bool nothing_read =
      !record.is_directory && record.size != 0 && salvage.Bytes() >= record.size;
  if (error == kSuccess && nothing_read) error = kErrReadFault;
  partial_relative_.clear();
  if (record.is_directory) {
    // A folder keeps what was copied into it, complete or not.
    if (Taken(folder->fd, temporary)) {
      ::syncfs(folder->fd);
      const int published = output.Publish(*folder, temporary, &target);
      if (published != kSuccess && error == kSuccess) error = published;
    }
  } else if (error == kSuccess) {
    // The bytes written decide, not the verdict kept in the saved result: a record pointed at
    // another file's data must not pass as what its name says.
    uint32_t judged = 0;
    if (record.size != 0 &&
        JudgeWrittenFile(folder->engine_path + "/" + temporary, RecordName(record), &judged)) {
      ScanRecord written = record;
      written.content_check = judged;
      const bool saved_type_holds =
          ContentCategoryOf(record) != nullptr && ContentTypeOf(written) == ContentTypeOf(record);
      line.content_differs = !ContentAgrees(written) && !saved_type_holds;
      line.content_contradicts_result =
          line.content_differs && (ContentAgrees(record) || ContentCategoryOf(record) != nullptr);
    }
    error = FinishFile(folder->fd, temporary, options_.keep_times ? record.last_write.get() : 0,
                       TimeZoneOf(record) == RecordTimeZone::kLocal);
    if (error == kSuccess) error = output.Publish(*folder, temporary, &target);
    if (error != kSuccess) ::unlinkat(folder->fd, temporary.c_str(), 0);
  } else if (IsRegularFile(folder->fd, temporary)) {
    // A file left part way would look recovered: it goes, or, when asked, what could be read
    // stays as NAME.partial.
    if (options_.keep_partial && !nothing_read) {
      const ManifestEntry* earlier =
          options_.manifest ? manifest_.Partial(options_.source_name, line.id, line.source_path)
                            : nullptr;
      const std::string kept = output.KeepPartial(
          *folder, temporary, target, earlier ? earlier->partial : std::string(), error);
      if (!kept.empty()) {
        line.kept = JoinPath(folder->shown, kept);
        partial_relative_ = folder->relative.empty() ? kept : folder->relative + "/" + kept;
      }
    } else {
      ::unlinkat(folder->fd, temporary.c_str(), 0);
    }
  }
  ::fsync(folder->fd);
  if (result == kCancelledByUser) return result;
  line.target = JoinPath(folder->shown, target);
  const std::string relative = folder->relative.empty() ? target : folder->relative + "/" + target;
  if (error == kSuccess) {
    line.status = "Success";
    if (!record.is_directory && options_.manifest) {
      line.sha256 = Sha256OfFile(folder->fd, target);
    }
  } else {
    line.status = ErrorText(error);
    line.failed = true;
    line.error = error;
  }
  Report(line, observer);
  Remember(line, line.failed ? std::string() : relative);
  return kSuccess;
}

RunResult RecoveryWorkflow::Run(const ScanRecordList& records, const std::string& destination,
                                WorkflowObserver& observer, CancelToken& cancel) {
  counts_ = RecoveryCounts{};
  counts_.total = static_cast<int>(records.size());
  lines_.clear();
  skipped_ = 0;
  manifest_error_ = kSuccess;
  manifest_ = RecoveryManifest{};
  std::string folder = destination;
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  Output output;
  const int opened = output.Open(folder);
  if (opened != kSuccess) {
    for (const ScanRecord& record : records) {
      RecoveryLine line;
      line.target = JoinPath(folder, SafeComponentName(RecordName(record)));
      line.status = ErrorText(opened);
      line.failed = true;
      line.error = opened;
      line.id = RecordId(record);
      line.size = record.size;
      Report(line, observer);
    }
    return RunResult::kFinished;
  }
  if (options_.manifest) manifest_.Load(output.DestinationFd());
  RunResult run = RunResult::kFinished;
  for (const ScanRecord& record : records) {
    const int result = RecoverRecord(record, output, observer, cancel);
    if (result == kCancelledByUser) {
      run = RunResult::kCancelled;
      break;
    }
    if (result != kSuccess) break;
  }
  // Written even after a cancel: what was copied so far is in it.
  if (options_.manifest) manifest_error_ = manifest_.Save(output.DestinationFd());
  return run;
}

RunResult RecoveryWorkflow::RecoverOne(const ScanRecord& record, const std::string& destination,
                                       WorkflowObserver& observer, CancelToken& cancel) {
  return Run(ScanRecordList{record}, destination, observer, cancel);
}

namespace {

struct CopyContext {
  CancelToken* cancel = nullptr;
  int error = 0;
};

int OnCopyProgress(void* context, int percent, int scale, int error, const char*) {
  auto* copy = static_cast<CopyContext*>(context);
  if (copy->cancel->Checkpoint()) return kCancelledByUser;
  if (percent * scale / 100 >= 100 && error != 0) copy->error = error;
  return 0;
}

}  // namespace

int CopyRecordTo(IFileRecoveryParse* engine, const ScanRecord& record, int out_fd,
                 CancelToken& cancel) {
  if (record.is_directory) return kErrInvalidParameter;
  const std::string base = JoinPath(ScanLogDirectory(), "extract");
  int err = CreateDataFolder(base);
  if (err != kSuccess) return err;
  // A folder of its own, so no other file can stand at the engine's target.
  std::string pattern = JoinPath(base, "cat-XXXXXX");
  if (::mkdtemp(pattern.data()) == nullptr) return LastError();
  const std::string folder = pattern;
  const std::string path = JoinPath(folder, "file");
  CopyContext context{&cancel, 0};
  engine->SetScanCallback(nullptr, &OnCopyProgress, &context, 100);
  err = engine->RecoverFile(record, path, 0);
  engine->SetScanCallback(nullptr, nullptr, nullptr, 100);
  if (err == kSuccess) err = context.error;
  if (err == kSuccess) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) err = LastError();
    char buffer[1 << 16];
    while (fd >= 0 && err == kSuccess) {
      const ssize_t got = ::read(fd, buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) err = LastError();
      if (got <= 0) break;
      for (ssize_t done = 0; done < got && err == kSuccess;) {
        const ssize_t put = ::write(out_fd, buffer + done, static_cast<size_t>(got - done));
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0)
          err = put < 0 ? LastError() : kErrWriteFault;
        else
          done += put;
      }
    }
    if (fd >= 0) ::close(fd);
  }
  ::unlink(path.c_str());
  ::rmdir(folder.c_str());
  return err;
}

}  // namespace velmora::app
