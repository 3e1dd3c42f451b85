#include "signature/file_type_recovery.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "signature/formats/format.h"
#include "signature/signature_catalogue.h"
#include "storage/error_codes.h"

namespace velmora {

namespace {

constexpr size_t kCopyChunk = 65536;

// A carved file in two pieces keeps the first piece's sectors in the object id and the
// foreign sectors between the pieces in the data area start (both unused by carved records).
uint64_t FirstPieceSectors(const ScanRecord& record) { return record.object_id; }
uint64_t GapSectors(const ScanRecord& record) {
  // By value: a conditional with a plain 0 would make the packed field an int.
  return record.object_id != 0 ? record.data_area_start.get() : 0;
}

// Where the file's byte `offset` lies on the source, and how many bytes from there on
// belong to the same piece (at most `want`).
uint64_t PieceSector(const ScanRecord& record, uint64_t offset, uint64_t sector_size,
                     uint64_t* want) {
  const uint64_t first_piece = FirstPieceSectors(record) * sector_size;
  const uint64_t sector = record.location + offset / sector_size;
  if (first_piece == 0) return sector;
  if (offset < first_piece) {
    *want = std::min(*want, first_piece - offset);
    return sector;
  }
  return sector + GapSectors(record);
}

// Documents and archives are previewed from a file named like the record;
// media from fixed temporary names.
constexpr char kPreviewDocumentList[] =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|"
    "*.ppsm|*.odp|*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|"
    "*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

bool ListContains(const char* list, const std::string& extension) {
  return !extension.empty() && std::strstr(list, extension.c_str()) != nullptr;
}

}  // namespace

CFileTypeRecovery::CFileTypeRecovery()
    : own_carve_(std::make_unique<CarveContext>(CarveContext::ForMeasuring())),
      carve_(own_carve_.get()) {}

CFileTypeRecovery::~CFileTypeRecovery() = default;

int CFileTypeRecovery::OpenStore(const std::string& log_name) {
  store_ = std::make_unique<ScanLogStore>();
  store_->SetListingCallback(listing_progress_, listing_context_);
  return store_->Open(log_name);
}

int CFileTypeRecovery::OpenImage(const std::string& image_path, char16_t drive_tag) {
  store_.reset();
  if (carve_) carve_->second_pieces.clear();  // they belonged to the source before
  drive_tag_ = drive_tag;
  sector_size_ = 512;
  const int result = OpenImageFile(&source_, image_path);
  partition_start_ = 0;
  partition_count_ = source_.total_sectors;
  OpenStore(FormatLogName("File_Type_", 0));
  return result;
}

int CFileTypeRecovery::OpenPartition(int disk_number, uint64_t start_sector, uint64_t sector_count,
                                     char16_t drive_letter) {
  store_.reset();
  if (carve_) carve_->second_pieces.clear();
  drive_tag_ = drive_letter;
  const int result = OpenPhysicalDrive(&source_, disk_number);
  sector_size_ = source_.device_sector_size;
  partition_start_ = start_sector;
  partition_count_ = sector_count;
  OpenStore(FormatLogName("File_Type_", static_cast<int64_t>(start_sector)));
  return result;
}

int CFileTypeRecovery::OpenSignatureLog(int32_t sector_size, int disk_number,
                                        const std::string& image_path, const std::string& log_name,
                                        char16_t drive_tag) {
  drive_tag_ = drive_tag;
  sector_size_ = sector_size > 0 ? sector_size : 512;
  const int result = image_path.empty() ? OpenPhysicalDrive(&source_, disk_number)
                                        : OpenImageFile(&source_, image_path);
  store_.reset();
  const int opened = OpenStore(log_name);
  return result != kSuccess ? result : opened;
}

int CFileTypeRecovery::SetScanCallback(ScanProgressCallback scan_progress,
                                       FileProgressCallback file_progress, void* context,
                                       int scale) {
  StoreBackedEngine::SetScanCallback(scan_progress, file_progress, context, scale);
  if (carve_) {
    carve_->progress = scan_progress;
    carve_->progress_context = context;
    carve_->scale = scale;
  }
  return kSuccess;
}

uint64_t CFileTypeRecovery::ClampToSource(uint64_t first_sector, uint64_t length) const {
  uint64_t end = source_.total_sectors;
  if (source_end_ != 0) end = std::min(end == 0 ? source_end_ : end, source_end_);
  if (end == 0) return length;  // no source to measure against
  if (first_sector >= end) return 0;
  const uint64_t room = (end - first_sector) * static_cast<uint64_t>(sector_size_);
  return std::min(length, room);
}

int CFileTypeRecovery::CarveSectorAt(int32_t sector_size, const uint8_t* sector, size_t length,
                                     uint64_t sector_number, uint64_t processed, uint64_t total,
                                     int32_t seconds_remaining, SectorReader* source,
                                     uint64_t* skip, uint64_t* found) {
  if (sector_size <= 0 || sector == nullptr) return kErrInvalidParameter;
  sector_size_ = sector_size;
  CarveResult file;
  const CarveProgress progress{processed, total, seconds_remaining, found ? *found : 0};
  held_.active = false;
  const int result = IdentifyAndMeasure(*carve_, sector_size, source, sector, length, sector_number,
                                        progress, &file);
  if (result != kSuccess) return result;
  if (!store_ || !store_->IsOpen()) return kErrInvalidParameter;
  if (carve_->structure_check_deferred) {
    const uint64_t bytes = static_cast<uint64_t>(sector_size);
    // The length as cut at the source's end and at a second piece carved before.
    held_.bytes_from_start = file.length;
    held_.measured = file.uncut_length;
    held_.sector = sector_number;
    held_.until = sector_number + (file.uncut_length + bytes - 1) / bytes;
    held_.file = std::move(file);
    if (!ScanSkipsCarvedFile(held_.file.type)) {
      // The scan walks such a file's sectors as usual, so it cannot look for structures.
      const uint64_t cut = formats::CutAtFileSystemStructure(*carve_, held_.measured);
      const uint64_t sectors = EndHeld(cut, found);
      if (skip) *skip = sectors;
      return kSuccess;
    }
    held_.active = true;
    if (skip) *skip = 1;
    return kSuccess;
  }
  const uint64_t sectors = RecordCarved(sector_number, file, found);
  if (skip) *skip = sectors;
  return kSuccess;
}

uint64_t CFileTypeRecovery::RecordCarved(uint64_t sector_number, const CarveResult& file,
                                         uint64_t* found) {
  const uint64_t size = ClampToSource(sector_number, file.length);
  ScanRecord record{};
  record.drive_tag = static_cast<uint16_t>(drive_tag_);
  record.source_kind = kSourceSignature;
  record.content_check = 1;
  record.cluster_size = -1;
  record.size = size;
  record.location = sector_number;
  uint64_t first_piece_sectors = 0;
  if (file.gap_bytes != 0) {
    const uint64_t bytes_per_sector = static_cast<uint64_t>(sector_size_);
    record.object_id = static_cast<uint32_t>(file.first_piece_bytes / bytes_per_sector);
    record.data_area_start = file.gap_bytes / bytes_per_sector;
    first_piece_sectors = record.object_id;
  }
  SetRecordName(&record, file.name);
  // A write error stays with the store and fails the scan when it ends.
  store_->AppendRecord(&record);
  store_->AddRelation(0, 0, record.record_index, 0, nullptr);
  if (found) ++*found;
  // Sectors inside a file whose length comes from a header field are still examined,
  // because the header may lie; so are the foreign sectors between two pieces.
  if (first_piece_sectors != 0) return first_piece_sectors;
  const uint64_t bytes_per_sector = static_cast<uint64_t>(sector_size_);
  return !ScanSkipsCarvedFile(file.type)
             ? 1
             : std::max<uint64_t>(1, (size + bytes_per_sector - 1) / bytes_per_sector);
}

uint64_t CFileTypeRecovery::EndHeld(uint64_t measured_or_cut, uint64_t* found) {
  held_.active = false;
  held_.file.length = std::min(measured_or_cut, held_.bytes_from_start);
  if (!store_ || !store_->IsOpen()) return 1;
  return RecordCarved(held_.sector, held_.file, found);
}

uint64_t CFileTypeRecovery::EndHeldAt(uint64_t sector, uint64_t* found) {
  if (!held_.active) return 0;
  const uint64_t bytes = static_cast<uint64_t>(sector_size_);
  const uint64_t length = sector >= held_.until ? held_.measured : (sector - held_.sector) * bytes;
  return EndHeld(length, found);
}

uint64_t CFileTypeRecovery::EndHeldByReading(SectorReader* source, uint64_t from_sector,
                                             uint64_t* found) {
  if (!held_.active) return 0;
  CarveContext& context = *carve_;
  context.sector_size = sector_size_;
  context.source = source;
  context.start_sector = held_.sector;
  context.cursor = held_.sector;
  // The scan is stopping: the check must not ask the user again.
  const ScanProgressCallback progress = context.progress;
  context.progress = nullptr;
  const uint64_t cut = formats::CutAtFileSystemStructure(context, held_.measured, from_sector);
  context.progress = progress;
  return EndHeld(cut, found);
}

int CFileTypeRecovery::DropRecordsFrom(uint64_t sector) {
  if (!store_ || !store_->IsOpen()) return kErrInvalidParameter;
  if (const int err = store_->Flush(); err != kSuccess) return err;
  const std::string path = store_->MainPath();
  const std::string log_name = store_->LogName();
  // Records are appended in sector order, so the ones to drop form the tail.
  uint64_t keep = store_->GetRecordCount();
  ScanRecord record{};
  while (keep > 0 && store_->ReadRecord(static_cast<uint32_t>(keep), &record) == kSuccess &&
         record.location >= sector) {
    --keep;
  }
  if (keep == store_->GetRecordCount()) return kSuccess;
  store_.reset();
  if (::truncate(path.c_str(), static_cast<off_t>(keep * sizeof(ScanRecord))) != 0) {
    return LastError();
  }
  // The relation text lists every record under one key; rewrite it for the kept ones.
  const std::string relation_path = path + "_Relation";
  if (::truncate(relation_path.c_str(), 0) != 0) return LastError();
  const size_t slash = path.rfind('/');
  const std::string folder = path.substr(0, slash + 1);
  store_ = std::make_unique<ScanLogStore>();
  store_->SetListingCallback(listing_progress_, listing_context_);
  int err = store_->OpenIn(folder, log_name);
  if (err != kSuccess) return err;
  for (uint64_t index = 1; index <= keep; ++index) {
    store_->AddRelation(0, 0, static_cast<uint32_t>(index), 0, nullptr);
  }
  return store_->Flush();
}

// Carved files have no folders: only the root has children; a folder query leaves its
// output as it was.
int CFileTypeRecovery::GetChildren(const ScanRecord* directory, int depth, ScanRecordList* out) {
  if (directory != nullptr && out != nullptr && depth >= 0) return kSuccess;
  return StoreBackedEngine::GetChildren(directory, depth, out);
}

int CFileTypeRecovery::CountFiles(const ScanRecord* directory, int depth, int* count) {
  if (directory != nullptr && count != nullptr && depth >= 0) return kSuccess;
  return StoreBackedEngine::CountFiles(directory, depth, count);
}

uint64_t CFileTypeRecovery::OwnBytesOnSource(const ScanRecord& record) const {
  const uint64_t gap = GapSectors(record) * static_cast<uint64_t>(sector_size_);
  const uint64_t reach = ClampToSource(record.location, record.size + gap);
  return reach > gap ? reach - gap : 0;
}

int CFileTypeRecovery::ReadChunk(uint64_t sector, uint64_t bytes_wanted,
                                 std::vector<uint8_t>* buffer, size_t* bytes_read) {
  const uint64_t bytes_per_sector = static_cast<uint64_t>(sector_size_);
  const uint64_t sectors = (bytes_wanted + bytes_per_sector - 1) / bytes_per_sector;
  buffer->resize(static_cast<size_t>(sectors * bytes_per_sector));
  uint32_t got = 0;
  const int err = ReadSectors(&source_, static_cast<int32_t>(sectors), buffer->data(), sector,
                              sector_size_, &got);
  *bytes_read = static_cast<size_t>(std::min<uint64_t>(got * bytes_per_sector, bytes_wanted));
  if (got == 0)
    return err == kSuccess ? kErrReadFault : (err == kErrInvalidParameter ? kErrReadFault : err);
  return kSuccess;
}

int CFileTypeRecovery::RecoverFile(const ScanRecord& record, const std::string& destination,
                                   int base_depth) {
  const size_t slash = destination.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const int err = CreateFolderTree(destination.substr(0, slash));
    if (err != kSuccess && err != kErrFileExists && err != kErrAlreadyExists) return err;
  }
  const uint64_t length = OwnBytesOnSource(record);
  if (length == 0 && record.size != 0) return kErrReadFault;  // starts past the source
  int fd = -1;
  std::string written_path;
  int result = CreateOutputFile(destination, &fd, &written_path);
  if (result != kSuccess) return result;
  std::vector<uint8_t> buffer;
  uint64_t done = 0;
  while (done < length) {
    uint64_t want = std::min<uint64_t>(kCopyChunk, length - done);
    size_t got = 0;
    const uint64_t sector = PieceSector(record, done, static_cast<uint64_t>(sector_size_), &want);
    result = ReadChunk(sector, want, &buffer, &got);
    if (result != kSuccess) break;
    result = WriteAll(fd, buffer.data(), got);
    if (result != kSuccess) break;
    done += got;
    if (got < want) {
      result = kErrReadFault;  // the source ended or failed inside the chunk
      break;
    }
    if (file_progress_) {
      const int percent = static_cast<int>(done * 100 / std::max<uint64_t>(length, 1));
      result = file_progress_(callback_context_, percent, 100, 0, written_path.c_str());
      if (result != kSuccess) break;
    }
  }
  if (result > 0 && file_progress_) {
    file_progress_(callback_context_, 100, 100, result, written_path.c_str());
  }
  ::close(fd);
  return result;
}

int CFileTypeRecovery::PreviewFile(const ScanRecord& record, std::string* path, uint8_t* memory,
                                   int* bytes, PreviewProgressCallback callback, void* context) {
  const std::string name(RecordName(record));
  const std::string extension = AsciiLower(ExtensionOf(name));
  const std::string key = extension.empty() ? std::string() : "*." + extension;
  std::string output;
  const std::string directory = ScanLogDirectory();
  if (ListContains(kPreviewDocumentList, key)) {
    output = JoinPath(directory, SafeComponentName(name));
  } else if (ListContains(kAudioExtensions, key) || ListContains(kVideoExtensions, key)) {
    output = JoinPath(directory, "tmp.avi");
  } else if (ListContains(kPhotoExtensions, key)) {
    output = JoinPath(directory, "tmp.jpg");
  }
  if (output.size() >= 260) output.clear();
  if (output.empty() && (memory == nullptr || bytes == nullptr)) return kErrInvalidParameter;

  int fd = -1;
  if (!output.empty()) {
    int err = CreateFolderTree(directory);
    if (err != kSuccess) return err;
    ::unlink(output.c_str());
    fd = ::open(output.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return LastError();
  }
  const uint64_t length = OwnBytesOnSource(record);
  if (length == 0 && record.size != 0) {
    if (fd >= 0) {
      ::close(fd);
      ::unlink(output.c_str());
    }
    if (callback) callback(context, 100, kErrReadFault);
    return kErrReadFault;
  }
  const uint64_t capacity = fd >= 0 ? length : static_cast<uint64_t>(std::max(*bytes, 0));
  const uint64_t wanted = std::min(length, capacity);
  std::vector<uint8_t> buffer;
  uint64_t done = 0;
  int result = kSuccess;
  while (done < wanted) {
    uint64_t want = std::min<uint64_t>(kCopyChunk, wanted - done);
    size_t got = 0;
    const uint64_t sector = PieceSector(record, done, static_cast<uint64_t>(sector_size_), &want);
    result = ReadChunk(sector, want, &buffer, &got);
    if (result != kSuccess) break;
    if (fd >= 0) {
      result = WriteAll(fd, buffer.data(), got);
      if (result != kSuccess) break;
    } else {
      std::memcpy(memory + done, buffer.data(), got);
    }
    done += got;
    if (got < want) {
      result = kErrReadFault;
      break;
    }
    if (callback) {
      result = callback(context, static_cast<int>(done * 100 / std::max<uint64_t>(wanted, 1)), 0);
      if (result != kSuccess) break;
    }
  }
  if (result > 0 && callback) callback(context, 100, result);
  if (fd >= 0) {
    ::close(fd);
    if (result != kSuccess) ::unlink(output.c_str());
    if (path) *path = output;
  } else if (bytes) {
    *bytes = static_cast<int>(done);
  }
  return result;
}

}  // namespace velmora
