#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/file_recovery_parse.h"
#include "engine/scan_record.h"
#include "ntfs/attribute_stream.h"

namespace velmora::ntfs {

// Writing a record's data stream out, shared by the NTFS engines; each engine
// supplies how the stream is loaded and how its bytes are read.

// Loads the stream of the record being written.
using StreamLoader = std::function<int(NtfsStream* stream)>;
// Delivers the first `size` bytes of a loaded stream to `sink`.
using StreamCopier =
    std::function<int(const NtfsStream& stream, uint64_t size, const StreamSink& sink)>;

// Copies the stream, up to `record_size`, into a new file at `path` (a "(n)"
// name when taken). Progress goes to `progress` for the path actually
// written; its non-zero result stops the copy and is returned. Resident data
// is one piece, reported once; failures are reported with their code.
int ExtractStreamToFile(const StreamLoader& load, const StreamCopier& copy, uint64_t record_size,
                        const std::string& path, FileProgressCallback progress, void* context);

// Creates the preview file for `record` in `folder`, replacing an earlier
// preview of that name (a regular file only). On success `*fd` is open and
// `*target` is the path created.
int CreatePreviewFile(const std::string& folder, const ScanRecord& record, int* fd,
                      std::string* target);

// Delivers `size` bytes of a loaded stream to `memory`, or else to the open
// preview file `fd` at `target` (closed here, removed when the copy fails).
// Sets *path and *bytes for the caller and reports the end to `callback`
// unless the callback itself stopped the copy.
int DeliverPreview(const NtfsStream& stream, uint64_t size, const StreamCopier& copy, int fd,
                   std::string target, std::string* path, uint8_t* memory, int* bytes,
                   PreviewProgressCallback callback, void* context);

}  // namespace velmora::ntfs
