#include "deep_scan_driver.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "storage/error_codes.h"
#include "storage/sector_reader.h"

namespace velmora::testing {

namespace {

constexpr uint32_t kSectorBytes = 512;
constexpr uint32_t kBufferBytes = 65536;
constexpr uint32_t kSeparateReadBytes = 8192;

uint32_t U32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
uint16_t U16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

}  // namespace

int RunDeepNtfsPass(CProfessionalNtfsRecovery* engine, const std::string& image, uint64_t start,
                    uint64_t count, const char* log_name) {
  SectorReader reader;
  int rc = OpenImageFile(&reader, image);
  if (rc != kSuccess) return rc;
  rc = engine->OpenDeepLog(log_name);
  if (rc != kSuccess && rc != kErrNotEnoughMemory) return rc;
  const uint32_t record_bytes = kSectorBytes > 512 ? kSectorBytes : 2 * kSectorBytes;
  count = std::min(count, reader.total_sectors - std::min(start, reader.total_sectors));
  std::vector<uint8_t> buffer(kBufferBytes);
  std::vector<uint8_t> separate(kSeparateReadBytes);
  for (uint64_t at = 0; at < count;) {
    const auto sectors =
        static_cast<uint32_t>(std::min<uint64_t>(kBufferBytes / kSectorBytes, count - at));
    uint32_t got = 0;
    if (ReadSectors(&reader, static_cast<int32_t>(sectors), buffer.data(), start + at, kSectorBytes,
                    &got) != kSuccess) {
      at += sectors;
      continue;
    }
    for (uint32_t i = 0; i < sectors; ++i) {
      const uint8_t* sector = buffer.data() + static_cast<size_t>(i) * kSectorBytes;
      if (std::memcmp(sector, "FILE", 4) != 0) continue;
      if (U32(sector + 24) > record_bytes || U32(sector + 28) != record_bytes) continue;
      if (U16(sector + 48) != U16(sector + 510)) continue;
      if ((U16(sector + 22) & 0x0002) != 0) continue;
      std::span<const uint8_t> record(sector, record_bytes);
      const size_t remaining = static_cast<size_t>(sectors - i) * kSectorBytes;
      if (remaining < record_bytes) {
        const uint64_t left = reader.total_sectors - (start + at + i);
        const auto n =
            static_cast<uint32_t>(std::min<uint64_t>(kSeparateReadBytes / kSectorBytes, left));
        std::fill(separate.begin(), separate.end(), 0);
        ReadSectors(&reader, static_cast<int32_t>(n), separate.data(), start + at + i, kSectorBytes,
                    &got);
        record = std::span<const uint8_t>(separate.data(), separate.size());
      }
      engine->HandleFileRecord(record, start + at + i,
                               CProfessionalNtfsRecovery::RecordPass::kFirst, 0);
    }
    at += sectors;
  }
  return engine->FinishDirectories();
}

}  // namespace velmora::testing
