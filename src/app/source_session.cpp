#include "app/source_session.h"

#include <climits>
#include <cstdlib>

#include "app/error_text.h"
#include "app/saved_scans.h"
#include "storage/error_codes.h"
#include "storage/source_locator.h"

namespace velmora::app {

const char* ModeName(ScanMode mode) { return mode == ScanMode::kDeep ? "deep" : "quick"; }

SourceSession::SourceSession() : workflow_(TextTable{}) {}
SourceSession::~SourceSession() = default;

int SourceSession::Resolve(const std::string& text, std::string* error) {
  // Image partitions are registered as numbered drives for as long as the locator
  // lives; it lives for the process and is never destroyed (its destructor would
  // run after the drive registry is gone).
  static SourceLocator& locator = *new SourceLocator;
  LocatedSource located;
  const int err = locator.Locate(text, &located, error);
  if (err != kSuccess) return err;
  char resolved[PATH_MAX];
  device_path_ = ::realpath(located.device_path.c_str(), resolved) ? std::string(resolved)
                                                                   : located.device_path;
  if (located.kind == LocatedSource::Kind::kImage) {
    source_ = &list_.AddImage(located.image_path);
  } else {
    PartitionEntry entry;
    entry.disk = located.disk_number;
    entry.start = located.start_sector;
    entry.length = located.sector_count;
    entry.sector_size = located.sector_size;
    entry.total = located.ByteLength();
    entry.disk_path = device_path_;
    source_ = &list_.AddRegion(entry);
  }
  source_->display = text;
  return kSuccess;
}

namespace {

// Why a scan left the source without an engine.
std::string NoEngineText(const ScanSource& source, ScanMode mode) {
  if (mode == ScanMode::kDeep) return "cannot read '" + source.Label() + "'";
  return "no NTFS, FAT or ext file system found on '" + source.Label() + "' (try --deep)";
}

// A damaged saved-scan index loses results: said once, instead of scanning again silently.
void ReportIndexDamage(WorkflowObserver& observer) {
  static bool told = false;
  ScanIndex& index = ScanIndex::Instance();
  if (told || index.Damage().empty()) return;
  told = true;
  (void)index.Save();  // what could be read of it, whole again; the damaged file is kept aside
  observer.OnNotice("The saved-scan index " + index.Directory() + "/config is damaged (" +
                    index.Damage() +
                    "); it is kept as config.damaged and written anew. Saved "
                    "results it no longer names are scanned again; their folders stay in " +
                    index.Directory() + ".");
}

}  // namespace

int SourceSession::Scan(ScanMode mode, bool fresh, WorkflowObserver& observer, CancelToken& cancel,
                        std::string* error) {
  ReportIndexDamage(observer);
  if (fresh && mode == ScanMode::kDeep) {
    if (const int err = DiscardSavedResult(*source_, mode); err != kSuccess) {
      *error = std::string(ModeName(mode)) + " scan failed: " + ResultText(err);
      return err;
    }
  }
  const int result = workflow_.ScanNow(*source_, mode, observer, cancel);
  ReportIndexDamage(observer);
  if (result == kErrSharingViolation) {
    *error = BusyText(*source_);
    return result;
  }
  if (!source_->engine) {
    *error = result == kErrLinkInDataFolder
                 ? std::string(ModeName(mode)) + " scan failed: " + ResultText(result)
                 : NoEngineText(*source_, mode);
    return result != kSuccess ? result : kErrInvalidParameter;
  }
  if (result != kSuccess && result != kCancelledByUser) {
    *error = std::string(ModeName(mode)) + " scan failed: " + ResultText(result);
  }
  return result;
}

int SourceSession::Open(std::optional<ScanMode> mode, WorkflowObserver& observer,
                        CancelToken& cancel, ScanMode* used, std::string* error) {
  ReportIndexDamage(observer);
  ScanMode chosen = ScanMode::kQuick;
  std::string damage;
  if (mode) {
    chosen = *mode;
  } else if (bool other = false; !LatestSavedMode(*source_, &chosen, &other, &damage)) {
    if (other) observer.OnNotice(OtherContentsNotice(*source_, ScanMode::kQuick));
    if (!damage.empty()) observer.OnNotice(DamagedResultNotice(*source_, damage));
  } else {
    if (!damage.empty()) observer.OnNotice(DamagedResultNotice(*source_, damage));
    observer.OnNotice("Using the saved " + std::string(ModeName(chosen)) + " scan of " +
                      source_->Label() + " (the newest; --quick or --deep chooses)");
  }
  *used = chosen;
  used_mode_ = chosen;
  if (reading_.AcquireShared(ScanIndex::Instance().Directory(), SourceLockKey(*source_)) ==
      kErrSharingViolation) {
    *error = BusyText(*source_);
    return kErrSharingViolation;
  }
  OpenOutcome outcome;
  const int result =
      workflow_.OpenOrScan(*source_, chosen, OpenOptions{}, observer, cancel, &outcome);
  ReportIndexDamage(observer);
  if (result == kErrSharingViolation) {
    *error = BusyText(*source_);
    return result;
  }
  if (!source_->engine) {
    *error = NoEngineText(*source_, chosen);
    return result != kSuccess ? result : kErrInvalidParameter;
  }
  if (result != kSuccess && result != kCancelledByUser) {
    *error = "scan failed: " + ResultText(result);
    return result;
  }
  return kSuccess;
}

bool SourceSession::ResultHoldsExistingFiles() const {
  return source_ != nullptr && app::ResultHoldsExistingFiles(*source_, used_mode_);
}

}  // namespace velmora::app
