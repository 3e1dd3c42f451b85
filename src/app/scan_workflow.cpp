#include "app/scan_workflow.h"

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "app/saved_scans.h"
#include "app/size_text.h"
#include "deep/deep_recovery.h"
#include "engine/data_folder.h"
#include "engine/recovery_output.h"
#include "engine/scan_index.h"
#include "storage/error_codes.h"
#include "storage/text_codec.h"

namespace velmora::app {

namespace {

struct ScanContext {
  const TextTable* messages;
  WorkflowObserver* observer;
  CancelToken* cancel;
  uint32_t sector_size = 512;
  int last_percent = -1;
  std::chrono::steady_clock::time_point last_report{};
  // The first report of the pass: the rate counts what this run read, not what a
  // resumed scan had read before.
  bool started = false;
  uint64_t first_sectors = 0;
  std::chrono::steady_clock::time_point first_report{};
};

// Texts are made and handed on when the percentage moves, else at most this often: the
// engines report after every buffer they examine, tens of thousands of times a scan.
constexpr auto kReportInterval = std::chrono::milliseconds(100);

uint64_t Join(uint32_t low, uint32_t high) { return (static_cast<uint64_t>(high) << 32) | low; }

int OnScanProgress(void* context, int percent, int scale, int seconds_remaining, uint32_t a_low,
                   uint32_t a_high, uint32_t b_low, uint32_t b_high, uint32_t c_low,
                   uint32_t c_high) {
  auto* scan = static_cast<ScanContext*>(context);
  if (scan->cancel->Checkpoint()) return kCancelledByUser;
  const int shown = percent * scale / 100;
  const auto now = std::chrono::steady_clock::now();
  if (shown == scan->last_percent && now - scan->last_report < kReportInterval) return 0;
  scan->last_percent = shown;
  scan->last_report = now;
  const TextTable& messages = *scan->messages;
  ScanProgress progress;
  progress.percent = shown;
  progress.seconds_remaining = seconds_remaining;
  progress.sectors_done = Join(a_low, a_high);
  progress.sectors_total = Join(b_low, b_high);
  progress.files_found = Join(c_low, c_high);
  progress.time_text = seconds_remaining == -1
                           ? Lookup(messages, msg::kScanEstimating)
                           : FormatText("%s %s", {Lookup(messages, msg::kScanTimeLeft),
                                                  FormatDuration(seconds_remaining)});
  progress.percent_text = FormatText(
      "%s %d%%", {Lookup(messages, msg::kScanPercent), std::to_string(progress.percent)});
  if (progress.sectors_total != 0) {
    if (!scan->started || progress.sectors_done < scan->first_sectors) {
      scan->started = true;
      scan->first_sectors = progress.sectors_done;
      scan->first_report = now;
    }
    const double seconds = std::chrono::duration<double>(now - scan->first_report).count();
    const uint64_t read = (progress.sectors_done - scan->first_sectors) * scan->sector_size;
    // No rate before a second has passed: the first reports would swing wildly.
    const std::string rate =
        seconds >= 1.0 ? FormatSize(static_cast<int64_t>(static_cast<double>(read) / seconds))
                       : "-";
    progress.sectors_text = FormatText(
        Lookup(messages, msg::kScanBytes),
        {FormatSize(static_cast<int64_t>(progress.sectors_done * scan->sector_size)),
         FormatSize(static_cast<int64_t>(progress.sectors_total * scan->sector_size)), rate});
    progress.files_text = FormatText(
        "%s %I64u", {Lookup(messages, msg::kScanFilesFound), std::to_string(progress.files_found)});
  }
  scan->observer->OnScanProgress(progress);
  return 0;
}

}  // namespace

std::string SourceLockKey(const ScanSource& source) {
  if (source.IsImage()) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::canonical(source.image_path, ec);
    return "image:" + (ec ? source.image_path : real.string());
  }
  const PartitionEntry& entry = *source.entry;
  return "disk:" + std::to_string(entry.disk) + ":" + std::to_string(entry.start) + ":" +
         std::to_string(entry.length);
}

std::string BusyText(const ScanSource& source) {
  return source.Label() +
         " is in use by another velmora process (a scan of it, or a recovery from its result); "
         "try again when that ends";
}

std::string OtherContentsNotice(const ScanSource& source, ScanMode mode) {
  return "'" + source.Label() +
         "' does not hold what it held when it was last scanned (another medium, or changed "
         "since); the saved " +
         (mode == ScanMode::kDeep ? "deep scan" : "result") +
         " is discarded and it is scanned anew";
}

std::string DamagedStateNotice(const ScanSource& source, const std::string& reason) {
  return "the saved deep scan of '" + source.Label() + "' is damaged (" +
         (reason.empty() ? std::string("it does not fit the source or its logs") : reason) +
         "); it is discarded and scanned anew";
}

std::string DamagedResultNotice(const ScanSource& source, const std::string& reason) {
  return "the saved quick scan of '" + source.Label() + "' is damaged (" + reason +
         "); it is discarded and scanned anew";
}

std::string SourceTitle(const ScanSource& source) {
  if (source.IsImage()) return source.ShortName();
  const PartitionEntry& entry = *source.entry;
  std::string where = entry.volume_path;
  if (where.empty()) {
    where = LastPathComponent(entry.disk_path) + " #" + std::to_string(entry.number) + ", " +
            FormatSize(static_cast<int64_t>(entry.total));
  }
  return entry.volume_label.empty() ? where : entry.volume_label + " (" + where + ")";
}

PartialResult PartialResultOf(const ScanSource& source) {
  PartialResult out;
  const auto* combined = dynamic_cast<const CProfessionalRecovery*>(source.engine.get());
  if (combined == nullptr || combined->PassComplete() || combined->SavedScanFinished()) return out;
  out.partial = true;
  out.sectors = combined->RegionSectors();
  out.position = combined->Resuming() ? std::min(combined->SavedPosition(), out.sectors) : 0;
  out.percent = out.sectors != 0 ? static_cast<int>(out.position * 100 / out.sectors) : 0;
  return out;
}

std::string ScanWorkflow::StageText(const TextTable& messages, const ScanSource& source,
                                    const char* number_key, const char* image_key,
                                    bool image_key_is_prefix) {
  const std::string name = EscapeControl(source.ShortName());
  if (!source.IsImage()) return FormatText(Lookup(messages, number_key), {name});
  if (image_key_is_prefix) return FormatText("%s %s", {Lookup(messages, image_key), name});
  return FormatText(Lookup(messages, image_key), {name});
}

void ScanWorkflow::ForgetLastRun() {
  for (ScanSource* source : last_sources_) source->engine.reset();
  // Every quick folder of the last run goes, not just the last row's: the
  // engines that read them are gone.
  ScanIndex& index = ScanIndex::Instance();
  for (const std::string& folder : last_quick_folders_) index.Remove(folder);
  if (!last_quick_folders_.empty()) (void)index.Save();  // dropped folders; the next save writes it
  last_quick_folders_.clear();
  last_sources_.clear();
}

RunResult ScanWorkflow::Run(const std::vector<ScanSource*>& sources, ScanMode mode,
                            WorkflowObserver& observer, CancelToken& cancel) {
  ForgetLastRun();
  last_sources_ = sources;
  last_mode_ = mode;
  last_run_partial_ = false;
  bool any_engine = false;
  bool cancelled = false;
  for (ScanSource* source : sources) {
    const int result = ScanOne(*source, mode, observer, cancel);
    // A deep scan that did not read its whole region gives part of its result.
    if (mode == ScanMode::kDeep && source->engine && !deep_outcome_.complete)
      last_run_partial_ = true;
    if (result == kCancelledByUser) {
      cancelled = true;
      last_run_partial_ = last_run_partial_ || source->engine != nullptr;
      break;
    }
    if (!source->engine) {
      observer.OnSourceFailed(*source, result);
      if (sources.size() == 1) return RunResult::kNoEngine;
      continue;
    }
    any_engine = true;
    if (result != kSuccess) observer.OnSourceFailed(*source, result);
  }
  if (cancelled) return RunResult::kCancelled;
  return any_engine || sources.empty() ? RunResult::kFinished : RunResult::kNoEngine;
}

std::vector<ScanSource*> ScanWorkflow::ResultSources() const {
  std::vector<ScanSource*> sources;
  for (ScanSource* source : last_sources_) {
    if (source->engine) sources.push_back(source);
  }
  return sources;
}

int ScanWorkflow::ScanOne(ScanSource& source, ScanMode mode, WorkflowObserver& observer,
                          CancelToken& cancel) {
  observer.OnStage(FormatText(Lookup(messages_, msg::kScanStageSource), {SourceTitle(source)}));
  source.engine.reset();
  // One scan of a source at a time: another process scanning it owns its saved state.
  SourceScanLock busy;
  const int locked = busy.Acquire(ScanIndex::Instance().Directory(), SourceLockKey(source));
  // The faces say why (BusyText): the command line as its error, the window per source.
  if (locked == kErrSharingViolation) return kErrSharingViolation;
  if (locked == kErrLinkInDataFolder) return locked;
  source.engine = CreateEngine(source, mode);
  if (!source.engine) return kErrInvalidParameter;
  ScanIndex& index = ScanIndex::Instance();
  std::string quick_folder;
  if (mode == ScanMode::kQuick) {
    // A new quick scan replaces the old one; an index that cannot be written would keep
    // neither, so the scan does not start.
    int err = DiscardSavedResult(source, mode);
    if (err == kSuccess) {
      quick_folder = index.NewScanFolder();
      err = CreateDataFolder(quick_folder);
    }
    if (err != kSuccess) return err;
    last_quick_folders_.push_back(quick_folder);
  } else {
    // The engine looked the saved scan up (and dropped one that does not check out) when it
    // opened. Only a stopped scan is asked about; a finished one is its result and reopens.
    const auto* opened = dynamic_cast<const CProfessionalRecovery*>(source.engine.get());
    const bool stopped = opened != nullptr && opened->Resuming() && !opened->SavedScanFinished();
    ResumeAnswer answer = ResumeAnswer::kContinue;
    if (stopped) {
      ResumeQuestion question;
      // A stopped scan never says 100%.
      question.percent = std::min(PartialResultOf(source).percent, 99);
      const std::string percent = std::to_string(question.percent);
      question.text =
          FormatText(Lookup(messages_, msg::kResumeQuestion), {SourceTitle(source), percent});
      question.continue_text = FormatText(Lookup(messages_, msg::kResumeContinue), {percent});
      question.start_over_text = Lookup(messages_, msg::kResumeStartOver);
      answer = observer.AskResume(source, question);
    }
    if (answer == ResumeAnswer::kCancel) {
      // Nothing scanned and nothing dropped: the saved scan waits for another time.
      source.engine.reset();
      return kCancelledByUser;
    }
    if (answer == ResumeAnswer::kStartOver) {
      // The engine looked the saved scan up when it opened: drop it, then open afresh.
      source.engine.reset();
      if (const int err = DiscardSavedResult(source, mode); err != kSuccess) return err;
      source.engine = CreateEngine(source, mode);
      if (!source.engine) return kErrInvalidParameter;
    }
  }
  deep_outcome_ = DeepScanOutcome{};
  read_faults_ = MetadataReadFaults{};
  auto* combined = dynamic_cast<CProfessionalRecovery*>(source.engine.get());
  bool pass_resumed = false;
  if (combined != nullptr) {
    if (combined->DiscardedOtherContents()) observer.OnNotice(OtherContentsNotice(source, mode));
    if (combined->DiscardedDamagedState()) {
      observer.OnNotice(DamagedStateNotice(source, combined->DamageReason()));
    }
    deep_outcome_.finished_before = combined->SavedScanFinished();
    deep_outcome_.resumed = combined->Resuming() && !deep_outcome_.finished_before;
    combined->SetResumeNotice([&](int percent) {
      pass_resumed = true;
      deep_outcome_.resumed_percent = percent;
      observer.OnNotice("Resuming the saved deep scan of " + source.Label() + " from " +
                        std::to_string(percent) + "%");
    });
  }
  ScanContext context{&messages_, &observer, &cancel};
  if (source.entry) context.sector_size = source.entry->sector_size;
  source.engine->SetScanCallback(&OnScanProgress, nullptr, &context, 100);
  const int result = source.engine->Scan(nullptr);
  source.engine->SetScanCallback(nullptr, nullptr, nullptr, 100);  // the context dies here
  read_faults_ =
      combined != nullptr ? combined->QuickReadFaults() : ReadFaultsOf(source.engine.get());
  if (read_faults_.count != 0 && result != kCancelledByUser) observer.OnNotice(read_faults_.notice);
  if (combined != nullptr) {
    combined->SetResumeNotice(nullptr);
    deep_outcome_.cancelled = result == kCancelledByUser;
    deep_outcome_.complete = combined->PassComplete();
    deep_outcome_.unreadable_sectors = combined->UnreadableSectors();
    deep_outcome_.failed_buffers = combined->FailedBuffers();
    deep_outcome_.first_buffer_failure = combined->FirstBufferFailure();
    ScanIndexRecord record{};
    deep_outcome_.saved = SavedResultFor(source, ScanMode::kDeep, &record);
    if (deep_outcome_.saved) (void)StampScanned(FolderOf(record));  // only orders results
    if (deep_outcome_.finished_before && !pass_resumed && deep_outcome_.complete) {
      observer.OnNotice("The saved deep scan of " + source.Label() +
                        " had read the whole source; its result is shown again");
    }
  }
  if (result == kSuccess && !quick_folder.empty()) {
    // A result that cannot be kept is no saved result: the scan fails with the reason.
    const int kept = RememberQuickResult(source, quick_folder);
    if (kept != kSuccess) return kept;
    (void)StampScanned(quick_folder);  // only orders results of the two modes
  } else {
    // Keeps the folder counter, so the next process does not reuse this folder.
    const int saved = index.Save();
    if (result == kSuccess && saved != kSuccess) return saved;
  }
  return result;
}

int ScanWorkflow::ScanNow(ScanSource& source, ScanMode mode, WorkflowObserver& observer,
                          CancelToken& cancel) {
  const int result = ScanOne(source, mode, observer, cancel);
  // The result belongs to the saved-scan index now, not to a run of this face.
  last_quick_folders_.clear();
  return result;
}

int ScanWorkflow::OpenOrScan(ScanSource& source, ScanMode mode, const OpenOptions& options,
                             WorkflowObserver& observer, CancelToken& cancel,
                             OpenOutcome* outcome) {
  *outcome = OpenOutcome{};
  ScanIndexRecord saved{};
  bool other_contents = false;
  std::string damage;
  if (options.fresh) {
    if (const int err = DiscardSavedResult(source, mode); err != kSuccess) return err;
  } else if (SavedResultFor(source, mode, &saved, &other_contents, &damage)) {
    source.engine.reset();
    source.engine = CreateEngine(source, mode);
    if (!source.engine) return kErrInvalidParameter;
    const std::string folder = FolderOf(saved);
    ScanIndex& index = ScanIndex::Instance();
    if (mode == ScanMode::kDeep) {
      // The engine checks the contents on opening and drops a stale saved scan.
      auto* combined = dynamic_cast<CProfessionalRecovery*>(source.engine.get());
      if (combined != nullptr && combined->DiscardedOtherContents()) {
        observer.OnNotice(OtherContentsNotice(source, mode));
      }
      if (combined != nullptr && combined->DiscardedDamagedState()) {
        observer.OnNotice(DamagedStateNotice(source, combined->DamageReason()));
      }
      if (combined == nullptr || combined->Resuming()) {
        outcome->reopened = true;
        return source.engine->Scan("saved");
      }
      if (!options.scan_if_missing) return kErrFileNotFound;
      // Scanned anew below; the engine already opened without the stale scan.
      const int result = ScanOne(source, mode, observer, cancel);
      outcome->scanned = source.engine != nullptr;
      outcome->cancelled = result == kCancelledByUser;
      return result;
    }
    index.UseFolder(folder);
    outcome->reopened = true;
    std::string log;
    // A quick scan that found nothing may have left no log.
    return index.FindLogFile(folder, "Fast_", &log) ? source.engine->Scan(log.c_str()) : kSuccess;
  }
  if (other_contents) observer.OnNotice(OtherContentsNotice(source, mode));
  if (!damage.empty()) observer.OnNotice(DamagedResultNotice(source, damage));
  if (!options.scan_if_missing) return kErrFileNotFound;
  const int result = ScanOne(source, mode, observer, cancel);
  outcome->scanned = source.engine != nullptr;
  outcome->cancelled = result == kCancelledByUser;
  // A quick result served later belongs to the index now, not to this run.
  last_quick_folders_.clear();
  return result;
}

}  // namespace velmora::app
