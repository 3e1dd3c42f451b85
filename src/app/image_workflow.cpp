#include "app/image_workflow.h"

#include <algorithm>

#include "app/image_destination.h"
#include "app/size_text.h"
#include "storage/error_codes.h"
#include "storage/image_source.h"

namespace velmora::app {
namespace {

// What the copy's progress callback reaches.
struct CopyContext {
  const TextTable* messages;
  WorkflowObserver* observer;
  CancelToken* cancel;
};

int OnCopyProgress(void* raw, int percent, uint64_t done, uint64_t total, int32_t seconds) {
  auto* context = static_cast<CopyContext*>(raw);
  const TextTable& messages = *context->messages;
  ImageProgress progress;
  progress.percent = percent;
  progress.sectors_done = done;
  progress.sectors_total = total;
  progress.seconds_remaining = seconds;
  progress.percent_text = Lookup(messages, "MSG0301") + " " + std::to_string(percent) + "%";
  progress.time_text = seconds < 0 ? Lookup(messages, "MSG0304")
                                   : Lookup(messages, "MSG0305") + " " + FormatDuration(seconds);
  progress.sectors_text =
      Lookup(messages, "MSG0303") + " " + std::to_string(done) + " / " + std::to_string(total);
  context->observer->OnImageProgress(progress);
  return context->cancel->Checkpoint() ? kCancelledByUser : 0;
}

}  // namespace

ImageOrigin ImageOriginOf(const ScanSource& region) {
  ImageOrigin origin;
  if (region.IsImage()) {
    origin.kind = ImageOrigin::Kind::kImageFile;
    origin.image_path = region.image_path;
    origin.device_path = region.image_path;
    origin.name = region.image_path;
    origin.suggested_file = region.ShortName();
    return origin;
  }
  const PartitionEntry& entry = *region.entry;
  origin.disk_number = entry.disk;
  origin.start_sector = entry.start;
  origin.sector_count = entry.length;
  origin.byte_length = entry.length * entry.sector_size;
  origin.device_path = entry.disk_path;
  origin.name = entry.volume_path.empty() ? entry.disk_path : entry.volume_path;
  origin.suggested_file = std::to_string(entry.number) + " (" + entry.file_system_name + ", " +
                          FormatSize(static_cast<int64_t>(entry.total)) + ").img";
  return origin;
}

ImageOrigin ImageOriginOf(const DiskNode& disk) {
  ImageOrigin origin;
  origin.disk_number = disk.number;
  origin.device_path = disk.device_path;
  origin.name = disk.device_path;
  // The disk's length as far as its rows reach: the enumeration's rows cover it.
  for (const auto& row : disk.rows) {
    const PartitionEntry& entry = *row->entry;
    origin.byte_length =
        std::max<uint64_t>(origin.byte_length, (entry.start + entry.length) * entry.sector_size);
  }
  origin.suggested_file = "Physical Disk " + std::to_string(disk.number + 1) + ".img";
  return origin;
}

ImageWorkflow::ImageWorkflow(TextTable messages)
    : messages_(std::move(messages)), writer_(std::make_unique<DiskImageWriter>()) {}

ImageWorkflow::~ImageWorkflow() = default;

int ImageWorkflow::CheckDestination(const ImageOrigin& origin, const std::string& destination,
                                    bool may_replace, std::string* refusal) {
  return CheckImageDestination(origin.device_path, origin.byte_length, destination, may_replace,
                               refusal);
}

int ImageWorkflow::Run(const ImageOrigin& origin, const std::string& destination,
                       const ImageOptions& options, WorkflowObserver& observer,
                       CancelToken& cancel) {
  writer_ = std::make_unique<DiskImageWriter>();
  writer_->unreadable = options.unreadable;
  writer_->replace_existing = options.replace_existing;
  writer_->sparse = options.sparse;
  writer_->source_name = origin.name;
  writer_->progress = OnCopyProgress;
  observer.OnStage(Lookup(messages_, "MSG0302") + " " + destination);
  CopyContext context{&messages_, &observer, &cancel};
  if (origin.kind == ImageOrigin::Kind::kDiskRegion) {
    return CreateDiskImage(writer_.get(), origin.disk_number, origin.start_sector,
                           origin.sector_count, destination, &context);
  }
  std::unique_ptr<ImageSource> reader;
  const int opened = OpenImageSource(origin.image_path, &reader);
  if (opened != kSuccess) return opened;
  return CopyToImage(writer_.get(), reader.get(), 0, 0, destination, &context);
}

}  // namespace velmora::app
