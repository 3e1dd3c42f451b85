#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine/store_backed_engine.h"
#include "engine/scan_log_store.h"
#include "fat/fat_boot_geometry.h"
#include "fat/fat_content_check.h"
#include "fat/fat_geometry_inference.h"
#include "fat/fat_record_output.h"
#include "fat/fat_volume.h"
#include "storage/sector_reader.h"

namespace velmora {

// Deep scan of FAT volumes: rebuilds directories from directory sectors found
// anywhere on a region, without trusting the boot sector or the FAT. The
// combined deep scan reads the region and hands over every sector that passes
// IsDirectoryStartSector (AddDirectoryStart) or IsDirectorySector
// (AddDirectorySector), calling ResetForScan and LoadBootGeometry before the
// pass and FinishScan after it. Files are copied out from consecutive clusters.
class CProfessionalFatRecovery : public StoreBackedEngine {
 public:
  // Memory bounds of the pass; what does not fit is dropped (and counted).
  static constexpr size_t kMaxPendingFiles = 131072;
  static constexpr size_t kMaxUnplacedBytes = 64u << 20;
  static constexpr size_t kMaxLongNameTails = 1024;
  static constexpr size_t kMaxDirectoryRecords = 131072;
  static constexpr size_t kMaxRegisteredDirectories = 262144;
  // The boot sector's FAT is indexed backwards (next -> previous cluster) only up
  // to this many clusters (4 bytes each).
  static constexpr uint32_t kMaxIndexedClusters = 16u << 20;
  // Sectors after a cut long name searched for its rest when no layout is known.
  static constexpr uint64_t kTailSearchSectors = 128;

  CProfessionalFatRecovery() = default;
  ~CProfessionalFatRecovery() override = default;
  CProfessionalFatRecovery(const CProfessionalFatRecovery&) = delete;
  CProfessionalFatRecovery& operator=(const CProfessionalFatRecovery&) = delete;

  int OpenImage(const std::string& image_path, char16_t drive_tag) override;
  int OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                    char16_t drive_letter) override;
  // The combined deep scan drives this engine; Scan itself does nothing.
  int Scan(const char* log_name) override;
  int RecoverFile(const ScanRecord& record, const std::string& destination,
                  int base_depth) override;
  int GetNextFreeRange(uint64_t* position, uint64_t* length) override;
  int LoadClusterBitmap() override;
  int PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory, int* bytes,
                  PreviewProgressCallback callback, void* context) override;

  // Steps of the deep pass. Sector numbers are absolute on the opened drive or
  // image; `sector` holds BytesPerSector() bytes.
  // Empties every list and opens a new log ("Pro_Fat_..." when the name is null
  // or empty) or reopens the named one in the current scan folder.
  int ResetForScan(const char* log_name);
  // The same in an explicit folder (tests and tools).
  int ResetForScanIn(const std::string& folder, const char* log_name);
  // Adds the layout of the region's boot sector when it is a FAT boot sector.
  int LoadBootGeometry();
  int AddDirectoryStart(const uint8_t* sector, uint64_t sector_number);
  int AddDirectorySector(const uint8_t* sector, uint64_t sector_number);
  // Places what is still waiting, writes directories and lost folders, flushes.
  int FinishScan();

  uint32_t BytesPerSector() const { return bytes_per_sector_; }
  uint64_t VolumeStart() const { return volume_start_; }
  uint64_t VolumeSectorCount() const { return volume_sectors_; }
  uint32_t RootCluster() const { return root_cluster_; }
  const FatGeometryList& Geometries() const { return geometries_; }
  // Content answers shared with another engine reading the same source at the same time.
  void ShareContentAnswers(std::shared_ptr<FatContentAnswers> answers) {
    content_answers_ = std::move(answers);
  }
  const ScanLogStore* Store() const { return store_.get(); }
  // Items dropped because a memory bound was reached during the last pass.
  uint64_t DroppedItems() const { return dropped_items_; }
  size_t UnplacedSectorCount() const { return unplaced_.size(); }
  size_t PendingFileCount() const { return pending_files_.size(); }

 private:
  struct PendingFile {
    ScanRecord record{};
    uint32_t parent = 0;
    uint64_t sector = 0;  // sector of the directory buffer that held the entry
    bool search_high_word = false;
  };
  struct LongNameTail {
    uint8_t checksum = 0;
    int geometry = -1;
    uint32_t cluster = 0;
    uint64_t sector = 0;
    std::vector<uint8_t> bytes;
  };
  struct DirectoryRecord {
    ScanRecord record{};
    uint32_t parent = 0;
    int geometry = -1;
    bool deleted = false;
  };
  struct RegisteredDirectory {
    int geometry = -1;
    uint64_t sector = 0;  // a sector inside the directory
  };
  struct ClusterContext {
    bool valid = false;
    int geometry = -1;
    uint32_t cluster = 0;
    uint64_t sector = 0;
  };

  int OpenBound(char16_t drive_tag);
  void ClearPass();
  uint64_t VolumeEnd() const { return volume_start_ + volume_sectors_; }

  // Reading the region.
  int ReadAbsolute(uint64_t sector, uint32_t count, uint8_t* buffer) const;
  bool ReadClusterStart(int geometry, uint32_t cluster, std::vector<uint8_t>* sector) const;
  uint32_t SearchDirectoryHighWord(int geometry, uint16_t low) const;
  uint32_t SearchFileHighWord(int geometry, uint16_t low, const std::string& name);
  uint32_t ContentCheck(int geometry, uint32_t first_cluster, const std::string& name);
  // 1 or 0 as the cluster's first sector (at `start`) agrees with the extension, -1 when
  // unreadable.
  int JudgeCluster(int geometry, uint32_t cluster, uint64_t start, std::string_view extension);
  uint32_t DepthOf(uint32_t cluster, int geometry);
  uint32_t NormaliseParent(uint32_t cluster) const { return cluster < 2 ? root_cluster_ : cluster; }

  // Parsing directory buffers.
  std::optional<LongNameTail> ParseDirectoryBuffer(const uint8_t* data, size_t length,
                                                   uint64_t sector, int geometry,
                                                   uint32_t cluster_guess);
  uint32_t OwningDirectory(const uint8_t* data, size_t length, int geometry, uint32_t cluster_guess,
                           uint64_t* owner_sector);
  void OnDirectoryEntry(const uint8_t* entry, const std::string& name, uint32_t owner,
                        uint64_t entry_sector, int geometry);
  void OnFileEntry(const uint8_t* entry, const std::string& name, uint32_t owner,
                   uint64_t owner_sector, uint64_t entry_sector, int geometry);
  // First cluster of the chain that leads to `cluster` in the boot sector's FAT,
  // or 0 when the FAT does not link to it.
  uint32_t ChainHeadInBootFat(uint32_t cluster);
  void BuildPreviousClusterIndex();
  void RegisterWithAncestors(uint32_t cluster, int geometry, uint64_t sector);
  void KeepTail(std::optional<LongNameTail> tail);
  void ParseAndKeepTail(const uint8_t* data, size_t length, uint64_t sector, int geometry,
                        uint32_t cluster);
  // A kept sector that continues the tail (its cluster, or the next sectors).
  std::map<uint64_t, std::vector<uint8_t>>::iterator FindTailContinuation(const LongNameTail& tail);
  bool TailContinuesInto(const LongNameTail& tail, const uint8_t* sector,
                         uint64_t sector_number) const;
  // Joins the sector with the first long-name tail it continues and parses the
  // result; false when no tail matches.
  bool JoinWithTail(const uint8_t* sector, uint64_t sector_number);
  bool InContext(const ClusterContext& context, uint64_t sector_number) const;

  // Writing records.
  void WriteFile(PendingFile file, int geometry);
  // Files wait for a layout under which their folder starts where it was found.
  void PlacePendingFiles(bool only_with_new_layout);
  void WriteDirectories();
  int ResolveGeometry(uint32_t cluster, const RegisteredDirectory& entry) const;

  // Copy-out.
  int CheckRecord(const ScanRecord& record) const;
  int ReadFileData(const ScanRecord& record, uint64_t size,
                   const std::function<int(const uint8_t*, size_t)>& sink) const;
  int CopyFileTo(const ScanRecord& record, const std::string& path);
  FatRecordReader ReaderFor(const ScanRecord& record) const;

  bool open_ = false;
  char16_t drive_tag_ = 0;
  SectorReader reader_;
  FatVolume volume_;
  uint64_t volume_start_ = 0;
  uint64_t volume_sectors_ = 0;
  uint32_t bytes_per_sector_ = 512;
  // 0 until a boot sector names the root: without one the root's cluster is
  // unknown, and 0 is never a data cluster (a FAT16 folder may well sit at 2).
  uint32_t root_cluster_ = 0;

  FatGeometryList geometries_;
  std::shared_ptr<FatContentAnswers> content_answers_;
  // The boot sector's own layout, whose FAT may still link a folder's later
  // clusters to its first one.
  bool has_boot_fat_ = false;
  FatGeometry boot_fat_;
  int boot_geometry_ = -1;
  bool previous_index_built_ = false;
  std::vector<uint32_t> previous_cluster_;
  std::vector<PendingFile> pending_files_;
  std::vector<LongNameTail> tails_;
  std::map<uint64_t, std::vector<uint8_t>> unplaced_;
  size_t unplaced_bytes_ = 0;
  std::map<uint32_t, DirectoryRecord> directory_records_;
  std::map<uint32_t, RegisteredDirectory> registry_;
  std::map<std::pair<int, uint32_t>, uint32_t> depth_cache_;
  ClusterContext current_context_;
  ClusterContext finish_context_;
  uint64_t dropped_items_ = 0;
  // Layouts known when pending files were last tried; only a new one can place them.
  int geometries_tried_ = 0;
};

}  // namespace velmora
