#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace velmora::preview {

// A viewer turns a prepared temporary file into text (or, for PDF, a picture
// file). 0 on success, 87 on any failure; the caller then shows raw text.
class IDocumentView {
 public:
  virtual int View(const std::string& path, std::string* text) = 0;
  virtual ~IDocumentView() = default;
};

enum class ViewerKind { kNone, kWord, kPowerPoint, kExcel, kPdf, kArchive };

// The first viewer list whose entries contain the lower-cased extension; an
// empty extension matches none.
ViewerKind ChooseViewer(std::string_view extension);

// The viewer for `kind`; null for kNone. `work_folder` receives a PDF's page.
std::unique_ptr<IDocumentView> CreateDocumentView(ViewerKind kind, const std::string& work_folder);

// How a record is shown, from its name.
struct PreviewKind {
  bool media = false;
  bool audio = false;
  bool document = false;
  bool pdf = false;
  ViewerKind viewer = ViewerKind::kNone;
};
PreviewKind ClassifyForPreview(std::string_view file_name);

}  // namespace velmora::preview
