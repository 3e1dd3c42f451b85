#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/store_backed_engine.h"
#include "engine/overwrite_estimate.h"
#include "engine/scan_log_store.h"
#include "ntfs/attribute_stream.h"
#include "ntfs/cluster_bitmap.h"
#include "ntfs/mft_record.h"
#include "ntfs/ntfs_volume.h"

namespace velmora {

// Quick scan of one NTFS volume: reads the MFT once, reports every deleted file
// (and its named streams) under the folder path rebuilt from parent references,
// with unreadable or reused folders as numbered lost folders in the root; copies
// files and folder trees out and previews files. Existing files are recorded too, after
// every deleted one, and listed only on request.
class CFastNtfsRecovery : public StoreBackedEngine,
                          public IOverwriteEstimator,
                          public IScanIntoFolder,
                          public IMetadataReadFaults {
 public:
  // Number of the root directory's MFT record; also the root's relation key.
  static constexpr uint32_t kRootRecord = 5;

  CFastNtfsRecovery();
  ~CFastNtfsRecovery() override;

  int OpenImage(const std::string& image_path, char16_t drive_tag) override;
  int OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                    char16_t drive_letter) override;
  int Scan(const char* log_name) override;
  int ScanInto(const std::string& folder) override;
  int RecoverFile(const ScanRecord& record, const std::string& destination,
                  int base_depth) override;
  int GetNextFreeRange(uint64_t* position, uint64_t* length) override;
  int LoadClusterBitmap() override;
  int PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory, int* bytes,
                  PreviewProgressCallback callback, void* context) override;

  // Opens a volume that starts at `start_sector` of an image file (a partition of a
  // whole-disk image); `sector_count` 0 means up to the end of the file.
  int OpenImageRegion(const std::string& image_path, uint64_t start_sector, uint64_t sector_count,
                      char16_t drive_tag);

  const ntfs::NtfsVolume& Volume() const { return volume_; }
  // The clusters of the file's data runs that $Bitmap now marks in use.
  bool EstimateOverwrite(const ScanRecord& record, OverwriteEstimate* out) override;
  ScanLogStore* Store() { return store_.get(); }
  MetadataReadFaults ReadFaults() const override { return read_faults_; }

 private:
  int RunScan(const std::string& folder, bool explicit_folder);
  // The root folder is MFT record 5.
  RelationKey KeyFor(const ScanRecord* directory, int depth) const override;
  // What the first pass keeps of every directory record, to place folders later.
  struct DirectoryNode {
    uint32_t parent = 0;
    uint16_t parent_sequence = 0;
    uint16_t sequence = 0;
    bool in_use = false;
  };
  // Where a folder ends up in the rebuilt tree.
  struct Placement {
    uint32_t parent = 0;
    uint32_t level = 0;  // 1 for folders in the root
  };
  // A reported file waiting for its parent to be placed.
  struct PendingFile {
    uint32_t record_index = 0;
    uint32_t object_id = 0;
    uint32_t parent = 0;
    uint16_t parent_sequence = 0;
  };
  struct ScanState;

  int OpenOn(SectorReader reader, uint64_t start_sector, uint64_t sector_count, char16_t tag);
  int ReadMftChunk(uint64_t first_record, uint32_t count, std::vector<uint8_t>* buffer);
  void ProcessRecord(uint64_t number, std::span<uint8_t> bytes, ScanState* state);
  // A file of the MFT: deleted ones go to the log at once, existing ones are kept for its end.
  void ReportFile(uint64_t number, const ntfs::MftRecord& record,
                  const ntfs::FileNameAttribute& name, bool existing, ScanState* state);
  // Appends the existing files and the folders only they need; false when some were lost.
  bool WriteExistingFiles(ScanState* state);
  bool UnderExtend(uint32_t parent, const ScanState& state) const;
  // A record with the file's times; what it has no room for goes to `times`.
  ScanRecord BaseRecord(uint64_t number, const ntfs::MftRecord& mft,
                        const ntfs::FileNameAttribute& name, RecordTimesEntry* times);
  void AppendWithTimes(ScanRecord* record, RecordTimesEntry times);
  void PlaceFiles(ScanState* state);
  uint32_t PlaceEdge(uint32_t parent, uint16_t sequence, ScanState* state);
  void PlaceDirectory(uint32_t directory, ScanState* state);
  bool EdgeValid(uint32_t parent, uint16_t sequence, const ScanState& state) const;
  void MarkLost(uint32_t folder, ScanState* state);
  // The folder records placed from `first` on, with `mark` in their deleted-directory mark.
  void WriteFolderRecords(ScanState* state, size_t first, uint32_t mark);
  int ReportProgress(int percent, int seconds_remaining);

  int RecoverOne(const ScanRecord& record, const std::string& path);

  ntfs::NtfsVolume volume_;
  MetadataReadFaults read_faults_;
  char16_t drive_tag_ = 0;
  ntfs::ClusterBitmap bitmap_;
};

}  // namespace velmora
