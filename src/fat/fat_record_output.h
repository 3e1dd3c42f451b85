#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "engine/file_recovery_parse.h"
#include "engine/scan_log_store.h"
#include "engine/scan_record.h"
#include "fat/fat_file_reader.h"

namespace velmora {

// Copy-out and preview shared by the FAT engines; each engine supplies how a
// record's data is read (by its FAT chain, or from consecutive clusters).

// Clusters above this size cannot come from a real FAT volume.
constexpr uint64_t kMaxFatClusterBytes = 104857600;

// Streams the first `size` bytes of the record being copied to `sink`.
using FatRecordReader = std::function<int(uint64_t size, const FatDataSink& sink)>;
// Copies one file record to `path`.
using FatFileCopier = std::function<int(const ScanRecord& record, const std::string& path)>;

// Writes `size` bytes to a new file at `path` (a "(n)" name when taken),
// reporting progress for the path actually written and a final 100 on an
// empty file or on a failure the callback did not cause itself. When the read fails and
// `own_bytes` (may be null) then holds fewer bytes than were written, the file is cut there:
// what is left of a failed copy holds only bytes that can be the file's own.
int CopyFatFileOut(const FatRecordReader& read, uint64_t size, const std::string& path,
                   FileProgressCallback progress, void* context,
                   const uint64_t* own_bytes = nullptr);

// Recovers a checked record to `destination`: a file into the folder part of
// it (created when missing) under its last name made safe; a folder by
// creating `destination` and copying everything below it, breadth first so a
// folder's files come before its subfolders' contents. The depth of the
// folder's children comes from its ancestors in `store` or, when it has none
// there, from the separators of `destination` less `base_depth` (below 1
// counts as 1). Stops at a negative result (cancel or worse); otherwise
// returns the first error met.
// The children are listed by `engine`.
int RecoverFatRecord(IFileRecoveryParse& engine, ScanLogStore* store, const ScanRecord& record,
                     const std::string& destination, int base_depth,
                     const FatFileCopier& copy_file);

// Previews a file record into `memory` (up to *bytes) or to a file (`*path`,
// or a name in the scan-log folder when empty). `checked` is the engine's
// verdict on the record; the callback gets a final 100 unless the result is
// negative.
int PreviewFatRecord(const ScanRecord& record, int checked, const FatRecordReader& read,
                     std::string* path, uint8_t* memory, int* bytes,
                     PreviewProgressCallback callback, void* context);

}  // namespace velmora
