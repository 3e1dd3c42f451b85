#include <algorithm>
#include <limits>
#include <vector>

#include "signature/formats/format.h"

namespace velmora::formats {

namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr size_t kPacketBytes = 188;
constexpr size_t kProbeBytes = 4096;
constexpr size_t kPacketsRequired = 22;
constexpr std::string_view kMtsPat{"\x00\x00\xB0\x11\x00\x00\xC1\x00", 8};

bool SyncAtEveryPacket(const uint8_t* buffer, size_t length) {
  for (size_t at = 0; at < length; at += kPacketBytes) {
    if (buffer[at] != kSyncByte) return false;
  }
  return true;
}

bool TwentyTwoPacketsFollow(const CarveContext& context) {
  const size_t sector = static_cast<size_t>(context.sector_size);
  const size_t needed = (kPacketsRequired - 1) * kPacketBytes + 1;
  const size_t sectors =
      std::max((kProbeBytes + sector - 1) / sector, (needed + sector - 1) / sector);
  std::vector<uint8_t> data(sectors * sector);
  if (!context.Read(context.cursor, static_cast<uint32_t>(sectors), data.data())) return false;
  for (size_t packet = 0; packet < kPacketsRequired; ++packet) {
    if (data[packet * kPacketBytes] != kSyncByte) return false;
  }
  return true;
}

// A packet boundary in the sector before means the candidate is the middle of a stream.
bool ContinuesEarlierStream(const CarveContext& context) {
  if (context.cursor == 0) return true;
  const size_t sector = static_cast<size_t>(context.sector_size);
  std::vector<uint8_t> previous(sector);
  if (!context.Read(context.cursor - 1, 1, previous.data())) return true;
  for (size_t back = kPacketBytes; back <= sector; back += kPacketBytes) {
    if (previous[sector - back] == kSyncByte) return true;
  }
  return false;
}

bool InsideCarvedStream(const CarveContext& context) {
  return std::any_of(context.ts_ranges.begin(), context.ts_ranges.end(), [&](const TsRange& r) {
    return context.start_sector >= r.first_sector && context.start_sector <= r.last_sector;
  });
}

// Once a stream of this kind is being measured, its later packets (nonzero leading
// bytes) are not taken for new files.
int IdentifyMts(CarveContext& context, const uint8_t* b, size_t length) {
  if (length < 16 || !bytes::At(b, length, 8, kMtsPat)) return kNoSignatureType;
  const bool leading_zero = b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0;
  return leading_zero || !context.mts_flag ? 47 : kNoSignatureType;
}

int IdentifyTransportStream(CarveContext& context, const uint8_t* buffer, size_t length) {
  if (length < kPacketBytes || buffer[0] != kSyncByte) return kNoSignatureType;
  if (buffer[1] == 0 && buffer[2] == 0 && buffer[3] == 0) return kNoSignatureType;
  if (!SyncAtEveryPacket(buffer, length)) return kNoSignatureType;
  if (context.sector_size <= 0 || !TwentyTwoPacketsFollow(context)) return kNoSignatureType;
  if (context.ts_continuation && (ContinuesEarlierStream(context) || InsideCarvedStream(context))) {
    return kNoSignatureType;
  }
  return 20;
}

// The stream ends where the run of whole packets starting with the sync byte ends, or at
// the next boundary when that comes first.
uint64_t MeasureTransportStream(CarveContext& context, const uint8_t* buffer, size_t length) {
  uint64_t next_packet = 0;
  bool run_ended = false;
  while (next_packet < length) {
    if (buffer[next_packet] != kSyncByte) {
      run_ended = true;
      break;
    }
    next_packet += kPacketBytes;
  }
  uint64_t result;
  if (run_ended) {
    result = std::min<uint64_t>(next_packet, ForwardScan(context, 64 * kGiB));
  } else {
    result = ForwardScan(
        context, 64 * kGiB, BoundaryMode::kEveryType, [&](const ScanChunk& chunk, uint64_t* end) {
          const uint64_t chunk_end = chunk.file_offset + chunk.bytes;
          next_packet = std::max(next_packet, chunk.file_offset);
          while (next_packet < chunk_end) {
            if (chunk.data[next_packet - chunk.file_offset] != kSyncByte) {
              // Reading on cannot shorten the answer any more.
              const uint64_t scanned = chunk.boundary_found
                                           ? chunk.file_offset + chunk.boundary_offset
                                           : std::numeric_limits<uint64_t>::max();
              *end = std::min(next_packet, scanned);
              return true;
            }
            next_packet += kPacketBytes;
          }
          return false;
        });
  }
  const uint64_t sector = static_cast<uint64_t>(context.sector_size);
  if (sector > 0 && result > 0) {
    context.ts_ranges.push_back(
        {context.start_sector, context.start_sector + (result + sector - 1) / sector - 1});
  }
  return result;
}

}  // namespace

extern const Format kTransportStream = {
    "ts", nullptr, 20, "others", "\x47", 1, true, IdentifyTransportStream, MeasureTransportStream};
extern const Format kMts = {"mts", nullptr, 47, "video", "", 0, true, IdentifyMts, ToBoundary4GiB};

}  // namespace velmora::formats
