// Copying files, folder trees and previews out of an NTFS volume.
#include "ntfs/attribute_stream.h"
#include "ntfs/folder_tree_copy.h"
#include "ntfs/quick_ntfs_recovery.h"
#include "ntfs/record_extraction.h"
#include "ntfs/stream_output.h"
#include "storage/error_codes.h"

namespace velmora {

using namespace ntfs;

int CFastNtfsRecovery::RecoverOne(const ScanRecord& record, const std::string& path) {
  if (!volume_.IsOpen()) return kErrInvalidParameter;
  return ExtractRecordToFile(volume_, record, path, file_progress_, callback_context_);
}

int CFastNtfsRecovery::RecoverFile(const ScanRecord& record, const std::string& destination,
                                   int base_depth) {
  if (!volume_.IsOpen()) return kErrInvalidParameter;
  return RecoverRecordTo(
      store_.get(), record, destination, base_depth, 0,
      [this](const ScanRecord& child, const std::string& path) { return RecoverOne(child, path); });
}

int CFastNtfsRecovery::PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory,
                                   int* bytes, PreviewProgressCallback callback, void* context) {
  return PreviewRecordStream(
      volume_.IsOpen(), record,
      [this, &record](NtfsStream* stream) { return LoadRecordStream(volume_, record, stream); },
      [this](const NtfsStream& loaded, uint64_t limit, const StreamSink& sink) {
        return CopyStreamData(volume_, loaded, limit, sink);
      },
      path, memory, bytes, callback, context);
}

}  // namespace velmora
