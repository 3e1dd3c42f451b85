#include <algorithm>
#include <set>
#include <vector>

#include "signature/formats/format.h"
#include "storage/byte_view.h"

namespace velmora::formats {

namespace {

constexpr std::string_view kSignature = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
constexpr uint64_t kLengthCap = 134'217'727;
constexpr uint32_t kLastRegularSector = 0xFFFFFFFA;
constexpr uint32_t kEndOfChain = 0xFFFFFFFC;
constexpr uint32_t kFreeSector = 0xFFFFFFFF;
constexpr size_t kHeaderDifatEntries = 109;
constexpr size_t kDirectoryEntryBytes = 128;

constexpr int kWordProcessing = 0;
constexpr int kOtherCompound = 2;
constexpr int kSpreadsheet = 3;
constexpr int kPresentation = 5;

// The sector size recorded in the header; 512 when the field is not one of the two legal values.
uint32_t SectorShift(const uint8_t* header, size_t length) {
  const uint16_t shift = ByteView({header, length}).Le16(30).value_or(9);
  return shift == 12 ? 12 : 9;
}

// Compound sector n lies one header sector plus n sectors after the file's first byte.
bool ReadCompoundSector(const CarveContext& context, uint64_t base, uint32_t shift, uint64_t n,
                        std::vector<uint8_t>* out) {
  const uint64_t size = uint64_t{1} << shift;
  out->resize(size);
  return context.ReadBytesFrom(base, (n + 1) * size, size, out->data());
}

bool NameIs(ByteView entry, std::u16string_view name) {
  for (size_t i = 0; i < name.size(); ++i) {
    const uint16_t c = entry.Le16(2 * i).value_or(0);
    const auto lower = [](uint16_t ch) { return ch >= 'A' && ch <= 'Z' ? ch + 32 : ch; };
    if (lower(c) != lower(name[i])) return false;
  }
  return true;
}

int ClassifyByDirectory(const std::vector<uint8_t>& directory) {
  static constexpr std::string_view kTail{"\x00\x00\x00\x00\xC0\x00\x00\x00\x00\x00\x00\x46", 12};
  static constexpr std::string_view kWordClass{"\x06\x09\x02\x00", 4};
  static constexpr std::string_view kExcelClass1{"\x20\x08\x02\x00", 4};
  static constexpr std::string_view kExcelClass2{"\x10\x08\x02\x00", 4};
  static constexpr std::string_view kPowerPointClass{
      "\x10\x8D\x81\x64\x9B\x4F\xCF\x11\x86\xEA\x00\xAA\x00\xB9\x29\xE8", 16};
  const uint8_t* d = directory.data();
  const size_t n = directory.size();
  if (bytes::At(d, n, 84, kTail)) {
    if (bytes::At(d, n, 80, kWordClass)) return kWordProcessing;
    if (bytes::At(d, n, 80, kExcelClass1) || bytes::At(d, n, 80, kExcelClass2)) return kSpreadsheet;
  }
  if (bytes::At(d, n, 80, kPowerPointClass)) return kPresentation;
  for (size_t at = 0; at + kDirectoryEntryBytes <= n; at += kDirectoryEntryBytes) {
    const ByteView entry = ByteView(directory).Sub(at, kDirectoryEntryBytes);
    if (NameIs(entry, u"WordDocument")) return kWordProcessing;
    if (NameIs(entry, u"Workbook")) return kSpreadsheet;
    if (NameIs(entry, u"PowerPoint Document")) return kPresentation;
  }
  return kOtherCompound;
}

struct HeaderCounts {
  uint32_t shift;
  uint32_t fat_sectors;
  uint32_t difat_sectors;
};

// The header's counts when they describe a possible file; fat_sectors 0 otherwise.
HeaderCounts CheckHeader(ByteView h) {
  if (h.size() < 512) return {9, 0, 0};
  const uint32_t shift = h.Le16(30).value_or(0);
  if (shift != 9 && shift != 12) return {9, 0, 0};
  const uint32_t limit = (kLastRegularSector >> (shift - 2)) + 1;
  const uint32_t fat = h.Le32(44).value_or(0);
  const uint32_t mini_fat = h.Le32(64).value_or(0);
  const uint32_t difat = h.Le32(72).value_or(0);
  if (fat > limit || mini_fat > limit) return {shift, 0, 0};
  if (difat > limit / ((1u << (shift - 2)) - 1) + 1) return {shift, 0, 0};
  if (difat != 0 && fat <= 108) return {shift, 0, 0};
  // Without DIFAT sectors every FAT sector must be listed in the header's 109 slots.
  if (difat == 0 && fat > kHeaderDifatEntries) return {shift, 0, 0};
  return {shift, fat, difat};
}

// Follows the DIFAT chain to the entry naming the last FAT sector.
bool LastFatSector(const CarveContext& context, ByteView header, const HeaderCounts& counts,
                   uint32_t* last) {
  if (counts.difat_sectors == 0) {
    const std::optional<uint32_t> slot = header.Le32(76 + 4 * (counts.fat_sectors - 1));
    if (!slot) return false;
    *last = *slot;
    return true;
  }
  const uint32_t per_sector = (1u << counts.shift) / 4 - 1;  // the last slot chains on
  std::vector<uint8_t> sector;
  std::set<uint32_t> visited;
  uint32_t next = header.Le32(68).value_or(0);
  for (uint32_t k = 1; k <= counts.difat_sectors; ++k) {
    if (next >= kEndOfChain || !visited.insert(next).second) return false;
    if (!ReadCompoundSector(context, context.start_sector, counts.shift, next, &sector)) {
      return false;
    }
    if (k == counts.difat_sectors) {
      const auto remainder =
          static_cast<uint32_t>((counts.fat_sectors - kHeaderDifatEntries) % per_sector);
      const uint32_t index = remainder == 0 ? per_sector - 1 : remainder - 1;
      const std::optional<uint32_t> slot = ByteView(sector).Le32(4 * size_t{index});
      if (!slot) return false;
      *last = *slot;
      return true;
    }
    next = ByteView(sector).Le32(4 * size_t{per_sector}).value_or(kEndOfChain);
  }
  return false;
}

uint64_t ScanForWordMarkers(CarveContext& context) {
  static constexpr std::string_view kPropertyMark{"\x01\x00\xFE\xFF\x03\x0A", 6};
  static constexpr std::string_view kProducer{"Microsoft Office Word \xCE\xC4\xB5\xB5", 26};
  const uint64_t sector = static_cast<uint64_t>(context.sector_size);
  return ForwardScan(
      context, kLengthCap, BoundaryMode::kEveryType, [&](const ScanChunk& chunk, uint64_t* end) {
        if (bytes::Find(chunk.data, chunk.bytes, kPropertyMark) == bytes::kNotFound) {
          return false;
        }
        const size_t at = bytes::Find(chunk.data, chunk.bytes, kProducer);
        if (at == bytes::kNotFound) return false;
        const uint64_t marker_end = chunk.file_offset + at + kProducer.size();
        *end = (marker_end + sector - 1) / sector * sector;
        return true;
      });
}

int IdentifyCompoundFile(CarveContext& context, const uint8_t* buffer, size_t length) {
  if (length < 8 || !bytes::At(buffer, length, 0, kSignature)) return kNoSignatureType;
  const uint32_t shift = SectorShift(buffer, length);
  std::vector<uint8_t> sector;
  if (!ReadCompoundSector(context, context.cursor, shift, 0, &sector)) return kOtherCompound;
  const ByteView first(sector);
  if (first.Le16(0) == 0xA5EC) return kWordProcessing;
  if (first.Le16(0) == 0x0809 && first.Le16(2) == 0x0010 && first.Le16(4) == 0x0600) {
    return kSpreadsheet;
  }
  if (length < 52) return kOtherCompound;
  const uint32_t first_directory = ByteView({buffer, length}).Le32(48).value_or(0);
  if (!ReadCompoundSector(context, context.cursor, shift, first_directory, &sector)) {
    return kOtherCompound;
  }
  return ClassifyByDirectory(sector);
}

uint64_t MeasureCompoundFile(CarveContext& context, const uint8_t* buffer, size_t length) {
  const ByteView header({buffer, length});
  const HeaderCounts counts = CheckHeader(header);
  if (counts.fat_sectors == 0) return ScanForWordMarkers(context);
  const uint64_t sector_size = uint64_t{1} << counts.shift;
  const uint64_t entries_per_sector = sector_size / 4;
  uint64_t trailing_free = 0;
  uint32_t last = 0;
  std::vector<uint8_t> fat;
  if (LastFatSector(context, header, counts, &last) && last <= kLastRegularSector &&
      ReadCompoundSector(context, context.start_sector, counts.shift, last, &fat)) {
    for (uint64_t i = entries_per_sector; i > 0; --i) {
      if (ByteView(fat).Le32(4 * (i - 1)) != kFreeSector) break;
      ++trailing_free;
    }
  }
  const uint64_t sectors = counts.fat_sectors * entries_per_sector + 1 - trailing_free;
  return std::min(sectors * sector_size, kLengthCap);
}

}  // namespace

extern const Format kWordDocument = {"doc",
                                     "dot wps wpt",
                                     0,
                                     "document",
                                     "\xD0",
                                     1,
                                     false,
                                     IdentifyCompoundFile,
                                     MeasureCompoundFile};
extern const Format kSpreadsheet = {"xls",
                                    "xlt xla et ett",
                                    3,
                                    "document",
                                    "\xD0",
                                    1,
                                    false,
                                    IdentifyCompoundFile,
                                    MeasureCompoundFile};
extern const Format kPresentation = {"ppt",
                                     "pot pps dps dpt",
                                     5,
                                     "document",
                                     "\xD0",
                                     1,
                                     false,
                                     IdentifyCompoundFile,
                                     MeasureCompoundFile};
extern const Format kOtherCompound = {
    "ole", nullptr, 2, "document", "\xD0", 1, false, IdentifyCompoundFile, MeasureCompoundFile};

}  // namespace velmora::formats
