// One MFT record as read from disk: fix-ups applied in place, then the header, the
// attribute walk, the names and each attribute's mapping pairs.
#include <vector>

#include "fuzz_target.h"
#include "ntfs/attribute_list.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_record.h"

using namespace velmora::ntfs;

VELMORA_FUZZ_TARGET(mft_record) {
  std::vector<uint8_t> record(data, data + size);
  (void)HasFileMagic(record);
  if (size >= 512) {
    (void)LooksLikeFileRecordSector(record.data(), 512);
    (void)IsNtfsStructureSector(record.data(), record.size());
  }
  const std::vector<uint8_t> before = record;
  if (ApplyFixup(record) == FixupResult::kBadArray) FUZZ_CHECK(record == before);
  MftRecordHeader header;
  (void)ParseMftRecordHeader(record, &header);
  MftRecord parsed;
  if (ParseMftRecord(record, &parsed) == MftRecordVerdict::kNotRecord) return;
  const uint8_t* begin = record.data();
  const uint8_t* end = begin + record.size();
  for (const MftAttribute& a : parsed.attributes) {
    // Every span points inside the record it was parsed from.
    for (auto span : {a.name_utf16, a.value, a.mapping_pairs}) {
      if (span.empty()) continue;
      FUZZ_CHECK(span.data() >= begin && span.data() + span.size() <= end);
    }
    (void)a.NameUtf8();
    if (a.type == kAttrFileName && !a.non_resident) {
      FileNameAttribute name;
      (void)ParseFileName(a.value, &name);
    }
    if (a.type == kAttrAttributeList && !a.non_resident) {
      std::vector<AttributeListEntry> entries;
      (void)ParseAttributeList(a.value, &entries);
    }
    if (a.non_resident) {
      std::vector<DataRun> runs;
      (void)DecodeDataRuns(a.mapping_pairs, a.start_vcn, 0, &runs);
      (void)TotalClusters(runs);
    }
  }
  FileNameAttribute preferred;
  (void)PreferredFileName(parsed, &preferred);
}
