// velmora preview SOURCE --id ID [--quick | --deep] [--to FILE]
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include "app/file_choice.h"
#include "app/source_session.h"
#include "cli/arguments.h"
#include "cli/partition_sources.h"
#include "cli/result_listing.h"
#include "cli/scan_session.h"
#include "engine/record_text.h"
#include "engine/scan_index.h"
#include "preview/preview_session.h"
#include "storage/error_codes.h"

namespace velmora::cli {

namespace {

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first {};
  struct stat second {};
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// Texts come from untrusted files: control characters (C0, DEL and the C1
// range U+0080..U+009F) are shown as "." so none can steer the terminal.
void PrintText(const std::string& text) {
  std::string shown;
  shown.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<uint8_t>(text[i]);
    if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
      shown += '.';
    } else if (c == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) >= 0x80 &&
               static_cast<uint8_t>(text[i + 1]) <= 0x9F) {
      shown += '.';
      ++i;
    } else {
      shown += static_cast<char>(c);
    }
  }
  std::fwrite(shown.data(), 1, shown.size(), stdout);
  if (!shown.empty() && shown.back() != '\n') std::fputc('\n', stdout);
}

}  // namespace

int RunPreviewHere(const Args& args) {
  const ParsedArgs parsed(args, {"--quick", "--deep"}, {"--id", "--to"});
  if (const std::string reason = CheckArguments(parsed, {"SOURCE"}); !reason.empty()) {
    return UsageError("preview", reason);
  }
  if (parsed.Values("--id").size() != 1) {
    return UsageError("preview", parsed.Values("--id").empty()
                                     ? "--id is required"
                                     : "preview shows one file: give one --id");
  }
  if (parsed.Values("--to").size() > 1) return UsageError("preview", "--to is given twice");
  const std::string id_text = parsed.Value("--id");
  char* end = nullptr;
  const unsigned long long id = std::strtoull(id_text.c_str(), &end, 10);
  if (id_text.empty() || *end != '\0') {
    std::fprintf(stderr, "velmora preview: '%s' is not a record id\n", id_text.c_str());
    return kExitUsage;
  }
  const std::string picture_file = parsed.Value("--to");

  // A partitioned image has no file system of its own: its files belong to its partitions,
  // and the ids its listing showed lead to theirs.
  if (const auto partitions =
          ResultPartitionsOf(parsed.Positionals()[0], parsed.Has("--quick"), parsed.Has("--deep"));
      !partitions.empty()) {
    app::IdSet ids;
    ids.Add(id, id);
    return RunOnPartitionOfIds(RunPreviewHere, "preview", args, parsed.Positionals()[0], partitions,
                               ids, parsed.Has("--quick"));
  }
  app::SourceSession session;
  std::string error;
  if (session.Resolve(parsed.Positionals()[0], &error) != 0) {
    std::fprintf(stderr, "velmora preview: %s\n", error.c_str());
    return kExitUsage;
  }
  if (!picture_file.empty() && SameFile(picture_file, session.DevicePath())) {
    std::fprintf(stderr, "velmora preview: '%s' is the scanned source; choose another file\n",
                 EscapeControl(picture_file).c_str());
    return kExitUsage;
  }
  app::CancelToken cancel;
  ScanRecordList records;
  if (const int err = OpenAllRecords(parsed, session, cancel, &records, &error); err != 0) {
    std::fprintf(stderr, "velmora preview: %s\n", error.c_str());
    return FailureExit(err);
  }
  IFileRecoveryParse* engine = session.Engine();
  const ScanRecord* record = nullptr;
  for (const auto& candidate : records) {
    if (app::RecordId(candidate) == id) {
      record = &candidate;
      break;
    }
  }
  if (!record) {
    std::fprintf(stderr, "velmora preview: no file with id %llu in the scan result\n", id);
    ReportPartialResult(session, parsed.Positionals()[0]);
    return kExitUsage;
  }

  TerminalObserver observer("preview", cancel);  // Ctrl-C stops the preparation
  preview::PreviewSession preview_session(ScanLogDirectory());
  const int prepared = preview_session.Prepare(
      engine, *record, [](int) { return !TerminalObserver::Interrupted(); });
  observer.Finish();
  if (prepared == preview::kPreparationCancelled) {
    std::fprintf(stderr, "Preview cancelled.\n");
    return kExitPartial;
  }
  const preview::PreviewContent content = preview_session.Show();
  const std::string name(RecordName(*record));
  switch (content.kind) {
    case preview::PreviewContent::Kind::kText:
      PrintText(content.text);
      if (content.text == preview::kPictureFailureText) return kExitPartial;
      if (preview_session.Kind().viewer != preview::ViewerKind::kNone && !content.from_viewer) {
        std::fprintf(stderr,
                     "velmora preview: %s could not be read as a document; raw bytes shown\n",
                     name.c_str());
      }
      return kExitOk;
    case preview::PreviewContent::Kind::kPicture: {
      const char* what = content.pdf_page ? "PDF first page" : "Picture";
      if (picture_file.empty()) {
        std::printf("%s %d x %d\n", what, content.picture.width, content.picture.height);
        std::fflush(stdout);
        std::fprintf(stderr, "(--to FILE writes it as PNG)\n");
        return kExitOk;
      }
      const int rc = preview::SavePictureAsPng(content.picture_path, picture_file);
      if (rc != kSuccess) {
        std::fprintf(stderr, "velmora preview: cannot write '%s': %s\n", picture_file.c_str(),
                     DescribeError(rc).c_str());
        return kExitPartial;
      }
      std::printf("%s %d x %d written to %s\n", what, content.picture.width, content.picture.height,
                  picture_file.c_str());
      return kExitOk;
    }
    case preview::PreviewContent::Kind::kMedia:
      std::fprintf(stderr, "velmora preview: %s is audio or video; recover it to play it\n",
                   name.c_str());
      return kExitPartial;
    case preview::PreviewContent::Kind::kDirectory:
    case preview::PreviewContent::Kind::kNothing: break;
  }
  std::fprintf(
      stderr, "velmora preview: cannot read %s: %s\n", name.c_str(),
      DescribeError(preview_session.ExtractionError() != 0 ? preview_session.ExtractionError()
                                                           : kErrReadFault)
          .c_str());
  return kExitPartial;
}

}  // namespace velmora::cli

// The module's one entry, looked up by name by the command line.
extern "C" __attribute__((visibility("default"))) int velmora_run_preview(
    const velmora::cli::Args* args) {
  return velmora::cli::RunPreviewHere(*args);
}
