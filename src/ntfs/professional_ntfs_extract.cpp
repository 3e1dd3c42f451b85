// Copying out and previewing files found by the deep NTFS scan: the record is
// read again where it was found, with the cluster size and volume start the
// scan stored in it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "ntfs/deep_data_copy.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs/professional_ntfs_recovery.h"
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
  for (size_t at = list.find(token); at != std::string_view::npos; at = list.find(token, at + 1)) {
    const size_t end = at + token.size();
    if (end == list.size() || list[end] == '|') return true;
  }
  return false;
}

}  // namespace

VolumeWindow CProfessionalNtfsRecovery::WindowOf(const ScanRecord& record) {
  const bool usable = record.cluster_size > 0 && record.cluster_size % sector_bytes_ == 0;
  return VolumeWindow{&reader_, record.partition_start, sector_bytes_,
                      usable ? static_cast<uint32_t>(record.cluster_size) : 0};
}

// The record is read again where the scan found it; its data may continue in
// extension records of the same MFT.
int CProfessionalNtfsRecovery::LoadRecordStream(const ScanRecord& record, NtfsStream* stream) {
  if (!reader_.IsOpen()) return kErrInvalidParameter;
  std::vector<uint8_t> buffer;
  const int rc = ReadRecordAtSector(record.location, &buffer);
  if (rc != kSuccess) return rc;
  MftRecordHeader header;
  if (!ParseMftRecordHeader(buffer, &header) || ApplyFixup(buffer) == FixupResult::kBadArray) {
    return kNtfsNotRecord;
  }
  if (header.first_attribute >= record_bytes_ || header.bytes_in_use > record_bytes_ ||
      header.bytes_in_use < header.first_attribute) {
    return kErrInvalidParameter;
  }
  uint32_t number = 0;
  std::memcpy(&number, buffer.data() + 0x2C, sizeof(number));
  MftRecord parsed;
  ParseMftRecord(buffer, &parsed);
  MftLayout layout;
  if (!LayoutForRecord(number, record.location, &layout)) layout = MftLayout{};
  const VolumeWindow volume = WindowOf(record);
  if (volume.cluster_bytes == 0) {
    // Without a cluster size only resident data can be read.
    const MftAttribute* data = parsed.Find(kAttrData, true);
    if (!data) return kNtfsAttributeMissing;
    if (data->non_resident) return kErrInvalidParameter;
  }
  const int loaded = LoadDeepStream(parsed, number, layout, volume, stream);
  if (loaded != kSuccess) return loaded;
  if (stream->resident && stream->resident_data.size() >= record_bytes_) return kErrInvalidParameter;
  return kSuccess;
}

int CProfessionalNtfsRecovery::GetDataRuns(const ScanRecord& record, std::vector<DataRun>* runs) {
  runs->clear();
  NtfsStream stream;
  const int rc = LoadRecordStream(record, &stream);
  if (rc != kSuccess) return rc;
  if (!stream.resident) *runs = std::move(stream.runs);
  return kSuccess;
}

bool CProfessionalNtfsRecovery::DataStartSector(const ScanRecord& record, uint64_t* sector) {
  std::vector<DataRun> runs;
  if (GetDataRuns(record, &runs) != kSuccess || runs.empty() ||
      runs.front().kind != RunKind::kAllocated) {
    return false;
  }
  *sector = record.partition_start +
            runs.front().lcn * static_cast<uint64_t>(record.cluster_size) / sector_bytes_;
  return true;
}

int CProfessionalNtfsRecovery::RecoverOne(const ScanRecord& record, const std::string& path) {
  NtfsStream stream;
  int rc = LoadRecordStream(record, &stream);
  std::string written_path = path;
  int fd = -1;
  if (rc == kSuccess) rc = CreateOutputFile(path, &fd, &written_path);
  if (rc != kSuccess) {
    if (file_progress_) file_progress_(callback_context_, 100, 100, rc, written_path.c_str());
    return rc;
  }
  const uint64_t size = std::min(uint64_t{record.size}, stream.Size());
  uint64_t done = 0;
  bool stopped = false;
  rc = CopyDeepStream(WindowOf(record), stream, size, [&](const uint8_t* data, size_t length) {
    const int write_rc = WriteAll(fd, data, length);
    if (write_rc != kSuccess) return write_rc;
    done += length;
    if (!stream.resident && file_progress_) {
      const int stop =
          file_progress_(callback_context_, PercentDone(done, size), 100, 0, written_path.c_str());
      if (stop != 0) {
        stopped = true;
        return stop;
      }
    }
    return 0;
  });
  ::close(fd);
  if (file_progress_ && !stopped && (rc != kSuccess || stream.resident)) {
    file_progress_(callback_context_, 100, 100, rc, written_path.c_str());
  }
  return rc;
}

int CProfessionalNtfsRecovery::RecoverFile(const ScanRecord& record,
                                           const std::string& destination, int base_depth) {
  if (!reader_.IsOpen() || destination.empty()) return kErrInvalidParameter;
  if (!record.is_directory) {
    const int rc = CreateFolderTree(ParentFolderOf(destination));
    if (rc != kSuccess) return rc;
    return RecoverOne(record, destination);
  }
  if (!store_) return kErrInvalidParameter;
  std::string folder = destination;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const int rc = CreateFolderTree(folder);
  if (rc != kSuccess) return rc;
  // The folder's level in the rebuilt tree: separators in the destination minus the base.
  const int level = static_cast<int>(std::count(folder.begin(), folder.end(), '/')) - base_depth;
  if (level < 0) return kErrInvalidParameter;
  return RecoverTree(record, folder, level);
}

// Breadth first: a folder's files are copied before the folders below it.
int CProfessionalNtfsRecovery::RecoverTree(const ScanRecord& top, const std::string& destination,
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
    rc = store_->ListChildren({entry.record.object_id, static_cast<uint32_t>(entry.level)},
                              &children);
    if (rc != kSuccess) {
      result = rc;
      continue;
    }
    for (const ScanRecord& child : children) {
      const std::string name = SafeComponentName(RecordName(child));
      if (child.is_directory) {
        std::string folder;
        result = MakeRecoveredSubfolder(entry.folder, name, &folder);
        // Levels only grow, so a tree with a loop in it still ends.
        if (result == kSuccess && entry.level + 1 < static_cast<int>(kMaxParentDepth)) {
          queue.push_back({child, folder, entry.level + 1});
        }
        continue;
      }
      result = RecoverOne(child, JoinPath(entry.folder, name));
      if (result == kCancelledByUser) return result;
    }
  }
  return result;
}

int CProfessionalNtfsRecovery::PreviewFile(const ScanRecord& record, std::string* path,
                                           uint8_t* memory, int* bytes,
                                           PreviewProgressCallback callback, void* context) {
  auto finish = [&](int result) {
    if (callback) callback(context, 100, result);
    return result;
  };
  if (!reader_.IsOpen() || record.is_directory || (!memory && !path) ||
      (memory && (!bytes || *bytes < 0))) {
    if (path) path->clear();
    return finish(kErrInvalidParameter);
  }
  NtfsStream stream;
  int rc = LoadRecordStream(record, &stream);
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
    if (rc != kSuccess) {
      path->clear();
      return finish(rc);
    }
    const std::string name = SafeComponentName(RecordName(record));
    const std::string_view extension = ExtensionOf(name);
    std::string file_name = name;
    if (InExtensionList(kAudioExtensions, extension) ||
        InExtensionList(kVideoExtensions, extension)) {
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
      path->clear();
      return finish(rc);
    }
  } else {
    size = std::min<uint64_t>(size, static_cast<uint64_t>(*bytes));
  }

  uint64_t done = 0;
  bool stopped = false;
  rc = CopyDeepStream(WindowOf(record), stream, size, [&](const uint8_t* data, size_t length) {
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
