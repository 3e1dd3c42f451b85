#include "ntfs/record_extraction.h"

#include "engine/record_text.h"
#include "ntfs/stream_output.h"
#include "storage/error_codes.h"

namespace velmora::ntfs {

int LoadRecordStream(NtfsVolume& volume, const ScanRecord& record, NtfsStream* stream) {
  if (!volume.IsOpen()) return kErrInvalidParameter;
  std::vector<uint8_t> buffer;
  MftRecord mft;
  int rc = volume.ReadMftRecordAtSector(record.location, &buffer, &mft);
  if (rc != kSuccess) return rc;
  // "name:stream" records carry a named stream; a colon can also be part of a
  // name written by other systems, so fall back to the unnamed data.
  const std::string_view name = RecordName(record);
  const size_t colon = name.find(':');
  if (colon != std::string_view::npos) {
    std::string_view stream_name = name.substr(colon + 1);
    rc = LoadStream(volume, mft, record.object_id, kAttrData, stream_name, stream);
    if (rc != kNtfsAttributeMissing) return rc;
    // A name that filled the record's name field was cut: the stream's name starts with what is
    // left.
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
  return ExtractStreamToFile(
      [&](NtfsStream* stream) { return LoadRecordStream(volume, record, stream); },
      [&](const NtfsStream& stream, uint64_t size, const StreamSink& sink) {
        return CopyStreamData(volume, stream, size, sink);
      },
      record.size, path, progress, context);
}

}  // namespace velmora::ntfs
