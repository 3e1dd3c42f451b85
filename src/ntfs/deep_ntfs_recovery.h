#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/store_backed_engine.h"
#include "engine/scan_log_store.h"
#include "ntfs/attribute_list.h"
#include "ntfs/attribute_stream.h"
#include "ntfs/data_runs.h"
#include "ntfs/deep_data_copy.h"
#include "ntfs/mft_map.h"
#include "ntfs/mft_record.h"
#include "ntfs/stream_output.h"
#include "storage/sector_reader.h"

namespace velmora {

// NTFS half of the deep scan. It reads no volume by itself: the combined deep
// engine hands over every NTFS file record it meets with the sector it lies
// at. Files (in use or deleted) are reported at once; the folders they need are
// written by FinishDirectories. Several volumes, one after the other or one
// formatted over another, are told apart by the MFTs found on the way.
class CProfessionalNtfsRecovery : public StoreBackedEngine {
 public:
  enum class RecordPass { kFirst, kSecond };

  static constexpr uint32_t kRootRecord = 5;
  // Bounds that keep memory finite on a disk full of record look-alikes.
  static constexpr size_t kMaxParentEntries = 1u << 20;
  static constexpr size_t kMaxLayouts = 4096;
  static constexpr uint32_t kMaxParentDepth = 1024;
  // Folder ids of volumes other than the one at the partition start begin here.
  static constexpr uint32_t kForeignIdBase = 0x80000000u;

  CProfessionalNtfsRecovery();
  ~CProfessionalNtfsRecovery() override;

  int OpenImage(const std::string& image_path, char16_t drive_tag) override;
  int OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                    char16_t drive_letter) override;
  // A region of an image file; `sector_count` 0 means up to the end of the file.
  int OpenImageRegion(const std::string& image_path, uint64_t start_sector, uint64_t sector_count,
                      char16_t drive_tag);

  // Starts (null) or reopens (a stored name) the result log of a deep scan.
  int OpenDeepLog(const char* log_name);
  // One NTFS file record found at absolute sector `sector`. `record` must hold
  // RecordBytes() bytes from that sector (the rest of the read buffer, or a
  // separate 8 KiB read); it is copied, never changed. First pass: files are
  // reported, directories ignored; `forced_number` is 0. Second pass: the record
  // stands for folder `forced_number`.
  int HandleFileRecord(std::span<const uint8_t> record, uint64_t sector, RecordPass pass,
                       uint32_t forced_number);
  // Writes the folders (or lost folders) the reported files lie in.
  int FinishDirectories();

  // The runs of the unnamed $DATA of the file a record (of this or the quick
  // NTFS engine) names, read again from its MFT record; empty for resident data.
  int GetDataRuns(const ScanRecord& record, std::vector<ntfs::DataRun>* runs);
  // Absolute sector where that file's data begins; false when it has no runs.
  bool DataStartSector(const ScanRecord& record, uint64_t* sector);

  int Scan(const char* log_name) override;
  int RecoverFile(const ScanRecord& record, const std::string& destination,
                  int base_depth) override;
  int GetNextFreeRange(uint64_t* position, uint64_t* length) override;
  int LoadClusterBitmap() override;
  int PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory, int* bytes,
                  PreviewProgressCallback callback, void* context) override;

  uint32_t SectorsPerRecord() const { return sectors_per_record_; }
  uint32_t RecordBytes() const { return record_bytes_; }
  uint32_t ClusterEstimate() const { return cluster_estimate_; }
  uint32_t SectorBytes() const { return sector_bytes_; }
  const ntfs::MftMap& MftMap() const { return mft_map_; }
  size_t ParentCount() const { return parents_.size(); }
  ScanLogStore* Store() { return store_.get(); }

 private:
  // The root folder is MFT record 5.
  RelationKey KeyFor(const ScanRecord* directory, int depth) const override;
  // Which MFT a record belongs to, by index into layouts_.
  struct Placement {
    uint32_t layout = 0;
  };
  struct ParentEntry {
    uint32_t number = 0;
    uint32_t layout = 0;
    uint32_t store_id = 0;
  };
  // What the parent walk needs of a directory record.
  struct DirectoryLink {
    int result = 0;  // 0 or the read / format error
    bool is_directory = false;
    uint32_t own_number = 0;
    uint64_t parent = 0;
  };

  void RememberWrittenFolders();
  int OpenOn(SectorReader reader, uint64_t start_sector, uint64_t sector_count, char16_t tag,
             const std::function<int(SectorReader*)>& reopen);
  void LearnBootSector(const std::function<int(SectorReader*)>& reopen);

  int HandleRecord(std::span<uint8_t> bytes, uint64_t sector, RecordPass pass,
                   uint32_t forced_number, const ParentEntry* entry);
  void LearnMft(const ntfs::MftRecord& record, uint64_t sector);
  bool PlaceRecord(uint32_t number, uint64_t sector, Placement* out);
  bool AddLayout(ntfs::MftLayout layout, uint32_t* index);
  uint32_t StoreIdOf(uint32_t number, uint32_t layout);
  // Whether the folder chain from `parent` leads into $Extend (volume metadata).
  bool UnderExtend(uint64_t parent, uint32_t layout);
  int WalkParentChainDeep(uint64_t parent, uint32_t layout, uint32_t* depth);
  void AddParent(uint32_t number, uint32_t layout);
  DirectoryLink ReadDirectoryLink(uint32_t number, uint32_t layout);
  int ReadRecordAt(const ntfs::MftLayout& layout, uint64_t number, std::vector<uint8_t>* buffer);
  int ReadRecordAtSector(uint64_t sector, std::vector<uint8_t>* buffer);
  // The unnamed $DATA of base record `number`: its extents inline and, through
  // an attribute list, from extension records found with `layout`.
  int LoadDeepStream(const ntfs::MftRecord& base, uint32_t number, const ntfs::MftLayout& layout,
                     const ntfs::VolumeWindow& volume, ntfs::NtfsStream* out);
  std::vector<ntfs::AttributeListEntry> ListEntriesOf(const ntfs::MftRecord& base,
                                                      const ntfs::VolumeWindow& volume);
  // Extension record `number` of base record `base`, read with `layout`.
  bool ReadExtension(const ntfs::MftLayout& layout, uint64_t number, uint32_t base,
                     std::vector<uint8_t>* buffer, ntfs::MftRecord* out);
  // The file's name from an extension record its attribute list names.
  bool ListedFileName(const ntfs::MftRecord& base, uint32_t number, const ntfs::MftLayout& layout,
                      const ntfs::VolumeWindow& volume, ntfs::FileNameAttribute* name);
  // The MFT a record found at `sector` belongs to (a found $MFT, or contiguous).
  bool LayoutForRecord(uint32_t number, uint64_t sector, ntfs::MftLayout* out) const;
  void WriteLostFolder(uint32_t number, uint32_t layout);
  ScanRecord NewRecord() const;

  // Extraction.
  int LoadRecordStream(const ScanRecord& record, ntfs::NtfsStream* stream);
  ntfs::VolumeWindow WindowOf(const ScanRecord& record);
  ntfs::StreamCopier CopierFor(const ScanRecord& record);
  int RecoverOne(const ScanRecord& record, const std::string& path);

  SectorReader reader_;
  uint64_t partition_start_ = 0;
  uint64_t sector_count_ = 0;
  uint32_t sector_bytes_ = 512;
  uint32_t record_bytes_ = 1024;
  uint32_t sectors_per_record_ = 2;
  uint32_t cluster_estimate_ = 8;
  char16_t drive_tag_ = 0;

  ntfs::MftMap mft_map_;
  std::vector<ntfs::MftLayout> layouts_;
  std::map<std::pair<bool, uint64_t>, uint32_t> layout_index_;
  std::vector<ParentEntry> parents_;
  std::unordered_set<uint32_t> parent_seen_;  // store ids of the entries
  // Folder ids of volumes other than the one at the partition start: MFT
  // numbers repeat between volumes, the store's parent ids must not.
  std::map<std::pair<uint64_t, uint32_t>, uint32_t> foreign_ids_;
  uint32_t next_foreign_id_ = kForeignIdBase;
  std::unordered_map<uint64_t, DirectoryLink> link_cache_;
};

}  // namespace velmora
