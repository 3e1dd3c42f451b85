#include "cli/scan_session.h"

#include "cli/result_listing.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <nlohmann/json.hpp>

#include "deep/engine_factory.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "deep/professional_recovery.h"
#include "engine/source_fingerprint.h"
#include "storage/error_codes.h"
#include "storage/platform_device.h"
#include "storage/sector_reader.h"
#include "storage/source_locator.h"

namespace velmora::cli {

namespace {

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted.store(true); }

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string FormatRemaining(int seconds) {
  if (seconds < 0) return "estimating";
  char text[64];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof(text), "%d Hour %d Min", seconds / 3600, seconds % 3600 / 60);
  } else if (seconds >= 60) {
    std::snprintf(text, sizeof(text), "%d Min %d Sec", seconds / 60, seconds % 60);
  } else {
    std::snprintf(text, sizeof(text), "%d Sec", seconds);
  }
  return text;
}

std::string ResultsFile() { return ScanLogDirectory() + "/cli-results.json"; }

nlohmann::json LoadResults() {
  std::ifstream in(ResultsFile());
  if (!in) return nlohmann::json::object();
  nlohmann::json results = nlohmann::json::parse(in, nullptr, false);
  return results.is_object() ? results : nlohmann::json::object();
}

void StoreResults(const nlohmann::json& results) {
  CreateFolderTree(ScanLogDirectory());
  const std::string path = ResultsFile();
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::trunc);
    out << results.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    if (!out) return;
  }
  std::rename(temporary.c_str(), path.c_str());
}

std::string ResultKey(const ScanTarget& target, bool deep) {
  return (deep ? "deep|" : "quick|") + target.key;
}

std::string FingerprintOf(const ScanTarget& target) {
  return target.is_region ? FingerprintPartition(target.disk_number, target.start_sector,
                                                 target.sector_count)
                          : FingerprintImage(target.image_path);
}

void TellOtherContents(const ScanTarget& target, bool deep) {
  std::fprintf(stderr,
               "'%s' does not hold what it held when it was last scanned (another medium, or "
               "changed since); the saved %s is discarded and it is scanned anew\n",
               target.display.c_str(), deep ? "deep scan" : "result");
}

}  // namespace

int ResolveTarget(const std::string& source, ScanTarget* target, std::string* error) {
  *target = ScanTarget{};
  target->display = source;
  // Image partitions are registered as numbered drives for as long as the locator lives;
  // one command runs per process, so it lives for the process and is never destroyed
  // (its destructor would run after the drive registry is gone).
  static SourceLocator& locator = *new SourceLocator;
  LocatedSource located;
  const int err = locator.Locate(source, &located, error);
  if (err != kSuccess) return err;
  char resolved[PATH_MAX];
  const std::string device =
      ::realpath(located.device_path.c_str(), resolved) ? std::string(resolved) : located.device_path;
  struct stat st {};
  const bool regular_file = ::stat(device.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  if (regular_file) platform::FileLastWriteTime(device, &target->write_time);
  target->device_path = device;
  target->size_bytes = located.ByteLength();
  if (located.kind == LocatedSource::Kind::kImage) {
    target->image_path = ::realpath(located.image_path.c_str(), resolved) ? std::string(resolved)
                                                                          : located.image_path;
    target->key = target->image_path;
    if (target->size_bytes == 0) {
      platform::FileHandle handle = platform::kInvalidHandle;
      if (platform::OpenSourceReadOnly(target->image_path, &handle) == kSuccess) {
        platform::QuerySourceSize(handle, &target->size_bytes);
        platform::CloseHandle(&handle);
      }
    }
    return kSuccess;
  }
  target->is_region = true;
  target->disk_number = located.disk_number;
  target->start_sector = located.start_sector;
  target->sector_count = located.sector_count;
  // Drive numbers can shift between runs; the device and the region do not.
  target->key = device + "@" + std::to_string(located.start_sector) + "+" +
                std::to_string(located.sector_count);
  return kSuccess;
}

std::unique_ptr<IFileRecoveryParse> CreateEngineFor(const ScanTarget& target, bool deep) {
  if (target.is_region) {
    return CreateEngineForPartition(target.disk_number,
                                    static_cast<uint32_t>(target.start_sector),
                                    static_cast<uint32_t>(target.start_sector >> 32),
                                    static_cast<uint32_t>(target.sector_count),
                                    static_cast<uint32_t>(target.sector_count >> 32), u'*', deep);
  }
  return CreateEngineForImage(target.image_path, u'*', deep);
}

bool FindSavedResult(const ScanTarget& target, bool deep, SavedResult* result,
                     bool* other_contents) {
  if (other_contents) *other_contents = false;
  const nlohmann::json results = LoadResults();
  const auto it = results.find(ResultKey(target, deep));
  if (it == results.end() || !it->is_object()) return false;
  if (it->value("size", uint64_t{0}) != target.size_bytes ||
      it->value("write_time", uint64_t{0}) != target.write_time) {
    return false;  // the source changed since
  }
  result->folder = it->value("folder", "");
  result->log_name = it->value("log", "");
  result->complete = it->value("complete", false);
  struct stat st {};
  if (result->folder.empty() || ::stat(result->folder.c_str(), &st) != 0) return false;
  // The same path can name other contents now (a card swapped at the same number).
  const std::string now = FingerprintOf(target);
  if (now.empty() || FolderFingerprint(result->folder) != now) {
    if (other_contents) *other_contents = true;
    return false;
  }
  return true;
}

void RememberResult(const ScanTarget& target, bool deep, const SavedResult& result) {
  nlohmann::json results = LoadResults();
  results[ResultKey(target, deep)] = {{"source", target.display},
                                      {"folder", result.folder},
                                      {"log", result.log_name},
                                      {"complete", result.complete},
                                      {"size", target.size_bytes},
                                      {"write_time", target.write_time}};
  StoreResults(results);
}

void ForgetResult(const ScanTarget& target, bool deep) {
  nlohmann::json results = LoadResults();
  results.erase(ResultKey(target, deep));
  StoreResults(results);
}

ProgressPrinter::ProgressPrinter(std::string label) : label_(std::move(label)) {
  terminal_ = ::isatty(STDERR_FILENO) != 0;
  g_interrupted.store(false);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGINT, &action, nullptr);
  ::sigaction(SIGTERM, &action, nullptr);
}

ProgressPrinter::~ProgressPrinter() {
  Finish();
  ::signal(SIGINT, SIG_DFL);
  ::signal(SIGTERM, SIG_DFL);
}

bool ProgressPrinter::Interrupted() { return g_interrupted.load(); }

int ProgressPrinter::ScanCallback(void* context, int percent, int scale, int seconds_remaining,
                                  uint32_t a_low, uint32_t a_high, uint32_t b_low,
                                  uint32_t b_high, uint32_t c_low, uint32_t c_high) {
  auto* self = static_cast<ProgressPrinter*>(context);
  if (g_interrupted.load()) return kCancelledByUser;
  const int shown = scale > 0 ? percent * scale / 100 : percent;
  self->Print(shown, seconds_remaining, (static_cast<uint64_t>(a_high) << 32) | a_low,
              (static_cast<uint64_t>(b_high) << 32) | b_low,
              (static_cast<uint64_t>(c_high) << 32) | c_low);
  return 0;
}

void ProgressPrinter::Print(int percent, int seconds_remaining, uint64_t a, uint64_t b,
                            uint64_t c) {
  const int64_t now = NowMs();
  // A terminal gets a live line; a log gets a plain line every few seconds.
  const int64_t interval = terminal_ ? 100 : 5000;
  if (percent == last_percent_ && last_print_ms_ >= 0 && now - last_print_ms_ < interval) return;
  if (!terminal_ && last_print_ms_ >= 0 && now - last_print_ms_ < interval && percent < 100) return;
  last_print_ms_ = now;
  last_percent_ = percent;
  char line[256];
  const std::string remaining =
      percent >= 100 ? "done" : FormatRemaining(seconds_remaining) + " left";
  int length = std::snprintf(line, sizeof(line), "%s %3d%%  %s", label_.c_str(), percent,
                             remaining.c_str());
  if (b != 0 && length > 0 && length < static_cast<int>(sizeof(line))) {
    std::snprintf(line + length, sizeof(line) - static_cast<size_t>(length),
                  "  sectors %llu / %llu  files found %llu", static_cast<unsigned long long>(a),
                  static_cast<unsigned long long>(b), static_cast<unsigned long long>(c));
  }
  if (terminal_) {
    std::fprintf(stderr, "\r\033[K%s", line);
  } else {
    std::fprintf(stderr, "%s\n", line);
  }
  std::fflush(stderr);
  printed_ = true;
}

void ProgressPrinter::Finish() {
  if (terminal_ && printed_) std::fprintf(stderr, "\n");
  printed_ = false;
}

namespace {

// The saved deep scan of a source, if the index holds one for it unchanged.
bool FindSavedDeepScan(const ScanTarget& target, ScanIndexRecord* record) {
  ScanIndex& index = ScanIndex::Instance();
  return target.is_region ? index.FindForPartition(target.disk_number, target.start_sector,
                                                   target.sector_count, "", record)
                          : index.FindForImage(target.image_path, record);
}

std::string FolderOf(const ScanIndexRecord& record) {
  size_t length = 0;
  while (length < 260 && record.scan_folder[length] != 0) ++length;
  return Utf16ToUtf8(std::u16string_view(record.scan_folder, length));
}

}  // namespace

int RunDeepScan(const ScanTarget& target, bool fresh, std::unique_ptr<IFileRecoveryParse>* engine,
                DeepScanOutcome* outcome, std::string* error) {
  *outcome = DeepScanOutcome{};
  ScanIndex& index = ScanIndex::Instance();
  if (fresh) {
    ScanIndexRecord record{};
    if (FindSavedDeepScan(target, &record)) {
      index.Remove(FolderOf(record));
      index.Save();
    }
  }
  *engine = CreateEngineFor(target, true);
  auto* deep = dynamic_cast<CProfessionalRecovery*>(engine->get());
  if (deep == nullptr) {
    *error = "cannot read '" + target.display + "'";
    return kErrInvalidParameter;
  }
  if (deep->DiscardedOtherContents()) TellOtherContents(target, true);
  outcome->resumed = deep->Resuming();
  bool pass_resumed = false;
  deep->SetResumeNotice([&](int percent) {
    pass_resumed = true;
    outcome->resumed_percent = percent;
    std::fprintf(stderr, "Resuming the saved deep scan of %s from %d%%\n",
                 target.display.c_str(), percent);
  });
  int result = kSuccess;
  {
    ProgressPrinter progress("deep scan");
    deep->SetScanCallback(&ProgressPrinter::ScanCallback, nullptr, &progress, 100);
    result = deep->Scan(nullptr);
    progress.Finish();
  }
  outcome->cancelled = result == kCancelledByUser;
  outcome->complete = deep->PassComplete();
  outcome->unreadable_sectors = deep->UnreadableSectors();
  outcome->failed_buffers = deep->FailedBuffers();
  outcome->first_buffer_failure = deep->FirstBufferFailure();
  ScanIndexRecord record{};
  outcome->saved = FindSavedDeepScan(target, &record);
  if (outcome->resumed && !pass_resumed && outcome->complete) {
    outcome->resumed_percent = 100;  // a finished scan was opened again
    std::fprintf(stderr, "Resuming the saved deep scan of %s from 100%% (already complete; "
                 "--fresh scans again)\n", target.display.c_str());
  }
  if (result != kSuccess && !outcome->cancelled) {
    *error = "deep scan failed: " + DescribeErrorCode(result);
    return result;
  }
  return kSuccess;
}

int OpenOrScan(const ScanTarget& target, bool deep, bool fresh, bool scan_if_missing,
               std::unique_ptr<IFileRecoveryParse>* engine, bool* scanned, bool* cancelled,
               std::string* error) {
  *scanned = false;
  *cancelled = false;
  if (deep) {
    // A saved deep scan (finished or stopped) is served as it stands.
    if (!fresh) {
      *engine = CreateEngineFor(target, true);
      auto* combined = dynamic_cast<CProfessionalRecovery*>(engine->get());
      if (combined != nullptr && combined->DiscardedOtherContents()) TellOtherContents(target, true);
      if (combined != nullptr && combined->Resuming()) return combined->Scan("saved");
      if (!scan_if_missing) {
        *error = "no saved deep scan of '" + target.display + "'";
        return kErrFileNotFound;
      }
    }
    DeepScanOutcome outcome;
    const int result = RunDeepScan(target, fresh, engine, &outcome, error);
    *scanned = true;
    *cancelled = outcome.cancelled;
    return result;
  }
  *engine = CreateEngineFor(target, deep);
  if (!*engine) {
    *error = deep ? "cannot read '" + target.display + "'"
                  : "no NTFS, FAT or ext file system found on '" + target.display +
                        "' (try --deep)";
    return kErrInvalidParameter;
  }
  ScanIndex& index = ScanIndex::Instance();
  SavedResult saved;
  bool other_contents = false;
  if (!fresh && FindSavedResult(target, deep, &saved, &other_contents)) {
    index.UseFolder(saved.folder);
    if (saved.log_name.empty()) return kSuccess;  // the scan left no log: nothing was found
    return (*engine)->Scan(saved.log_name.c_str());
  }
  if (other_contents) {
    TellOtherContents(target, deep);
    index.Remove(saved.folder);
  }
  if (!scan_if_missing) {
    *error = "no saved scan of '" + target.display + "'";
    return kErrFileNotFound;
  }
  ForgetResult(target, deep);
  const std::string folder = index.NewScanFolder();
  CreateFolderTree(folder.substr(0, folder.size() - 1));
  KeepFolderFingerprint(folder, FingerprintOf(target));
  ProgressPrinter progress(deep ? "deep scan" : "quick scan");
  (*engine)->SetScanCallback(&ProgressPrinter::ScanCallback, nullptr, &progress, 100);
  const int result = (*engine)->Scan(nullptr);
  progress.Finish();
  *scanned = true;
  *cancelled = result == kCancelledByUser;
  if (result != kSuccess && !*cancelled) {
    *error = "scan failed: " + DescribeErrorCode(result);
    return result;
  }
  std::string log_name;
  if (!index.FindLogFile(folder, deep ? "Pro" : "Fast_", &log_name) &&
      !index.FindLogFile(folder, "_", &log_name)) {
    // An engine that found nothing may leave no log; remember the folder anyway.
    log_name.clear();
  }
  index.Save();
  RememberResult(target, deep, SavedResult{folder, log_name, !*cancelled});
  return kSuccess;
}

int OpenSavedResult(const ScanTarget& target, bool deep, std::unique_ptr<IFileRecoveryParse>* engine,
                    std::string* error) {
  bool scanned = false;
  bool cancelled = false;
  return OpenOrScan(target, deep, /*fresh=*/false, /*scan_if_missing=*/true, engine, &scanned,
                    &cancelled, error);
}

uint64_t RecordId(const ScanRecord& record) {
  if (record.source_kind <= kSourceFatQuick) return record.record_index;
  return static_cast<uint64_t>(record.source_kind) * 1000000000ull + record.record_index;
}

std::string FiletimeToIso(uint64_t filetime) {
  if (filetime == 0) return {};
  constexpr uint64_t kEpochDifference = 11644473600ULL;
  const uint64_t seconds = filetime / 10000000ULL;
  if (seconds < kEpochDifference) return {};
  const std::time_t unix_time = static_cast<std::time_t>(seconds - kEpochDifference);
  std::tm utc{};
  if (::gmtime_r(&unix_time, &utc) == nullptr) return {};
  char text[32];
  std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

}  // namespace velmora::cli
