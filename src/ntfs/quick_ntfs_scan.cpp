// The quick scan: one sequential pass over the MFT, then the folders.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <unordered_set>

#include "engine/record_spill.h"
#include "engine/record_text.h"
#include "ntfs/attribute_stream.h"
#include "ntfs/content_check.h"
#include "ntfs/quick_ntfs_recovery.h"
#include "ntfs/record_times.h"
#include "storage/error_codes.h"

namespace velmora {

using namespace ntfs;

namespace {

// Records 0-11 are the volume's own metadata files; 12-15 are reserved.
constexpr uint64_t kFirstUserRecord = 12;
constexpr uint32_t kRecordsPerChunk = 1024;
constexpr auto kEstimateInterval = std::chrono::seconds(5);
// $Extend: the files below it ($ObjId, $Quota, $UsnJrnl, ...) are the volume's metadata.
constexpr uint32_t kExtendRecord = 11;
// Folder chains longer than this are damage; they are not searched for $Extend further.
constexpr size_t kMaxFolderChain = 4096;

// "file:stream", with the file part cut (at a character boundary) so that the stream
// part survives in the record's name field.
std::string StreamRecordName(const std::string& file, const std::string& stream) {
  const size_t room = kRecordNameBytes - 1;
  std::string base = file;
  if (base.size() + 1 + stream.size() > room && stream.size() + 2 <= room) {
    size_t cut = room - 1 - stream.size();
    while (cut > 0 && (static_cast<uint8_t>(base[cut]) & 0xC0) == 0x80) --cut;
    base.resize(cut);
  }
  std::string joined = base + ":" + stream;
  // A stream name too long even alone keeps its start, which recovery matches on; the
  // record's own cut would keep an extension instead.
  if (joined.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<uint8_t>(joined[cut]) & 0xC0) == 0x80) --cut;
    joined.resize(cut);
  }
  return joined;
}

}  // namespace

struct CFastNtfsRecovery::ScanState {
  std::unordered_map<uint32_t, DirectoryNode> directories;
  std::vector<PendingFile> files;
  std::unordered_map<uint32_t, Placement> placed;
  std::unordered_set<uint32_t> lost;
  // Folder records to write, in the order they were placed: (number, is lost folder).
  std::vector<std::pair<uint32_t, bool>> folders;
  // Existing files, held back so that they follow every record of the deleted ones.
  RecordSpill existing;
  std::vector<PendingFile> existing_files;
  std::vector<RecordTimesEntry> existing_times;  // beside existing_files
  MftRecord record;                              // reused between records
};

int CFastNtfsRecovery::ReportProgress(int percent, int seconds_remaining) {
  if (!scan_progress_) return 0;
  return scan_progress_(callback_context_, percent, scale_, seconds_remaining, 0, 0, 0, 0, 0, 0);
}

int CFastNtfsRecovery::ReadMftChunk(uint64_t first_record, uint32_t count,
                                    std::vector<uint8_t>* buffer) {
  const uint64_t cs = volume_.Geometry().cluster_size;
  const uint64_t rs = volume_.Geometry().mft_record_size;
  buffer->resize(static_cast<size_t>(count) * rs);
  uint64_t position = first_record * rs;
  const uint64_t end = position + buffer->size();
  // Run positions come from the disk: clusters far past any volume must not wrap around.
  const auto bytes_of = [cs](uint64_t clusters) {
    return clusters > UINT64_MAX / cs ? UINT64_MAX : clusters * cs;
  };
  const auto run_end_vcn = [](const DataRun& run) {
    return run.length > UINT64_MAX - run.vcn ? UINT64_MAX : run.vcn + run.length;
  };
  const auto& runs = volume_.MftRuns();
  auto run = runs.begin();
  while (position < end) {
    const uint64_t vcn = position / cs;
    while (run != runs.end() && run_end_vcn(*run) <= vcn) ++run;
    uint8_t* target = buffer->data() + (position - first_record * rs);
    if (run == runs.end() || run->vcn > vcn) {
      // Not mapped: these bytes hold no record.
      const uint64_t stop = run == runs.end() ? end : std::min(end, bytes_of(run->vcn));
      std::fill(target, target + (stop - position), 0);
      position = stop;
      continue;
    }
    const uint64_t n = std::min(end, bytes_of(run_end_vcn(*run))) - position;
    if (run->kind == RunKind::kSparse) {
      std::fill(target, target + n, 0);
    } else {
      const int rc = volume_.ReadVolume(run->lcn * cs + (position - run->vcn * cs), target, n);
      if (rc != kSuccess) return rc;
    }
    position += n;
  }
  return kSuccess;
}

int CFastNtfsRecovery::Scan(const char* log_name) {
  if (log_name) {
    if (store_) store_->Close();
    store_ = std::make_unique<ScanLogStore>();
    store_->SetListingCallback(listing_progress_, listing_context_);
    return store_->Open(log_name);
  }
  return RunScan(std::string(), false);
}

int CFastNtfsRecovery::ScanInto(const std::string& folder) { return RunScan(folder, true); }

int CFastNtfsRecovery::RunScan(const std::string& folder, bool explicit_folder) {
  if (store_) store_->Close();
  store_ = std::make_unique<ScanLogStore>();
  store_->SetListingCallback(listing_progress_, listing_context_);
  if (!volume_.IsOpen()) return kErrInvalidParameter;
  const std::string name = FormatLogName("Fast_", static_cast<int64_t>(volume_.PartitionStart()));
  int rc = explicit_folder ? store_->OpenIn(folder, name) : store_->Open(name);
  if (rc != kSuccess && rc != kErrNotEnoughMemory) return rc;

  const NtfsGeometry& g = volume_.Geometry();
  const uint64_t records = volume_.MftRecordCapacity();
  const uint64_t total_bytes = std::max<uint64_t>(1, records * g.mft_record_size);
  const auto started = std::chrono::steady_clock::now();
  auto last_estimate = started;
  int seconds_remaining = -1;

  ScanState state;
  std::vector<uint8_t> chunk;
  std::vector<uint8_t> single;
  int first_read_error = kSuccess;
  uint64_t first_unreadable = 0;
  read_faults_ = MetadataReadFaults{};
  int stop = 0;
  for (uint64_t first = 0; first < records && stop == 0; first += kRecordsPerChunk) {
    const auto count = static_cast<uint32_t>(std::min<uint64_t>(kRecordsPerChunk, records - first));
    const size_t rs = g.mft_record_size;
    if (ReadMftChunk(first, count, &chunk) == kSuccess) {
      for (uint32_t i = 0; i < count; ++i) {
        ProcessRecord(first + i, {chunk.data() + i * rs, rs}, &state);
      }
    } else {
      // A failing area: read record by record and skip only what cannot be read.
      for (uint32_t i = 0; i < count; ++i) {
        const int read = ReadMftChunk(first + i, 1, &single);
        if (read == kSuccess || volume_.ReadMirroredRecord(first + i, single.data())) {
          ProcessRecord(first + i, single, &state);
        } else {
          if (read_faults_.count++ == 0) first_unreadable = first + i;
          if (read != kErrReadFault && first_read_error == kSuccess) first_read_error = read;
        }
      }
    }
    const uint64_t done_bytes = (first + count) * g.mft_record_size;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_estimate >= kEstimateInterval && scale_ == 100) {
      last_estimate = now;
      const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - started).count();
      const uint64_t rate = std::max<uint64_t>(1, done_bytes / std::max<int64_t>(1, seconds));
      seconds_remaining = static_cast<int>((total_bytes - done_bytes) / rate);
    }
    stop = ReportProgress(static_cast<int>(done_bytes * 100 / total_bytes), seconds_remaining);
  }
  if (read_faults_.count != 0) {
    read_faults_.notice = std::to_string(read_faults_.count) +
                          " MFT records could not be read and were skipped (first: record " +
                          std::to_string(first_unreadable) +
                          "); files they described are missing from the result.";
  }
  // Files found so far are registered even when the scan was stopped; folders only after a
  // full pass. Unreadable records do not stop the pass: they are counted and reported.
  PlaceFiles(&state);
  bool existing_written = false;
  if (stop == 0) {
    WriteFolderRecords(&state, 0, 0);
    // Existing files come last, so the deleted files keep the ids they always had.
    existing_written = WriteExistingFiles(&state);
    stop = ReportProgress(100, 0);
  }
  // A log that could not be written fails the scan: its results would be incomplete.
  int logged = store_->Flush();
  if (stop == 0 && logged == kSuccess && existing_written) {
    logged = StampExistingFiles(store_->Folder());
  }
  if (stop != 0) return stop;
  return logged != kSuccess ? logged : first_read_error;
}

void CFastNtfsRecovery::ProcessRecord(uint64_t number, std::span<uint8_t> bytes, ScanState* state) {
  MftRecord& record = state->record;
  const MftRecordVerdict verdict = LoadMftRecord(bytes, &record);
  if (verdict == MftRecordVerdict::kNotRecord || verdict == MftRecordVerdict::kBadFixup) return;
  if (record.header.base_record != 0) return;  // extension records are read through their base
  FileNameAttribute name;
  if (!PreferredFileName(record, &name)) return;
  if (record.header.IsDirectory()) {
    DirectoryNode node;
    node.parent = static_cast<uint32_t>(name.parent_record);
    node.parent_sequence = name.parent_sequence;
    node.sequence = record.header.sequence;
    node.in_use = record.header.InUse();
    state->directories[static_cast<uint32_t>(number)] = node;
    return;
  }
  if (number < kFirstUserRecord || number > UINT32_MAX) return;
  ReportFile(number, record, name, record.header.InUse(), state);
}

ScanRecord CFastNtfsRecovery::BaseRecord(uint64_t number, const MftRecord& mft,
                                         const FileNameAttribute& name, RecordTimesEntry* times) {
  ScanRecord record{};
  ScanRecord* r = &record;
  r->drive_tag = static_cast<uint16_t>(drive_tag_);
  r->source_kind = kSourceNtfsQuick;
  r->object_id = static_cast<uint32_t>(number);
  r->cluster_size = static_cast<int32_t>(volume_.Geometry().cluster_size);
  *times = ApplyFileTimes(mft, name, r);
  r->location = volume_.MftRecordToSector(number);
  r->partition_start = volume_.PartitionStart();
  return record;
}

void CFastNtfsRecovery::AppendWithTimes(ScanRecord* record, RecordTimesEntry times) {
  store_->AppendRecord(record);
  times.record_index = record->record_index;
  store_->AddTimes(times);
}

void CFastNtfsRecovery::ReportFile(uint64_t number, const MftRecord& record,
                                   const FileNameAttribute& name, bool existing, ScanState* state) {
  // An existing file is kept back for the end of the log; its index is given then.
  const auto report = [&](ScanRecord* r, const RecordTimesEntry& times) {
    if (existing) {
      r->deleted_directory_mark = kMarkExisting | kMarkExistingOnly;
      if (!state->existing.Add(*r)) return;
      state->existing_files.push_back({0, static_cast<uint32_t>(number),
                                       static_cast<uint32_t>(name.parent_record),
                                       name.parent_sequence});
      state->existing_times.push_back(times);
      return;
    }
    AppendWithTimes(r, times);
    state->files.push_back({r->record_index, static_cast<uint32_t>(number),
                            static_cast<uint32_t>(name.parent_record), name.parent_sequence});
  };
  uint64_t size = name.real_size;
  NtfsStream stream;
  const bool has_data = LoadStream(volume_, record, number, kAttrData, "", &stream) == kSuccess;
  if (has_data) size = stream.Size();
  const uint32_t check =
      has_data ? StreamContentCheck(stream, ExtensionOf(name.name), PlaceOf(volume_)) : 1;

  RecordTimesEntry times;
  ScanRecord r = BaseRecord(number, record, name, &times);
  r.size = size;
  r.content_check = check;
  SetRecordName(&r, name.name);
  report(&r, times);

  // Alternate data streams are files of their own to the user: "name:stream".
  for (const std::string& stream_name : NamedDataStreams(volume_, record)) {
    NtfsStream named;
    if (LoadStream(volume_, record, number, kAttrData, stream_name, &named) != kSuccess) continue;
    ScanRecord s = BaseRecord(number, record, name, &times);
    s.size = named.Size();
    s.content_check = 1;
    SetRecordName(&s, StreamRecordName(name.name, stream_name));
    report(&s, times);
  }
}

bool CFastNtfsRecovery::EdgeValid(uint32_t parent, uint16_t sequence,
                                  const ScanState& state) const {
  const auto it = state.directories.find(parent);
  if (it == state.directories.end()) return false;
  const DirectoryNode& node = it->second;
  if (sequence == 0) return true;  // older volumes do not record it
  // Freeing a record raises its sequence number by one; any other difference
  // means the record was used again for something else.
  if (node.in_use) return node.sequence == sequence;
  const uint16_t next =
      sequence == 0xFFFF ? 1 : static_cast<uint16_t>(sequence + 1);  // 0 is skipped
  return node.sequence == sequence || node.sequence == next;
}

void CFastNtfsRecovery::MarkLost(uint32_t folder, ScanState* state) {
  if (state->lost.insert(folder).second) state->folders.emplace_back(folder, true);
}

void CFastNtfsRecovery::PlaceDirectory(uint32_t directory, ScanState* state) {
  std::vector<uint32_t> path;
  std::unordered_set<uint32_t> on_path;
  uint32_t current = directory;
  uint32_t top_parent = kRootRecord;
  uint32_t base_level = 0;
  for (;;) {
    const auto known = state->placed.find(current);
    if (known != state->placed.end()) {
      top_parent = current;
      base_level = known->second.level;
      break;
    }
    path.push_back(current);
    on_path.insert(current);
    const DirectoryNode& node = state->directories.at(current);
    const uint32_t next = node.parent;
    if (next == kRootRecord) break;
    if (!EdgeValid(next, node.parent_sequence, *state)) {
      MarkLost(next, state);
      top_parent = next;
      base_level = 1;
      break;
    }
    // A loop of parent references: hang the folder that closes it in the root.
    if (on_path.count(next) != 0) break;
    current = next;
  }
  uint32_t parent = top_parent;
  uint32_t level = base_level;
  for (auto it = path.rbegin(); it != path.rend(); ++it) {
    ++level;
    state->placed[*it] = Placement{parent, level};
    state->folders.emplace_back(*it, false);
    parent = *it;
  }
}

uint32_t CFastNtfsRecovery::PlaceEdge(uint32_t parent, uint16_t sequence, ScanState* state) {
  if (parent == kRootRecord) return 0;
  if (!EdgeValid(parent, sequence, *state)) {
    MarkLost(parent, state);
    return 1;
  }
  if (state->placed.find(parent) == state->placed.end()) PlaceDirectory(parent, state);
  return state->placed.at(parent).level;
}

void CFastNtfsRecovery::PlaceFiles(ScanState* state) {
  for (const PendingFile& file : state->files) {
    const uint32_t level = PlaceEdge(file.parent, file.parent_sequence, state);
    store_->AddRelation(file.parent, level, file.record_index, file.object_id, nullptr);
  }
}

bool CFastNtfsRecovery::UnderExtend(uint32_t parent, const ScanState& state) const {
  uint32_t current = parent;
  for (size_t steps = 0; steps < kMaxFolderChain; ++steps) {
    if (current == kExtendRecord) return true;
    if (current == kRootRecord) return false;
    const auto it = state.directories.find(current);
    if (it == state.directories.end() || it->second.parent == current) return false;
    current = it->second.parent;
  }
  return false;
}

bool CFastNtfsRecovery::WriteExistingFiles(ScanState* state) {
  const size_t first_folder = state->folders.size();
  size_t next = 0;
  const bool whole = state->existing.ForEach([&](ScanRecord& r) {
    const RecordTimesEntry& times = state->existing_times[next];
    const PendingFile& file = state->existing_files[next++];
    if (UnderExtend(file.parent, *state)) return;
    const uint32_t level = PlaceEdge(file.parent, file.parent_sequence, state);
    AppendWithTimes(&r, times);
    store_->AddRelation(file.parent, level, r.record_index, file.object_id, nullptr);
  });
  // Folders that only existing files needed are listed with them alone.
  WriteFolderRecords(state, first_folder, kMarkExistingOnly);
  return whole && next == state->existing_files.size();
}

void CFastNtfsRecovery::WriteFolderRecords(ScanState* state, size_t first, uint32_t mark) {
  std::vector<uint8_t> buffer;
  for (size_t i = first; i < state->folders.size(); ++i) {
    const auto [number, is_lost] = state->folders[i];
    if (is_lost) {
      ScanRecord r{};
      r.drive_tag = static_cast<uint16_t>(drive_tag_);
      r.source_kind = kSourceNtfsQuick;
      r.is_directory = 1;
      r.deleted_directory_mark = mark;
      r.content_check = 1;
      r.object_id = number;
      r.cluster_size = -1;
      char name[32];
      std::snprintf(name, sizeof(name), "LostFolder%u", number);
      SetRecordName(&r, name);
      store_->AppendRecord(&r);
      store_->AddRelation(kRootRecord, 0, r.record_index, number, r.name);
      continue;
    }
    FileNameAttribute name;
    bool named = false;
    if (volume_.ReadMftRecord(number, &buffer, &state->record) == kSuccess) {
      named = PreferredFileName(state->record, &name);
    } else {
      state->record = MftRecord{};  // an unreadable folder is shown without its times
    }
    if (!named) name.name = "Folder" + std::to_string(number);
    const Placement& place = state->placed.at(number);
    RecordTimesEntry times;
    ScanRecord r = BaseRecord(number, state->record, name, &times);
    r.is_directory = 1;
    r.deleted_directory_mark = mark;
    r.content_check = 1;
    SetRecordName(&r, name.name);
    if (named) {
      AppendWithTimes(&r, times);
    } else {
      store_->AppendRecord(&r);
    }
    store_->AddRelation(place.parent, place.level - 1, r.record_index, number, r.name);
  }
}

}  // namespace velmora
