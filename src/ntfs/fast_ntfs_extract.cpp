// Copying files, folder trees and previews out of an NTFS volume.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "ntfs/attribute_stream.h"
#include "ntfs/fast_ntfs_recovery.h"
#include "ntfs/record_extraction.h"
#include "storage/error_codes.h"

namespace velmora {

using namespace ntfs;

namespace {

constexpr char kPreviewDocumentExtensions[] =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|"
    "*.ppsm|*.odp|*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|"
    "*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

// Whole-entry match of "*.ext" in a "|"-separated list.
bool InExtensionList(std::string_view list, std::string_view extension) {
  if (extension.empty()) return false;
  const std::string token = "*." + AsciiLower(extension);
  size_t pos = 0;
  while ((pos = list.find(token, pos)) != std::string_view::npos) {
    const size_t end = pos + token.size();
    if (end == list.size() || list[end] == '|') return true;
    pos = end;
  }
  return false;
}

int SeparatorsIn(const std::string& path) {
  std::string trimmed = path;
  while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
  return static_cast<int>(std::count(trimmed.begin(), trimmed.end(), '/'));
}

}  // namespace

int CFastNtfsRecovery::RecoverOne(const ScanRecord& record, const std::string& path) {
  if (!volume_.IsOpen()) return kErrInvalidParameter;
  return ExtractRecordToFile(volume_, record, path, file_progress_, callback_context_);
}

int CFastNtfsRecovery::RecoverTree(const ScanRecord& top, const std::string& destination,
                                   int level) {
  struct Pending {
    ScanRecord record;
    std::string folder;
    int level;
  };
  int rc = store_->Flush();
  if (rc != kSuccess) return rc;
  std::deque<Pending> queue;
  queue.push_back({top, destination, level});
  int result = kSuccess;
  while (!queue.empty()) {
    Pending entry = std::move(queue.front());
    queue.pop_front();
    ScanRecordList children;
    rc = store_->ListChildren({entry.record.object_id, static_cast<uint32_t>(entry.level)}, &children);
    if (rc != kSuccess) {
      result = rc;
      continue;
    }
    for (const ScanRecord& child : children) {
      const std::string name = SafeComponentName(RecordName(child));
      if (child.is_directory) {
        std::string folder;
        result = MakeRecoveredSubfolder(entry.folder, name, &folder);
        if (result == kSuccess) queue.push_back({child, folder, entry.level + 1});
        continue;
      }
      result = RecoverOne(child, JoinPath(entry.folder, name));
      if (result == kCancelledByUser) return result;
    }
  }
  return result;
}

int CFastNtfsRecovery::RecoverFile(const ScanRecord& record, const std::string& destination,
                                   int base_depth) {
  if (!volume_.IsOpen() || destination.empty()) return kErrInvalidParameter;
  if (!record.is_directory) {
    const int rc = CreateFolderTree(ParentFolderOf(destination));
    if (rc != kSuccess) return rc;
    return RecoverOne(record, destination);
  }
  if (!store_) return kErrInvalidParameter;
  const int rc = CreateFolderTree(destination);
  if (rc != kSuccess) return rc;
  // The folder's level in the volume's tree: separators in the destination minus the base.
  const int level = SeparatorsIn(destination) - base_depth;
  if (level < 0) return kErrInvalidParameter;
  return RecoverTree(record, destination, level);
}

int CFastNtfsRecovery::PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory,
                                   int* bytes, PreviewProgressCallback callback, void* context) {
  auto finish = [&](int result) {
    if (callback) callback(context, 100, result);
    return result;
  };
  if (!volume_.IsOpen() || record.is_directory || (memory && (!bytes || *bytes < 0))) {
    if (path) path->clear();
    return finish(kErrInvalidParameter);
  }
  NtfsStream stream;
  int rc = LoadRecordStream(volume_, record, &stream);
  if (rc != kSuccess) {
    if (path) path->clear();
    return finish(rc);
  }
  uint64_t size = std::min(uint64_t{record.size}, stream.Size());

  int fd = -1;
  std::string target;
  if (!memory) {
    const std::string folder = ScanLogDirectory();
    rc = CreateFolderTree(folder);
    if (rc != kSuccess) return finish(rc);
    const std::string name = SafeComponentName(RecordName(record));
    const std::string_view extension = ExtensionOf(name);
    std::string file_name = name;
    if (InExtensionList(kAudioExtensions, extension) || InExtensionList(kVideoExtensions, extension)) {
      file_name = "tmp.avi";
    } else if (InExtensionList(kPhotoExtensions, extension)) {
      file_name = "tmp.jpg";
    } else if (!InExtensionList(kPreviewDocumentExtensions, extension)) {
      file_name = "preview-" + name;
    }
    target = JoinPath(folder, file_name);
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(target.c_str());
    rc = CreateOutputFile(target, &fd, &target);
    if (rc != kSuccess) {
      if (path) path->clear();
      return finish(rc);
    }
  } else {
    size = std::min<uint64_t>(size, static_cast<uint64_t>(*bytes));
  }

  uint64_t done = 0;
  bool stopped = false;
  rc = CopyStreamData(volume_, stream, size, [&](const uint8_t* data, size_t length) {
    if (memory) {
      std::copy(data, data + length, memory + done);
    } else {
      const int write_rc = WriteAll(fd, data, length);
      if (write_rc != kSuccess) return write_rc;
    }
    done += length;
    if (callback && !stream.resident) {
      const int stop = callback(context, PercentDone(done, size), 0);
      if (stop != 0) {
        stopped = true;
        return stop;
      }
    }
    return 0;
  });
  if (fd >= 0) {
    ::close(fd);
    if (rc != kSuccess) {
      ::unlink(target.c_str());
      target.clear();
    }
  }
  if (path) *path = memory ? std::string() : target;
  if (bytes) *bytes = memory ? static_cast<int>(done) : 0;
  if (stopped) return rc;
  return finish(rc);
}

}  // namespace velmora
