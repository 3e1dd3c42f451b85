#include "preview/preview_session.h"

#include <sys/stat.h>
#include <unistd.h>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "engine/recovery_output.h"
#include "preview/raw_text.h"
#include "preview/viewers.h"
#include "storage/error_codes.h"

namespace velmora::preview {

namespace {

struct CallbackState {
  const std::function<bool(int)>* keep_going;
  bool cancelled = false;
};

int OnPreviewProgress(void* context, int percent, int error) {
  auto* state = static_cast<CallbackState*>(context);
  if (percent >= 100 && error != 0) return 0;  // the closing report
  if (*state->keep_going && !(*state->keep_going)(percent)) {
    state->cancelled = true;
    return kCancelledByUser;
  }
  return 0;
}

// Only a regular file is removed: a name in the scan folder that became a
// link or a folder is never followed.
void RemoveFile(std::string* path) {
  if (path->empty()) return;
  struct stat st {};
  if (::lstat(path->c_str(), &st) == 0 && S_ISREG(st.st_mode)) ::unlink(path->c_str());
  path->clear();
}

}  // namespace

PreviewSession::PreviewSession(std::string work_folder) : work_folder_(std::move(work_folder)) {}

PreviewSession::~PreviewSession() { Clear(); }

void PreviewSession::Clear() {
  RemoveFile(&temporary_path_);
  RemoveFile(&picture_path_);
  memory_.clear();
  memory_.shrink_to_fit();
  memory_bytes_ = 0;
}

int PreviewSession::Prepare(IFileRecoveryParse* engine, const ScanRecord& record,
                            const std::function<bool(int percent)>& keep_going) {
  Clear();
  directory_ = record.is_directory != 0;
  name_ = std::string(RecordName(record));
  kind_ = ClassifyForPreview(name_);
  extraction_error_ = 0;
  if (directory_) return kPreparationFinished;
  if (!engine) {
    extraction_error_ = kErrInvalidParameter;
    return kPreparationFinished;
  }
  CallbackState state{&keep_going};
  std::string path;
  int no_bytes = 0;
  int rc = engine->PreviewFile(record, &path, nullptr, &no_bytes, &OnPreviewProgress, &state);
  if (rc == kErrInvalidParameter && path.empty() && !state.cancelled) {
    // Engines hand over kinds they keep no temporary file for in memory.
    memory_.assign(static_cast<size_t>(kPreviewMemoryBytes), 0);
    int bytes = kPreviewMemoryBytes;
    rc = engine->PreviewFile(record, &path, memory_.data(), &bytes, &OnPreviewProgress, &state);
    memory_bytes_ = rc == kSuccess ? std::clamp(bytes, 0, kPreviewMemoryBytes) : 0;
    memory_.resize(static_cast<size_t>(memory_bytes_));
  }
  temporary_path_ = path;
  if (rc == kCancelledByUser || state.cancelled) {
    Clear();
    extraction_error_ = kCancelledByUser;
    return kPreparationCancelled;
  }
  extraction_error_ = rc;
  return kPreparationFinished;
}

PreviewContent PreviewSession::Show() {
  PreviewContent content;
  if (directory_) {
    content.kind = PreviewContent::Kind::kDirectory;
    return content;
  }
  if (temporary_path_.empty()) {
    if (memory_bytes_ > 0) {
      content.kind = PreviewContent::Kind::kText;
      content.text = RawText(memory_.data(), static_cast<size_t>(memory_bytes_));
    }
    return content;
  }
  if (kind_.media) {
    content.kind = PreviewContent::Kind::kMedia;
    content.media_path = temporary_path_;
    content.audio = kind_.audio;
    return content;
  }
  auto show_text = [&](int rc, std::string text) {
    content.kind = PreviewContent::Kind::kText;
    content.from_viewer = rc == kSuccess;
    content.text = rc == kSuccess ? std::move(text) : RawTextOfFile(temporary_path_);
  };
  auto show_picture = [&](const std::string& path) {
    content.picture = ReadPicture(path);
    if (!content.picture.ok) return false;
    content.kind = PreviewContent::Kind::kPicture;
    content.picture_path = path;
    return true;
  };
  if (std::unique_ptr<IDocumentView> view = CreateDocumentView(kind_.viewer, work_folder_)) {
    std::string text;
    const int rc = view->View(temporary_path_, &text);
    if (kind_.viewer == ViewerKind::kPdf && rc == kSuccess) {
      picture_path_ = static_cast<CPDF*>(view.get())->PicturePath();
      content.pdf_page = true;
      if (show_picture(picture_path_)) return content;
      show_text(kErrInvalidParameter, {});
      return content;
    }
    show_text(rc, std::move(text));
    return content;
  }
  if (show_picture(temporary_path_)) return content;
  // A file that claims to be a picture gets the picture message; anything
  // else is more use as raw text than as that message.
  if (std::string_view(CategoryOfName(name_)) == "photo") {
    content.kind = PreviewContent::Kind::kText;
    content.text = kPictureFailureText;
  } else {
    show_text(kErrInvalidParameter, {});
  }
  return content;
}

PreviewWorker::PreviewWorker(PreviewSession* session, IFileRecoveryParse* engine,
                             const ScanRecord& record)
    : thread_([this, session, engine, record] {
        result_ = session->Prepare(engine, record, [this](int percent) {
          percent_ = percent;
          return !cancel_.load();
        });
        finished_ = true;
      }) {}

PreviewWorker::~PreviewWorker() {
  if (thread_.joinable()) thread_.join();
}

int PreviewWorker::Wait() {
  if (thread_.joinable()) thread_.join();
  return result_;
}

}  // namespace velmora::preview
