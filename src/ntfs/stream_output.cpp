#include "ntfs/stream_output.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "storage/error_codes.h"

namespace velmora::ntfs {

namespace {

constexpr char kPreviewDocumentExtensions[] =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|"
    "*.ppsm|*.odp|*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|"
    "*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

// Whole-entry match of "*.ext" in a "|"-separated list.
bool InExtensionList(std::string_view list, std::string_view extension) {
  if (extension.empty()) return false;
  const std::string token = "*." + AsciiLower(extension);
  for (size_t at = list.find(token); at != std::string_view::npos; at = list.find(token, at + 1)) {
    const size_t end = at + token.size();
    if (end == list.size() || list[end] == '|') return true;
  }
  return false;
}

// Media share one "tmp" name per kind so the viewer reuses it; documents and
// archives keep their name; anything else is marked as a preview copy.
std::string PreviewFileName(const std::string& name) {
  const std::string_view extension = ExtensionOf(name);
  if (InExtensionList(kAudioExtensions, extension) ||
      InExtensionList(kVideoExtensions, extension)) {
    return "tmp.avi";
  }
  if (InExtensionList(kPhotoExtensions, extension)) return "tmp.jpg";
  if (!InExtensionList(kPreviewDocumentExtensions, extension)) return "preview-" + name;
  return name;
}

}  // namespace

int ExtractStreamToFile(const StreamLoader& load, const StreamCopier& copy, uint64_t record_size,
                        const std::string& path, FileProgressCallback progress, void* context) {
  NtfsStream stream;
  int rc = load(&stream);
  std::string written_path = path;
  int fd = -1;
  if (rc == kSuccess) rc = CreateOutputFile(path, &fd, &written_path);
  if (rc != kSuccess) {
    if (progress) progress(context, 100, 100, rc, written_path.c_str());
    return rc;
  }
  const uint64_t size = std::min(record_size, stream.Size());
  uint64_t done = 0;
  bool stopped = false;
  rc = copy(stream, size, [&](const uint8_t* data, size_t length) {
    const int write_rc = WriteAll(fd, data, length);
    if (write_rc != kSuccess) return write_rc;
    done += length;
    if (!stream.resident && progress) {
      const int stop = progress(context, PercentDone(done, size), 100, 0, written_path.c_str());
      if (stop != 0) {
        stopped = true;
        return stop;
      }
    }
    return 0;
  });
  ::close(fd);
  if (progress && !stopped && (rc != kSuccess || stream.resident)) {
    progress(context, 100, 100, rc, written_path.c_str());
  }
  return rc;
}

namespace {

// Creates the preview file for `record` in `folder`, replacing an earlier preview of that name
// (a regular file only). On success `*fd` is open and `*target` is the path created.
int CreatePreviewFile(const std::string& folder, const ScanRecord& record, int* fd,
                      std::string* target) {
  *target = JoinPath(folder, PreviewFileName(SafeComponentName(RecordName(record))));
  struct stat st {};
  if (::lstat(target->c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(target->c_str());
  return CreateOutputFile(*target, fd, target);
}

// Delivers `size` bytes of a loaded stream to `memory`, or else to the open preview file `fd`
// at `target` (closed here, removed when the copy fails).
int DeliverPreview(const NtfsStream& stream, uint64_t size, const StreamCopier& copy, int fd,
                   std::string target, std::string* path, uint8_t* memory, int* bytes,
                   PreviewProgressCallback callback, void* context) {
  uint64_t done = 0;
  bool stopped = false;
  const int rc = copy(stream, size, [&](const uint8_t* data, size_t length) {
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
  if (callback) callback(context, 100, rc);
  return rc;
}

}  // namespace

int PreviewRecordStream(bool usable, const ScanRecord& record, const StreamLoader& load,
                        const StreamCopier& copy, std::string* path, uint8_t* memory, int* bytes,
                        PreviewProgressCallback callback, void* context) {
  auto fail = [&](int result) {
    if (path) path->clear();
    if (callback) callback(context, 100, result);
    return result;
  };
  if (!usable || record.is_directory || (!memory && !path) || (memory && (!bytes || *bytes < 0))) {
    return fail(kErrInvalidParameter);
  }
  NtfsStream stream;
  int rc = load(&stream);
  if (rc != kSuccess) return fail(rc);
  uint64_t size = std::min(uint64_t{record.size}, stream.Size());

  int fd = -1;
  std::string target;
  if (!memory) {
    const std::string folder = ScanLogDirectory();
    rc = CreateFolderTree(folder);
    if (rc == kSuccess) rc = CreatePreviewFile(folder, record, &fd, &target);
    if (rc != kSuccess) return fail(rc);
  } else {
    size = std::min<uint64_t>(size, static_cast<uint64_t>(*bytes));
  }
  return DeliverPreview(stream, size, copy, fd, target, path, memory, bytes, callback, context);
}

}  // namespace velmora::ntfs
