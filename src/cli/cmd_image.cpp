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

#include "cli/arguments.h"
#include "cli/commands.h"
#include "storage/disk_image_writer.h"
#include "storage/error_codes.h"
#include "storage/image_destination.h"
#include "storage/image_source.h"
#include "storage/size_text.h"
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

struct ProgressLine {
  bool terminal = false;
  int last_percent_printed = -1;
  bool line_open = false;
  std::chrono::steady_clock::time_point last_update{};
};

// A terminal line is redrawn at most this often; the copy reports after every chunk.
constexpr auto kRedrawInterval = std::chrono::milliseconds(200);

int ShowProgress(void* context, int percent, uint64_t done, uint64_t total, int32_t seconds_left) {
  auto* line = static_cast<ProgressLine*>(context);
  if (g_interrupted) return kCancelledByUser;
  const std::string left = done == total   ? std::string("done")
                           : seconds_left < 0 ? std::string("estimating time left")
                                              : FormatDuration(seconds_left) + " left";
  if (line->terminal) {
    const auto now = std::chrono::steady_clock::now();
    if (done != total && now - line->last_update < kRedrawInterval) return 0;
    line->last_update = now;
    std::fprintf(stderr, "\r  %3d%%  sector %llu / %llu  %s    ", percent,
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                 left.c_str());
    line->line_open = true;
  } else if (percent / 10 != line->last_percent_printed / 10 || line->last_percent_printed < 0) {
    std::fprintf(stderr, "  %d%%  sector %llu / %llu  %s\n", percent,
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total),
                 left.c_str());
    line->last_percent_printed = percent;
  }
  return 0;
}

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
    std::fprintf(stderr, "velmora image: %s is empty; nothing to copy\n", source.description.c_str());
    return kExitUsage;
  }
  // A destination with a map is a copy to go on with; the copy itself checks that the map
  // is one of this copy, and refuses it otherwise.
  struct stat map_status {};
  const bool has_map = !strict && ::lstat((destination + ".map").c_str(), &map_status) == 0;
  if (CheckImageDestination(source.device_path, source.ByteLength(), destination, force || has_map,
                            &message) != kSuccess) {
    std::fprintf(stderr, "velmora image: cannot write '%s': %s\n",
                 EscapeControl(destination).c_str(), message.c_str());
    return kExitUsage;
  }

  DiskImageWriter writer;
  writer.unreadable = strict ? UnreadablePolicy::kStop : UnreadablePolicy::kZeroFill;
  writer.replace_existing = force;
  writer.sparse = sparse;
  writer.progress = ShowProgress;
  writer.source_name = source.description;
  ProgressLine line;
  line.terminal = ::isatty(STDERR_FILENO) != 0;
  std::fprintf(stderr, "copying %s to %s\n", source.description.c_str(),
               EscapeControl(destination).c_str());

  int result = kSuccess;
  {
    InterruptGuard guard;
    if (source.kind == LocatedSource::Kind::kDiskRegion) {
      result = CreateDiskImage(&writer, source.disk_number, source.start_sector,
                               source.sector_count, destination, &line);
    } else {
      std::unique_ptr<ImageSource> reader;
      result = OpenImageSource(source.image_path, &reader);
      if (result == kSuccess) {
        result = CopyToImage(&writer, reader.get(), 0, 0, destination, &line);
      }
    }
  }
  if (line.line_open) std::fprintf(stderr, "\n");
  if (!writer.error_text.empty()) {
    std::fprintf(stderr, "velmora image: %s\n", writer.error_text.c_str());
    return writer.sectors_copied ? kExitPartial : kExitUsage;
  }
  if (writer.resumed_bytes && writer.map.ImageBytes()) {
    std::fprintf(stderr, "went on from the map at %llu%% (%llu of %llu bytes were done before)\n",
                 static_cast<unsigned long long>(writer.resumed_bytes * 100 / writer.map.ImageBytes()),
                 static_cast<unsigned long long>(writer.resumed_bytes),
                 static_cast<unsigned long long>(writer.map.ImageBytes()));
  }

  const unsigned long long copied = writer.sectors_copied;
  const unsigned long long total = writer.sector_count;
  if (result == kCancelledByUser) {
    std::fprintf(stderr, "velmora image: stopped after %llu of %llu sectors; the partial image "
                         "'%s' stays%s\n", copied, total, destination.c_str(),
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
                 total, DescribeErrorCode(result).c_str());
    return copied ? kExitPartial : kExitUsage;
  }
  std::printf("image written: %s (%s, %llu sectors of %u bytes)\n",
              EscapeControl(destination).c_str(),
              FormatSizeIec(static_cast<int64_t>(total * writer.sector_size)).c_str(), total,
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
