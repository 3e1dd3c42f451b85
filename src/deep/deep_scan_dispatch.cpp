#include "deep/deep_scan_dispatch.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "deep/structure_classifier.h"
#include "fat/fat_directory_entry.h"
#include "fat/fat_entry_checks.h"
#include "fat/fat_sector_classifier.h"
#include "ntfs/mft_record.h"
#include "signature/boundary.h"
#include "signature/identify_walk.h"
#include "storage/byte_view.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr uint16_t kNtfsDirectoryFlag = 0x0002;
// Bytes read again when a record runs past the end of the buffer.
constexpr size_t kRecordRereadBytes = 8192;

// A live volume-label entry: the one kind of entry the deep directory-sector test fills in.
bool IsLiveLabel(const uint8_t* entry) {
  const FatEntry e = DecodeEntry(entry);
  return !e.IsDeleted() && e.attributes == kFatAttrVolumeLabel;
}

// Whether the deep directory-sector test could differ from the plain one, for a sector whose
// first entry passed: only a volume-label entry before the end mark lets it pass a sector the
// plain test refuses. Checked first because the deep test copies the sector on every call.
bool MayHoldVolumeLabel(const uint8_t* sector, size_t length) {
  for (size_t offset = 0; offset + kFatEntrySize <= length; offset += kFatEntrySize) {
    const uint8_t* entry = sector + offset;
    if (DecodeEntry(entry).EndsDirectory()) return false;
    if (IsLiveLabel(entry)) return true;
  }
  return false;
}

const std::vector<StructureTest>& StructureTests() {
  static const std::vector<StructureTest> tests = FileSystemStructureTests();
  return tests;
}

}  // namespace

// Each test once: the directory-sector test serves the dispatch and the structure test
// alike, and the structure test is the one FileSystemStructureTests gives, spelt out.
static uint8_t ClassifySector(const uint8_t* sector, int32_t sector_size) {
  const size_t sector_bytes = static_cast<size_t>(sector_size);
  uint8_t hint = 0;
  if (MayIdentify(sector, sector_bytes)) hint |= kHintMayIdentify;
  const bool record = ntfs::LooksLikeFileRecordSector(sector, sector_size);
  // The tests below that nearly every sector fails are passed over on their first byte: a
  // folder's first sector starts with ".", a boot sector with a jump (0xEB), an NTFS
  // structure with "FILE", "INDX", "RSTR" or "$\0S\0T\0A".
  const uint8_t first = sector[0];
  const bool directory_start = first == '.' && IsDirectoryStartSector(sector, sector_bytes);
  // Both directory-sector tests judge the first entry first, and most sectors fail there:
  // it is judged once. A first entry that is neither the end mark, a plausible entry nor a
  // label fails the plain test and the deep one alike (filling only changes label entries,
  // and a label after it cannot make a first entry plausible).
  bool first_fails = false;
  if (sector_bytes >= kFatEntrySize && first != 0) {
    const uint8_t* next = sector_bytes >= 2 * kFatEntrySize ? sector + kFatEntrySize : nullptr;
    first_fails = !IsLiveLabel(sector) && !IsPlausibleDirectoryEntry(sector, next);
  }
  const bool directory_sector = !first_fails && IsDirectorySector(sector, sector_bytes);
  if (record) {
    hint |= kHintNtfsRecord;
  } else if (directory_start) {
    hint |= kHintDirectoryStart;
  } else if (directory_sector || (!first_fails && MayHoldVolumeLabel(sector, sector_bytes) &&
                                  IsDeepDirectorySector(sector, sector_bytes))) {
    hint |= kHintDirectorySector;
  }
  if (sector_size >= 32 && (directory_start || directory_sector ||
                            (first == 0xEB && IsBootSector(sector, sector_bytes)) ||
                            ((first == 'F' || first == 'I' || first == 'R' || first == '$') &&
                             ntfs::IsNtfsStructureSector(sector, sector_bytes)))) {
    hint |= kHintStructure;
  }
  return hint;
}

void ClassifySectors(const uint8_t* data, uint32_t sector_count, int32_t sector_size,
                     uint8_t* hints) {
  const size_t sector_bytes = static_cast<size_t>(sector_size);
  // The tests touch the head of each sector and little else: asking for the sectors a few
  // ahead keeps the loop from waiting on memory at every one.
  constexpr uint32_t kAhead = 16;
  for (uint32_t i = 0; i < sector_count; ++i) {
    if (i + kAhead < sector_count) {
      const uint8_t* ahead = data + static_cast<size_t>(i + kAhead) * sector_bytes;
      __builtin_prefetch(ahead);
      if (sector_bytes > 256) __builtin_prefetch(ahead + 256);
    }
    hints[i] = ClassifySector(data + static_cast<size_t>(i) * sector_bytes, sector_size);
  }
}

DispatchResult DeepScanDispatch(const DispatchBuffer& buffer, uint64_t start_index,
                                SectorReader* source, uint64_t source_end, DeepSectorSink* sink) {
  DispatchResult result;
  const uint64_t count = buffer.sector_count;
  const size_t sector_bytes = static_cast<size_t>(buffer.sector_size);
  std::vector<uint8_t> reread;
  uint64_t i = start_index;
  while (i < count) {
    const uint8_t* sector = buffer.data + i * sector_bytes;
    const uint64_t sector_number = buffer.first_sector + i;
    const uint64_t held_until = sink->HeldUntil();
    if (held_until != 0) {
      if (sector_number >= held_until) {
        sink->EndHeldAt(held_until);
      } else if (buffer.unreadable != nullptr && buffer.unreadable[i] != 0) {
        // A read of the file would fail here too: it keeps its measured length.
        sink->EndHeldAt(held_until);
        i = held_until - buffer.first_sector;
        continue;
      } else if (buffer.hints != nullptr
                     ? (buffer.hints[i] & kHintStructure) != 0
                     : IsFileSystemStructure(StructureTests(), sector, buffer.sector_size) != 0) {
        sink->EndHeldAt(sector_number);
      } else {
        ++i;
        continue;
      }
    }
    if (buffer.unreadable != nullptr && buffer.unreadable[i] != 0) {
      ++i;
      continue;
    }
    // Without hints every sector no metadata engine takes is offered for carving.
    const uint8_t hint = buffer.hints != nullptr
                             ? buffer.hints[i]
                             : ClassifySector(sector, buffer.sector_size) | kHintMayIdentify;
    if ((hint & kHintWanted) == 0) {
      // Most sectors are wanted by none: with no held file to end, the run of them is handed
      // over at once.
      uint64_t end = i + 1;
      if (held_until == 0 && buffer.hints != nullptr) {
        while (end < count && (buffer.hints[end] & kHintWanted) == 0 &&
               (buffer.unreadable == nullptr || buffer.unreadable[end] == 0)) {
          ++end;
        }
      }
      if (end == i + 1) {
        sink->Unrecognised(sector, sector_number);
      } else {
        sink->UnrecognisedRun(sector, sector_number, end - i, sector_bytes);
      }
      i = end;
      continue;
    }
    uint64_t skip = 1;
    if ((hint & kHintNtfsRecord) != 0) {
      const size_t record_bytes = ntfs::RecordBytesForSector(buffer.sector_size);
      const size_t remaining = static_cast<size_t>(count - i) * sector_bytes;
      const bool directory =
          (ByteView({sector, sector_bytes}).Le16(22).value_or(0) & kNtfsDirectoryFlag) != 0;
      if (!directory) {
        if (remaining >= record_bytes) {
          sink->OnNtfsFileRecord(sector, record_bytes, sector_number);
        } else if (source != nullptr) {
          // The record continues past this buffer: read it whole from the source.
          const uint64_t end = std::min<uint64_t>(source_end, source->total_sectors);
          const uint64_t wanted = kRecordRereadBytes / sector_bytes;
          const uint64_t available = end > sector_number ? end - sector_number : 0;
          const uint32_t sectors = static_cast<uint32_t>(std::min(wanted, available));
          reread.assign(kRecordRereadBytes, 0);
          uint32_t got = 0;
          ReadSectors(source, static_cast<int32_t>(sectors), reread.data(), sector_number,
                      buffer.sector_size, &got);
          if (static_cast<size_t>(got) * sector_bytes >= record_bytes) {
            sink->OnNtfsFileRecord(reread.data(), record_bytes, sector_number);
          }
        }
      }
    } else if ((hint & kHintDirectoryStart) != 0) {
      sink->OnFatDirectoryStart(sector, sector_number);
    } else if ((hint & kHintDirectorySector) != 0) {
      sink->OnFatDirectorySector(sector, sector_number);
    } else {
      const int status = sink->Carve(sector, sector_number, &skip);
      if (status == kCancelledByUser) {
        result.status = status;
        result.next_index = i;
        return result;
      }
      if (status != kSuccess || skip == 0) skip = 1;
    }
    i += skip;
  }
  result.next_index = i;
  return result;
}

}  // namespace velmora
