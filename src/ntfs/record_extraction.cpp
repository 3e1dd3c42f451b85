#include "ntfs/record_extraction.h"

#include <unistd.h>

#include <algorithm>

#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "storage/error_codes.h"

namespace velmora::ntfs {

namespace {

int Percent(uint64_t done, uint64_t total) {
  return total == 0 ? 100 : static_cast<int>(done * 100 / total);
}

}  // namespace

int LoadRecordStream(NtfsVolume& volume, const ScanRecord& record, NtfsStream* stream) {
  if (!volume.IsOpen()) return kErrInvalidParameter;
  std::vector<uint8_t> buffer;
  int rc = volume.ReadMftRecordAtSector(record.location, &buffer);
  if (rc != kSuccess) return rc;
  MftRecord mft;
  if (ParseMftRecord(buffer, &mft) == MftRecordVerdict::kNotRecord) return kNtfsNotRecord;
  // "name:stream" records carry a named stream; a colon can also be part of a
  // name written by other systems, so fall back to the unnamed data.
  const std::string_view name = RecordName(record);
  const size_t colon = name.find(':');
  if (colon != std::string_view::npos) {
    std::string_view stream_name = name.substr(colon + 1);
    rc = LoadStream(volume, mft, record.object_id, kAttrData, stream_name, stream);
    if (rc != kNtfsAttributeMissing) return rc;
    // A name that filled the record's name field was cut: the stream's name starts with what is left.
    if (name.size() + 4 >= kRecordNameBytes && !stream_name.empty()) {
      for (const std::string& candidate : NamedDataStreams(volume, mft)) {
        if (candidate.rfind(stream_name, 0) == 0) {
          return LoadStream(volume, mft, record.object_id, kAttrData, candidate, stream);
        }
      }
    }
  }
  return LoadStream(volume, mft, record.object_id, kAttrData, "", stream);
}

int ExtractRecordToFile(NtfsVolume& volume, const ScanRecord& record, const std::string& path,
                        FileProgressCallback progress, void* context) {
  NtfsStream stream;
  int rc = LoadRecordStream(volume, record, &stream);
  std::string written_path = path;
  int fd = -1;
  if (rc == kSuccess) rc = CreateOutputFile(path, &fd, &written_path);
  if (rc != kSuccess) {
    if (progress) progress(context, 100, 100, rc, written_path.c_str());
    return rc;
  }
  const uint64_t size = std::min(uint64_t{record.size}, stream.Size());
  uint64_t done = 0;
  bool stopped = false;
  rc = CopyStreamData(volume, stream, size, [&](const uint8_t* data, size_t length) {
    const int write_rc = WriteAll(fd, data, length);
    if (write_rc != kSuccess) return write_rc;
    done += length;
    if (!stream.resident && progress) {
      const int stop = progress(context, Percent(done, size), 100, 0, written_path.c_str());
      if (stop != 0) {
        stopped = true;
        return stop;
      }
    }
    return 0;
  });
  ::close(fd);
  // Resident data is one piece, reported once; failures are reported with their code.
  if (progress && !stopped && (rc != kSuccess || stream.resident)) {
    progress(context, 100, 100, rc, written_path.c_str());
  }
  return rc;
}

}  // namespace velmora::ntfs
