// The merged listing of the deep scan: named files first, carved files only when
// they are not the same file seen again.
#include "deep/merge_results.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/record_text.h"
#include "engine/scan_record.h"

namespace velmora {
namespace {

// An engine that lists a fixed set of records, whatever the filter.
class FixedList : public IFileRecoveryParse {
 public:
  explicit FixedList(ScanRecordList records) : records_(std::move(records)) {}
  int OpenImage(const std::string&, char16_t) override { return 0; }
  int OpenPartition(int, uint64_t, uint64_t, char16_t) override { return 0; }
  int SetScanCallback(ScanProgressCallback, FileProgressCallback, void*, int) override { return 0; }
  int Scan(const char*) override { return 0; }
  int GetChildren(const ScanRecord*, int, ScanRecordList*) override { return 0; }
  int CountFiles(const ScanRecord*, int, int*) override { return 0; }
  uint64_t GetRecordCount() override { return records_.size(); }
  int GetFullPath(const ScanRecord&, std::string*) override { return 0; }
  int RecoverFile(const ScanRecord&, const std::string&, int) override { return 0; }
  int GetNextFreeRange(uint64_t*, uint64_t*) override { return 0; }
  int SetRecoverCallback(ListingProgressCallback, void*) override { return 0; }
  int GetFilesByType(const std::string&, ScanRecordList* out) override {
    out->insert(out->end(), records_.begin(), records_.end());
    return 1;
  }
  int LoadClusterBitmap() override { return 0; }
  int PreviewFile(const ScanRecord&, std::string*, uint8_t*, int*, PreviewProgressCallback,
                  void*) override {
    return 0;
  }

 private:
  ScanRecordList records_;
};

ScanRecord Make(uint32_t kind, const char* name, uint64_t location) {
  ScanRecord r{};
  r.source_kind = kind;
  r.location = location;
  SetRecordName(&r, name);
  return r;
}

TEST(MergeResultsTest, CarvedCopyOfANamedFileIsDroppedOtherKindsStay) {
  // Named files and where their data starts.
  FixedList ntfs({Make(kSourceNtfsDeep, "a.jpg", 900), Make(kSourceNtfsDeep, "b.thm", 901),
                  Make(kSourceNtfsDeep, "c.pdf", 902), Make(kSourceNtfsDeep, "tiny.txt", 903)});
  const std::map<uint64_t, uint64_t> data_start = {{900, 20480}, {901, 30720}, {902, 40960}};
  const DataSectorOf data_sector_of = [&](const ScanRecord& r, uint64_t* sector) {
    auto it = data_start.find(r.location);
    if (it == data_start.end()) return false;  // resident data: no runs
    *sector = it->second;
    return true;
  };
  FixedList carved({Make(kSourceSignature, "20480.JPG", 20480),  // same file, other case
                    Make(kSourceSignature, "30720.jpg", 30720),  // the thumbnail's picture
                    Make(kSourceSignature, "40960.png", 40960),  // other kind at a pdf's start
                    Make(kSourceSignature, "50000.jpg", 50000)});

  ScanRecordList out;
  EXPECT_EQ(MergeResultsByType("*.jpg|", nullptr, nullptr, &ntfs, &carved, data_sector_of, &out), 0);
  std::vector<std::string> names;
  for (const auto& r : out) names.emplace_back(RecordName(r));
  EXPECT_EQ(names, (std::vector<std::string>{"40960.png", "50000.jpg", "a.jpg", "b.thm",
                                             "c.pdf", "tiny.txt"}));
}

TEST(MergeResultsTest, EnginesAreCollectedInOrderAndSortedTogether) {
  FixedList quick({Make(kSourceFatQuick, "Zeta.doc", 1)});
  FixedList fat({Make(kSourceFatDeep, "alpha.doc", 2)});
  FixedList carved({Make(kSourceSignature, "777.pdf", 777)});
  ScanRecordList out = {Make(kSourceSignature, "kept-before.bin", 5)};
  MergeResultsByType("", &quick, &fat, nullptr, &carved, nullptr, &out);
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(RecordName(out[0]), "kept-before.bin");  // what the caller had stays first
  EXPECT_EQ(RecordName(out[1]), "777.pdf");
  EXPECT_EQ(RecordName(out[2]), "alpha.doc");
  EXPECT_EQ(RecordName(out[3]), "Zeta.doc");
}

TEST(MergeResultsTest, FatDataSectorFollowsTheFirstCluster) {
  ScanRecord r = Make(kSourceFatDeep, "x.jpg", 0);
  r.object_id = 10;
  r.cluster_size = 4096;
  r.data_area_start = 1000;
  r.partition_start = 2048;
  uint64_t sector = 0;
  ASSERT_TRUE(MetadataRecordDataSector(r, nullptr, 512, &sector));
  EXPECT_EQ(sector, 8u * 8 + 2048 + 1000);
  r.object_id = 1;  // no such cluster
  EXPECT_FALSE(MetadataRecordDataSector(r, nullptr, 512, &sector));
  r.source_kind = kSourceSignature;
  EXPECT_FALSE(MetadataRecordDataSector(r, nullptr, 512, &sector));
}

}  // namespace
}  // namespace velmora
