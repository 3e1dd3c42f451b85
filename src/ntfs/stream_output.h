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

// Previews the record's stream, up to its size, into `memory` (at most *bytes) or else into a
// preview file in the scan-log folder (its path in *path). `usable` is the engine's verdict
// that it is open; a folder record, or no place to put the bytes, is refused. Every failure
// clears *path; the callback gets a final 100 unless it stopped the copy itself.
int PreviewRecordStream(bool usable, const ScanRecord& record, const StreamLoader& load,
                        const StreamCopier& copy, std::string* path, uint8_t* memory, int* bytes,
                        PreviewProgressCallback callback, void* context);

}  // namespace velmora::ntfs
