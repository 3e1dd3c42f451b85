// velmora image SOURCE --to FILE.img [--strict] [--force] [--sparse]: copy a disk,
// partition, gap or image into a raw image file. Unreadable sectors become zeros; FILE.img.map
// records what is done, so a stopped copy goes on where it was. --strict stops at the first
// unreadable chunk instead.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include "app/cancel_token.h"
#include "app/error_text.h"
#include "app/image_workflow.h"
#include "app/size_text.h"
#include "app/workflow_observer.h"
#include "cli/arguments.h"
#include "cli/commands.h"
#include "storage/disk_image_writer.h"
#include "storage/error_codes.h"
#include "storage/source_locator.h"
#include "storage/text_codec.h"

namespace velmora::cli {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

// Ctrl-C asks the copy to stop after its current chunk instead of killing the process.
class InterruptGuard {
 public:
  InterruptGuard() {
    g_interrupted = 0;
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previous_int_);
    ::sigaction(SIGTERM, &action, &previous_term_);
  }
  ~InterruptGuard() {
    ::sigaction(SIGINT, &previous_int_, nullptr);
    ::sigaction(SIGTERM, &previous_term_, nullptr);
  }

 private:
  struct sigaction previous_int_ {};
  struct sigaction previous_term_ {};
};

// A terminal line is redrawn at most this often; the copy reports after every chunk.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

// The copy's progress on stderr: one redrawn line on a terminal, a line per
// tenth otherwise. Ctrl-C is passed to the copy as a cancel.
class ImagePrinter : public app::WorkflowObserver {
 public:
  explicit ImagePrinter(app::CancelToken& cancel) : cancel_(cancel) {}

  void OnImageProgress(const app::ImageProgress& progress) override {
    // The signal handler only sets a flag; the token is told here, off the handler.
    if (g_interrupted && !cancel_.Cancelled()) cancel_.Cancel();
    const uint64_t done = progress.sectors_done;
    const uint64_t total = progress.sectors_total;
    const int percent = progress.percent;
    const std::string left = done == total ? std::string("done")
                             : progress.seconds_remaining < 0
                                 ? std::string("estimating time left")
                                 : app::FormatDuration(progress.seconds_remaining) + " left";
    if (terminal_) {
      const auto now = std::chrono::steady_clock::now();
      if (done != total && now - last_update_ < kRedrawInterval) return;
      last_update_ = now;
      std::fprintf(stderr, "\r  %3d%%  sector %llu / %llu  %s    ", percent,
                   static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                   left.c_str());
      line_open_ = true;
    } else if (percent / 10 != last_percent_printed_ / 10 || last_percent_printed_ < 0) {
      std::fprintf(stderr, "  %d%%  sector %llu / %llu  %s\n", percent,
                   static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                   left.c_str());
      last_percent_printed_ = percent;
    }
  }

  // Ends the redrawn line, so what follows starts on a line of its own.
  void Finish() {
    if (line_open_) std::fprintf(stderr, "\n");
    line_open_ = false;
  }

 private:
  app::CancelToken& cancel_;
  bool terminal_ = ::isatty(STDERR_FILENO) != 0;
  int last_percent_printed_ = -1;
  bool line_open_ = false;
  std::chrono::steady_clock::time_point last_update_{};
};

}  // namespace

int RunImage(const Args& args) {
  const ParsedArgs parsed(args, {"--strict", "--force", "--sparse"}, {"--to"});
  if (const std::string reason = CheckArguments(parsed, {"SOURCE"}); !reason.empty()) {
    return UsageError("image", reason);
  }
  if (parsed.Value("--to").empty()) return UsageError("image", "--to FILE.img is required");
  const std::string source_text = parsed.Positionals()[0];
  const std::string destination = parsed.Value("--to");
  const bool strict = parsed.Has("--strict");
  const bool force = parsed.Has("--force");
  const bool sparse = parsed.Has("--sparse");

  SourceLocator locator;
  LocatedSource source;
  std::string message;
  if (locator.Locate(source_text, &source, &message) != kSuccess) {
    std::fprintf(stderr, "velmora image: %s\n", message.c_str());
    return kExitUsage;
  }
  if (source.sector_count == 0) {
    std::fprintf(stderr, "velmora image: %s is empty; nothing to copy\n",
                 source.description.c_str());
    return kExitUsage;
  }
  app::ImageOrigin origin;
  if (source.kind == LocatedSource::Kind::kDiskRegion) {
    origin.disk_number = source.disk_number;
    origin.start_sector = source.start_sector;
    origin.sector_count = source.sector_count;
  } else {
    origin.kind = app::ImageOrigin::Kind::kImageFile;
    origin.image_path = source.image_path;
  }
  origin.device_path = source.device_path;
  origin.byte_length = source.ByteLength();
  origin.name = source.description;
  // A destination with a map is a copy to go on with; the copy itself checks that the map
  // is one of this copy, and refuses it otherwise.
  struct stat map_status {};
  const bool has_map = !strict && ::lstat((destination + ".map").c_str(), &map_status) == 0;
  if (app::ImageWorkflow::CheckDestination(origin, destination, force || has_map, &message) !=
      kSuccess) {
    std::fprintf(stderr, "velmora image: cannot write '%s': %s\n",
                 EscapeControl(destination).c_str(), message.c_str());
    return kExitUsage;
  }

  app::ImageOptions options;
  options.unreadable = strict ? UnreadablePolicy::kStop : UnreadablePolicy::kZeroFill;
  options.replace_existing = force;
  options.sparse = sparse;
  std::fprintf(stderr, "copying %s to %s\n", source.description.c_str(),
               EscapeControl(destination).c_str());

  // The command line has no language tables: its lines are its own.
  app::ImageWorkflow imaging(app::TextTable{});
  app::CancelToken cancel;
  int result = kSuccess;
  {
    InterruptGuard guard;
    ImagePrinter printer(cancel);
    result = imaging.Run(origin, destination, options, printer, cancel);
    printer.Finish();
  }
  const DiskImageWriter& writer = imaging.Writer();
  if (!writer.error_text.empty()) {
    std::fprintf(stderr, "velmora image: %s\n", writer.error_text.c_str());
    return writer.sectors_copied ? kExitPartial : kExitUsage;
  }
  if (writer.resumed_bytes && writer.map.ImageBytes()) {
    std::fprintf(
        stderr, "went on from the map at %llu%% (%llu of %llu bytes were done before)\n",
        static_cast<unsigned long long>(writer.resumed_bytes * 100 / writer.map.ImageBytes()),
        static_cast<unsigned long long>(writer.resumed_bytes),
        static_cast<unsigned long long>(writer.map.ImageBytes()));
  }

  const unsigned long long copied = writer.sectors_copied;
  const unsigned long long total = writer.sector_count;
  if (result == kCancelledByUser) {
    std::fprintf(stderr,
                 "velmora image: stopped after %llu of %llu sectors; the partial image "
                 "'%s' stays%s\n",
                 copied, total, EscapeControl(destination).c_str(),
                 strict ? "" : "; run the same command again to go on from its map");
    return kExitPartial;
  }
  if (result == kErrReadFault && strict) {
    std::fprintf(stderr,
                 "velmora image: the chunk from sector %llu of the source cannot be read; "
                 "the image ends before it (%llu of %llu sectors copied). Run without "
                 "--strict to skip unreadable sectors.\n",
                 static_cast<unsigned long long>(writer.start_sector + writer.sectors_copied),
                 copied, total);
    return kExitPartial;
  }
  if (result == kErrDiskFull) {
    std::fprintf(stderr, "velmora image: the destination disk is full after %llu of %llu sectors\n",
                 copied, total);
    return kExitPartial;
  }
  if (result != kSuccess) {
    std::fprintf(stderr, "velmora image: copy failed after %llu of %llu sectors: %s\n", copied,
                 total, app::ResultText(result).c_str());
    return copied ? kExitPartial : kExitUsage;
  }
  std::printf("image written: %s (%s, %llu sectors of %u bytes)\n",
              EscapeControl(destination).c_str(),
              app::FormatSizeIec(static_cast<int64_t>(total * writer.sector_size)).c_str(), total,
              writer.sector_size);
  if (!strict) {
    if (writer.retried_sectors) {
      std::printf("retry pass: %llu sector%s read on a second try\n",
                  static_cast<unsigned long long>(writer.retried_sectors),
                  writer.retried_sectors == 1 ? "" : "s");
    }
    std::printf("unreadable: %llu bytes in %zu range%s (written as zeros; map: %s)\n",
                static_cast<unsigned long long>(writer.UnreadableBytes()), writer.bad_ranges.size(),
                writer.bad_ranges.size() == 1 ? "" : "s", writer.map_path.c_str());
  }
  return writer.bad_ranges.empty() ? kExitOk : kExitPartial;
}

}  // namespace velmora::cli
