#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "engine/file_recovery_parse.h"
#include "preview/document_view.h"
#include "preview/picture.h"

namespace velmora::preview {

// Results of a preparation, as the preparation window closes with them.
constexpr int kPreparationFinished = 1;
constexpr int kPreparationCancelled = 2;

// Message keys of the preview's own texts in the language files.
inline constexpr const char* kMsgPreparing = "MSG0901";     // "%s %d%%" with the percentage
inline constexpr const char* kMsgPreviewTitle = "MSG0902";  // "%s %s" with the file name
inline constexpr const char* kMsgCancelQuestion = "MSG0903";
inline constexpr const char* kMsgDirectory = "MSG0904";
inline constexpr const char* kMsgPdfCaption = "MSG0905";

// Bytes an engine may deliver into memory instead of a temporary file.
constexpr int kPreviewMemoryBytes = 20'971'520;

// What the preview shows for one record.
struct PreviewContent {
  enum class Kind {
    kNothing,    // extraction gave neither a file nor data
    kDirectory,  // a folder: the pane shows MSG0904
    kText,       // document text, cells, slide texts, a listing or raw text
    kPicture,    // a picture file; a PDF page carries the caption MSG0905
    kMedia,      // audio or video for the player
  };
  Kind kind = Kind::kNothing;
  std::string text;
  bool from_viewer = false;  // text made by a document viewer (not the raw fallback)
  std::string picture_path;
  PictureInfo picture;
  bool pdf_page = false;
  std::string media_path;
  bool audio = false;
};

// One preview at a time: owns the temporary files of the shown record and
// deletes them when the next preview starts and when it is destroyed.
class PreviewSession {
 public:
  // `work_folder`: where temporary files go (the scan-log directory).
  explicit PreviewSession(std::string work_folder);
  ~PreviewSession();
  PreviewSession(const PreviewSession&) = delete;
  PreviewSession& operator=(const PreviewSession&) = delete;

  // Deletes the previous preview's files, then has the record's engine copy the
  // file out. `keep_going` gets the percentage and returns false to cancel.
  // Returns kPreparationFinished or kPreparationCancelled.
  int Prepare(IFileRecoveryParse* engine, const ScanRecord& record,
              const std::function<bool(int percent)>& keep_going);
  // The engine's result of the last preparation (0 when it succeeded).
  int ExtractionError() const { return extraction_error_; }
  const PreviewKind& Kind() const { return kind_; }
  const std::string& TemporaryPath() const { return temporary_path_; }

  // Builds what to show for the prepared record (runs the viewers).
  PreviewContent Show();

  // Deletes the temporary files now.
  void Clear();

 private:
  std::string work_folder_;
  bool directory_ = false;
  std::string name_;
  PreviewKind kind_;
  std::string temporary_path_;
  std::string picture_path_;  // a rendered PDF page
  std::vector<uint8_t> memory_;
  int memory_bytes_ = 0;
  int extraction_error_ = 0;
};

// Runs a preparation on its own thread for a window that stays responsive:
// the window polls Finished() and may RequestCancel() at any time.
class PreviewWorker {
 public:
  PreviewWorker(PreviewSession* session, IFileRecoveryParse* engine, const ScanRecord& record);
  ~PreviewWorker();  // waits for the thread
  PreviewWorker(const PreviewWorker&) = delete;
  PreviewWorker& operator=(const PreviewWorker&) = delete;

  void RequestCancel() { cancel_ = true; }
  int Percent() const { return percent_; }
  bool Finished() const { return finished_; }
  // Waits for the thread; kPreparationFinished or kPreparationCancelled.
  int Wait();

 private:
  std::atomic<bool> cancel_{false};
  std::atomic<bool> finished_{false};
  std::atomic<int> percent_{0};
  int result_ = kPreparationFinished;
  std::thread thread_;
};

}  // namespace velmora::preview
