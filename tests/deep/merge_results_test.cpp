// The merged listing of the deep scan: named files first, carved files only when
// they are not the same file seen again.
#include "deep/merge_results.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/scan_log_store.h"
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
  int GetFullPath(const ScanRecord& record, std::string* path) override {
    const auto it = paths_.find(std::string(RecordName(record)));
    if (it != paths_.end()) *path = it->second;
    return 0;
  }
  void SetPath(const std::string& name, const std::string& path) { paths_[name] = path; }
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
  std::map<std::string, std::string> paths_;
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
  EXPECT_EQ(MergeResultsByType("*.jpg|", nullptr, nullptr, &ntfs, &carved, data_sector_of, &out),
            0);
  std::vector<std::string> names;
  for (const auto& r : out) names.emplace_back(RecordName(r));
  EXPECT_EQ(names, (std::vector<std::string>{"40960.png", "50000.jpg", "a.jpg", "b.thm", "c.pdf",
                                             "tiny.txt"}));
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

ScanRecord Named(uint32_t kind, const char* name, uint32_t object_id, uint64_t size) {
  ScanRecord r = Make(kind, name, 0);
  r.object_id = object_id;
  r.size = size;
  r.cluster_size = 4096;
  r.content_check = 1;
  return r;
}

TEST(MergeResultsTest, AFileFoundByTheQuickAndADeepEngineIsListedOnceUnderItsRealFolder) {
  FixedList quick({Named(kSourceFatQuick, "a.jpg", 10, 100), Named(kSourceFatQuick, "b.jpg", 11, 5),
                   Named(kSourceFatQuick, "c.jpg", 12, 7),
                   Named(kSourceFatQuick, "empty.txt", 0, 0)});
  quick.SetPath("a.jpg", "DCIM/");
  quick.SetPath("b.jpg", "LostFolder3/");
  FixedList fat({Named(kSourceFatDeep, "A~1.JPG", 10, 100), Named(kSourceFatDeep, "b.jpg", 11, 5),
                 Named(kSourceFatDeep, "c2.jpg", 12, 8), Named(kSourceFatDeep, "EMPTY.TXT", 0, 0)});
  fat.SetPath("A~1.JPG", "LostFolder7/");
  fat.SetPath("b.jpg", "DCIM/");
  FixedList ntfs({Named(kSourceNtfsDeep, "n.doc", 70, 9), Named(kSourceNtfsDeep, "n2.doc", 70, 9)});
  const DataSectorOf data_sector_of = [](const ScanRecord& r, uint64_t* sector) {
    return MetadataRecordDataSector(r, nullptr, 512, sector);
  };
  ScanRecordList out;
  MergeResultsByType("", &quick, &fat, &ntfs, nullptr, data_sector_of, &out);
  std::map<std::string, uint32_t> kinds;
  for (const auto& r : out) kinds[std::string(RecordName(r))] = r.source_kind;
  // Same first cluster and size: one file, in its real folder (the quick one for a,
  // the deep one for b). Another size is another file; empty files are told apart by
  // their entries.
  EXPECT_EQ(kinds, (std::map<std::string, uint32_t>{{"a.jpg", kSourceFatQuick},
                                                    {"b.jpg", kSourceFatDeep},
                                                    {"c.jpg", kSourceFatQuick},
                                                    {"c2.jpg", kSourceFatDeep},
                                                    {"empty.txt", kSourceFatQuick},
                                                    {"n.doc", kSourceNtfsDeep}}));
}

TEST(MergeResultsTest, CarvedFileAtTheStartOfANamedFileWithAnyNameIsThatFile) {
  ScanRecord renamed = Named(kSourceFatQuick, "holiday.hmm", 10, 100);  // no test applies
  ScanRecord failed = Named(kSourceFatQuick, "report.pdf", 20, 100);
  failed.content_check = 0;  // its first cluster holds something else now
  FixedList quick({renamed, failed});
  const DataSectorOf data_sector_of = [](const ScanRecord& r, uint64_t* sector) {
    return MetadataRecordDataSector(r, nullptr, 512, sector);
  };
  FixedList carved({Make(kSourceSignature, "64.jpg", 64), Make(kSourceSignature, "144.png", 144)});
  ScanRecordList out;
  MergeResultsByType("", &quick, nullptr, nullptr, &carved, data_sector_of, &out);
  std::vector<std::string> names;
  for (const auto& r : out) names.emplace_back(RecordName(r));
  EXPECT_EQ(names, (std::vector<std::string>{"144.png", "holiday.hmm", "report.pdf"}));
}

// Lists as a scan log does: sorted, together with what an earlier engine put in the list;
// or as it is, when asked for any order.
class SortingList : public FixedList, public IListInAnyOrder {
 public:
  using FixedList::FixedList;
  int GetFilesByType(const std::string& filter, ScanRecordList* out) override {
    FixedList::GetFilesByType(filter, out);
    SortForListing(out);
    return 1;
  }
  int GetFilesInAnyOrder(const std::string& filter, ScanRecordList* out) override {
    return FixedList::GetFilesByType(filter, out);
  }
};

TEST(MergeResultsTest, ACountInAnyOrderKeepsWhatTheSortedListingKeeps) {
  // Each file seen twice or three times, under names of other kinds, in lost and real folders.
  SortingList quick({Named(kSourceFatQuick, "b.jpg", 10, 1), Named(kSourceFatQuick, "c.jpg", 11, 1),
                     Named(kSourceFatQuick, "e.jpg", 12, 1), Named(kSourceFatQuick, "h.jpg", 13, 1),
                     Named(kSourceFatQuick, "k.jpg", 14, 1),
                     Named(kSourceFatQuick, "z.jpg", 15, 1)});
  SortingList fat({Named(kSourceFatDeep, "a.mov", 10, 1), Named(kSourceFatDeep, "d.mov", 11, 1),
                   Named(kSourceFatDeep, "f.mov", 12, 1), Named(kSourceFatDeep, "g.mov", 13, 1),
                   Named(kSourceFatDeep, "j.mov", 14, 1), Named(kSourceFatDeep, "i.wav", 14, 1),
                   Named(kSourceFatDeep, "Z.JPG", 15, 1)});
  for (const char* name : {"b.jpg", "e.jpg", "k.jpg"}) quick.SetPath(name, "LostFolder9/");
  for (const char* name : {"a.mov", "g.mov"}) fat.SetPath(name, "LostFolder4/");
  const DataSectorOf data_sector_of = [](const ScanRecord& r, uint64_t* sector) {
    return MetadataRecordDataSector(r, nullptr, 512, sector);
  };
  const auto counts = [](const ScanRecordList& records) {
    std::map<std::string, int> by_kind;
    for (const auto& r : records) ++by_kind[CategoryOfName(RecordName(r))];
    return by_kind;
  };
  ScanRecordList listed;
  MergeResultsByType("", &quick, &fat, nullptr, nullptr, data_sector_of, &listed);
  ScanRecordList any_order;
  MergeResultsByType("", &quick, &fat, nullptr, nullptr, data_sector_of, &any_order, false);
  // Both lost: the first name (a.mov); both real: the first (c.jpg); a real one over a lost
  // one (f.mov, h.jpg); the first real one of three (i.wav); names equal but for case (z.jpg).
  const std::map<std::string, int> expected = {{"audio", 1}, {"photo", 3}, {"video", 2}};
  EXPECT_EQ(counts(listed), expected);
  EXPECT_EQ(counts(any_order), expected);
  EXPECT_EQ(any_order.size(), listed.size());
  std::vector<std::string> kept;
  for (const auto& r : listed) kept.emplace_back(RecordName(r));
  EXPECT_EQ(kept.size(), 6u);
  EXPECT_EQ(kept[0], "a.mov");
}

}  // namespace
}  // namespace velmora
