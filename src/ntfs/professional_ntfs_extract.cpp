// Copying out and previewing files found by the deep NTFS scan: the record is
// read again where it was found, with the cluster size and volume start the
// scan stored in it.
#include <fcntl.h>
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

bool InExtensionList(std::string_view list, std::string_view extension) {
  if (extension.empty()) return false;
  const std::string token = "*." + std::string(extension);
  for (size_t at = list.find(token); at != std::string_view::npos; at = list.find(token, at + 1)) {
    const size_t end = at + token.size();
    if (end == list.size() || list[end] == '|') return true;
  }
  return false;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

int CProfessionalNtfsRecovery::LoadRecordForCopy(const ScanRecord& record,
                                                 std::vector<uint8_t>* buffer,
                                                 MftRecord* parsed, const MftAttribute** data) {
  if (!reader_.IsOpen()) return kErrInvalidParameter;
  const int rc = ReadRecordAtSector(record.location, buffer);
  if (rc != kSuccess) return rc;
  MftRecordHeader header;
  if (!ParseMftRecordHeader(*buffer, &header) || ApplyFixup(*buffer) == FixupResult::kBadArray) {
    return kNtfsNotRecord;
  }
  if (header.first_attribute >= record_bytes_ || header.bytes_in_use > record_bytes_ ||
      header.bytes_in_use < header.first_attribute) {
    return kErrInvalidParameter;
  }
  ParseMftRecord(*buffer, parsed);
  // Attribute lists are not followed: the data must start in this record.
  for (const MftAttribute& a : parsed->attributes) {
    if (a.type == kAttrData && !a.IsNamed() && (!a.non_resident || a.start_vcn == 0)) {
      *data = &a;
      return kSuccess;
    }
  }
  return kNtfsAttributeMissing;
}

int CProfessionalNtfsRecovery::CopyRecordData(
    const ScanRecord& record, uint64_t limit,
    const std::function<int(const uint8_t*, size_t, uint64_t)>& sink) {
  std::vector<uint8_t> buffer;
  MftRecord parsed;
  const MftAttribute* data = nullptr;
  const int rc = LoadRecordForCopy(record, &buffer, &parsed, &data);
  if (rc != kSuccess) return rc;
  if (!data->non_resident && data->value.size() >= record_bytes_) return kErrInvalidParameter;
  if (data->non_resident &&
      (record.cluster_size <= 0 || record.cluster_size % sector_bytes_ != 0)) {
    return kErrInvalidParameter;
  }
  const VolumeWindow volume{&reader_, record.partition_start, sector_bytes_,
                            static_cast<uint32_t>(std::max(record.cluster_size, 0))};
  const uint64_t total = std::min(limit, data->DataSize());
  return CopyAttributeData(volume, *data, total, [&](const uint8_t* bytes, size_t n) {
    return sink(bytes, n, total);
  });
}

int CProfessionalNtfsRecovery::GetDataRuns(const ScanRecord& record, std::vector<DataRun>* runs) {
  runs->clear();
  std::vector<uint8_t> buffer;
  MftRecord parsed;
  const MftAttribute* data = nullptr;
  const int rc = LoadRecordForCopy(record, &buffer, &parsed, &data);
  if (rc != kSuccess) return rc;
  if (!data->non_resident) return kSuccess;
  if (record.cluster_size <= 0 || record.cluster_size % sector_bytes_ != 0) {
    return kErrInvalidParameter;
  }
  const VolumeWindow volume{&reader_, record.partition_start, sector_bytes_,
                            static_cast<uint32_t>(record.cluster_size)};
  DecodeDataRuns(data->mapping_pairs, data->start_vcn, volume.ClusterLimit(), runs);
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
  if (record.is_directory) return CreateFolderTree(path);
  int fd = -1;
  std::string created;
  int rc = CreateOutputFile(path, &fd, &created);
  if (rc != kSuccess) return rc;
  uint64_t written = 0;
  rc = CopyRecordData(record, record.size, [&](const uint8_t* bytes, size_t n, uint64_t total) {
    const int write_rc = WriteAll(fd, bytes, n);
    if (write_rc != kSuccess) return write_rc;
    written += n;
    if (!file_progress_) return 0;
    return file_progress_(callback_context_, static_cast<int>(written * 100 / total), 100, 0,
                          created.c_str());
  });
  ::close(fd);
  if (rc > 0 && file_progress_) file_progress_(callback_context_, 100, 100, rc, created.c_str());
  return rc;
}

int CProfessionalNtfsRecovery::RecoverFile(const ScanRecord& record,
                                           const std::string& destination, int base_depth) {
  if (!record.is_directory) {
    const int rc = CreateFolderTree(FolderOf(destination));
    if (rc != kSuccess) return rc;
    return RecoverOne(record, destination);
  }
  std::string folder = destination;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  const int level = static_cast<int>(std::count(folder.begin(), folder.end(), '/')) - base_depth;
  if (level < 0) return kErrInvalidParameter;
  return RecoverTree(record, folder, level);
}

// Breadth first, as the folders of one level are listed together.
int CProfessionalNtfsRecovery::RecoverTree(const ScanRecord& record,
                                           const std::string& destination, int level) {
  struct Pending {
    ScanRecord directory;
    std::string path;
    int level;
  };
  int result = CreateFolderTree(destination);
  if (result != kSuccess) return result;
  std::deque<Pending> queue;
  queue.push_back({record, destination, level});
  while (!queue.empty()) {
    const Pending current = std::move(queue.front());
    queue.pop_front();
    ScanRecordList children;
    result = GetChildren(&current.directory, current.level, &children);
    if (result != kSuccess) continue;
    for (const ScanRecord& child : children) {
      const std::string path =
          JoinPath(current.path, SafeComponentName(RecordName(child)));
      result = RecoverOne(child, path);
      if (result == kCancelledByUser) return result;
      if (child.is_directory && result == kSuccess &&
          current.level + 1 < static_cast<int>(kMaxParentDepth)) {
        queue.push_back({child, path, current.level + 1});
      }
    }
  }
  return result;
}

int CProfessionalNtfsRecovery::PreviewFile(const ScanRecord& record, std::string* path,
                                           uint8_t* memory, int* bytes,
                                           PreviewProgressCallback callback, void* context) {
  auto report = [&](int percent, int error) {
    return callback ? callback(context, percent, error) : 0;
  };
  if (record.is_directory || (!memory && !path) || (memory && (!bytes || *bytes < 0))) {
    report(100, kErrInvalidParameter);
    return kErrInvalidParameter;
  }
  int fd = -1;
  std::string target;
  uint64_t limit = record.size;
  size_t placed = 0;
  if (!memory) {
    const std::string extension = AsciiLower(ExtensionOf(RecordName(record)));
    std::string name = SafeComponentName(RecordName(record));
    if (InExtensionList(kAudioExtensions, extension) ||
        InExtensionList(kVideoExtensions, extension)) {
      name = "tmp.avi";
    } else if (InExtensionList(kPhotoExtensions, extension)) {
      name = "tmp.jpg";
    }
    const std::string folder = ScanLogDirectory();
    int rc = CreateFolderTree(folder);
    if (rc == kSuccess) {
      target = JoinPath(folder, name);
      ::unlink(target.c_str());
      fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd < 0) rc = LastError();
    }
    if (rc != kSuccess) {
      path->clear();
      report(100, rc);
      return rc;
    }
  } else {
    limit = std::min<uint64_t>(limit, static_cast<uint64_t>(*bytes));
  }
  uint64_t done = 0;
  int rc = CopyRecordData(record, limit, [&](const uint8_t* data, size_t n, uint64_t total) {
    if (fd >= 0) {
      const int write_rc = WriteAll(fd, data, n);
      if (write_rc != kSuccess) return write_rc;
    } else {
      std::memcpy(memory + placed, data, n);
      placed += n;
    }
    done += n;
    return report(static_cast<int>(done * 100 / total), 0);
  });
  if (rc > 0) report(100, rc);
  if (rc == kSuccess) report(100, 0);
  if (fd >= 0) {
    ::close(fd);
    if (rc != kSuccess) {
      ::unlink(target.c_str());
      target.clear();
    }
    *path = target;
  }
  if (memory) *bytes = static_cast<int>(placed);
  return rc;
}

}  // namespace velmora
