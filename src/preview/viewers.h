#pragma once

#include <chrono>
#include <string>

#include "preview/document_view.h"

namespace velmora::preview {

// Bounds that keep a hostile file from hanging or exhausting the process.
struct ViewerLimits {
  static constexpr size_t kWordCharacters = 2048;
  static constexpr int kExcelRows = 10;
  static constexpr int kExcelColumns = 10;
  static constexpr int kSlides = 20;
  static constexpr size_t kMemberBytes = 32u << 20;       // one XML part or stream, unpacked
  static constexpr size_t kPackageBytes = 96u << 20;      // all parts read from one package
  static constexpr size_t kArchiveMembers = 1000;         // lines of a listing
  static constexpr uint64_t kUnpackedBytes = 256u << 20;  // decompressed while listing
  static constexpr std::chrono::milliseconds kArchiveTime{5000};  // reading one archive
  static constexpr std::chrono::milliseconds kViewerTime{10000};  // one viewer, start to end
};

// .doc (WordDocument stream), .docx/.dotx/.docm (word/document.xml), .rtf, .odt
// (content.xml): the first 2,048 characters.
class CWord : public IDocumentView {
 public:
  int View(const std::string& path, std::string* text) override;
};

// Up to 10 rows by 10 columns of the first sheet of .xls, .xlsx/.xlsm or .csv:
// cells separated by tabs, rows by line breaks.
class CExcel : public IDocumentView {
 public:
  int View(const std::string& path, std::string* text) override;
};

// The texts of up to 20 slides of .ppt/.pps or .pptx/.pptm/.ppsx/.ppsm.
class CPPT : public IDocumentView {
 public:
  int View(const std::string& path, std::string* text) override;
};

// The first page rendered to "tmp.jpg" (PNG data) in the work folder.
class CPDF : public IDocumentView {
 public:
  explicit CPDF(std::string work_folder) : work_folder_(std::move(work_folder)) {}
  int View(const std::string& path, std::string* text) override;
  std::string PicturePath() const;

 private:
  std::string work_folder_;
};

// An archive's listing: a header, a "-------------------" line, then one line
// per member with size, date and name.
class CZIP : public IDocumentView {
 public:
  int View(const std::string& path, std::string* text) override;
};

}  // namespace velmora::preview
