#include "app/recovery_workflow.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "app/error_text.h"
#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "storage/error_codes.h"
#include "storage/platform_disks.h"

namespace velmora::app {

namespace {

constexpr int kMaxNumberedFolders = 1000;

bool Taken(int folder, const std::string& name) {
  struct stat st {};
  return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT;
}

bool IsRegularFile(int folder, const std::string& name) {
  struct stat st {};
  return ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
}

std::string DiskNameOf(const std::string& device_path) { return LastPathComponent(device_path); }

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
    return kSuccess;
  }

  const std::string& Destination() const { return destination_; }

  struct Folder {
    int fd = -1;
    std::string shown;        // the path the user sees
    std::string engine_path;  // the path handed to the engine
  };

  // The folder for `category`: a real directory, never a link; a name taken by
  // a link or a file gives "category(n)".
  int FolderFor(const std::string& category, const Folder** out) {
    if (const auto it = folders_.find(category); it != folders_.end()) {
      *out = &it->second;
      return kSuccess;
    }
    for (int n = 0; n < kMaxNumberedFolders; ++n) {
      const std::string name = n == 0 ? category : NumberedName(category, n);
      if (::mkdirat(destination_fd_, name.c_str(), 0755) != 0 && errno != EEXIST) return LastError();
      const int fd = ::openat(destination_fd_, name.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) continue;
        return LastError();
      }
      Folder folder{fd, JoinPath(destination_, name),
                    through_proc_ ? "/proc/self/fd/" + std::to_string(fd)
                                  : JoinPath(destination_, name)};
      *out = &folders_.emplace(category, std::move(folder)).first->second;
      return kSuccess;
    }
    return kErrFileExists;
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

 private:
  std::string destination_;
  int destination_fd_ = -1;
  bool through_proc_ = false;
  std::map<std::string, Folder> folders_;
  std::map<std::string, int> next_number_;
};

struct RecoveryWorkflow::FileContext {
  RecoveryWorkflow* self = nullptr;
  WorkflowObserver* observer = nullptr;
  CancelToken* cancel = nullptr;
  const Output::Folder* folder = nullptr;
  std::string written;   // name the engine reported writing
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
      file->self->Progress(shown, JoinPath(file->folder->shown, file->written)));
  return 0;
}

RecoveryProgress RecoveryWorkflow::Progress(int percent, const std::string& current) const {
  RecoveryProgress progress;
  progress.percent = percent;
  progress.current = current;
  progress.counts = counts_;
  progress.percent_text = FormatText("%s %d%%", {Lookup(messages_, msg::kRecoverPercent),
                                                 std::to_string(percent)});
  progress.counts_text = FormatText(
      Lookup(messages_, msg::kRecoverCounts),
      {std::to_string(counts_.processed), std::to_string(counts_.total),
       std::to_string(counts_.processed - counts_.failed), std::to_string(counts_.failed)});
  return progress;
}

const ScanSource* RecoveryWorkflow::ScannedVolumeHolding(const std::string& destination) const {
  // A destination still to be made lands on the file system of its nearest existing folder.
  std::string existing = destination;
  struct stat st {};
  while (::stat(existing.c_str(), &st) != 0 && existing != "/" && existing != ".") {
    existing = ParentFolderOf(existing);
  }
  const std::vector<platform::DiskExtent> extents = platform::DiskExtentsBeneathPath(existing);
  for (const ScanSource* source : sources_.All()) {
    if (!source->engine || source->IsImage()) continue;
    const PartitionEntry& entry = *source->entry;
    const uint64_t units = entry.sector_size / 512;
    const uint64_t start = entry.start * units;
    const uint64_t end = start + entry.length * units;
    for (const platform::DiskExtent& extent : extents) {
      if (extent.disk != DiskNameOf(entry.disk_path)) continue;
      if (extent.start_512 < end && start < extent.start_512 + extent.count_512) return source;
    }
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
  observer.OnRecoveryProgress(Progress(100, line.target));
}

int RecoveryWorkflow::RecoverRecord(const ScanRecord& record, Output& output,
                                    WorkflowObserver& observer, CancelToken& cancel) {
  IFileRecoveryParse* engine = sources_.EngineFor(record);
  if (engine == nullptr) {
    // Nothing holds the engine that found it any more.
    ++counts_.processed;
    ++counts_.failed;
    return kSuccess;
  }
  const Output::Folder* folder = nullptr;
  const std::string category = CategoryOfName(RecordName(record));
  int result = output.FolderFor(category, &folder);
  const std::string name = SafeComponentName(RecordName(record));
  if (result != kSuccess) {
    Report({JoinPath(JoinPath(output.Destination(), category), name), ErrorText(result), true},
           observer);
    return kSuccess;
  }
  const std::string target = output.FreeName(*folder, name);
  FileContext file{this, &observer, &cancel, folder, target, false, 0};
  if (engine->SetScanCallback(nullptr, &OnFileProgress, &file, 100) != 0) return kErrInvalidParameter;
  const std::string engine_path = folder->engine_path + "/" + target;
  int base_depth = 0;
  for (size_t i = 0; i + 1 < folder->engine_path.size(); ++i) base_depth += folder->engine_path[i] == '/';
  result = engine->RecoverFile(record, engine_path, base_depth);
  engine->SetScanCallback(nullptr, nullptr, nullptr, 100);
  const int error = result != kSuccess ? result : file.error;
  // A file left part way would look recovered: it goes. The name was free
  // before the copy, so whatever stands there now is the engine's.
  if (error != kSuccess && !record.is_directory && IsRegularFile(folder->fd, file.written)) {
    ::unlinkat(folder->fd, file.written.c_str(), 0);
  }
  if (result == kCancelledByUser) return result;
  const std::string shown = JoinPath(folder->shown, file.written);
  Report(error == kSuccess ? RecoveryLine{shown, "Success", false}
                           : RecoveryLine{shown, ErrorText(error), true},
         observer);
  return kSuccess;
}

RunResult RecoveryWorkflow::Run(const ScanRecordList& records, const std::string& destination,
                                WorkflowObserver& observer, CancelToken& cancel) {
  counts_ = RecoveryCounts{};
  counts_.total = static_cast<int>(records.size());
  lines_.clear();
  std::string folder = destination;
  if (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  Output output;
  const int opened = output.Open(folder);
  if (opened != kSuccess) {
    for (const ScanRecord& record : records) {
      Report({JoinPath(folder, SafeComponentName(RecordName(record))), ErrorText(opened), true},
             observer);
    }
    return RunResult::kFinished;
  }
  for (const ScanRecord& record : records) {
    const int result = RecoverRecord(record, output, observer, cancel);
    if (result == kCancelledByUser) return RunResult::kCancelled;
    if (result != kSuccess) break;
  }
  return RunResult::kFinished;
}

RunResult RecoveryWorkflow::RecoverOne(const ScanRecord& record, const std::string& destination,
                                       WorkflowObserver& observer, CancelToken& cancel) {
  return Run(ScanRecordList{record}, destination, observer, cancel);
}

}  // namespace velmora::app
