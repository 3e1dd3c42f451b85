#pragma once

// Real documents, archives, pictures and PDFs made at test time with the
// tools a user's own programs would use (zip, 7z, tar, ImageMagick, ghostscript).
//
//   DocumentFiles files(dir);
//   std::string docx = files.Docx("report.docx", {"First paragraph", "Second"});
//   std::string png = files.Picture("photo.png", 64, 48);   // "" when ImageMagick is absent

#include <string>
#include <utility>
#include <vector>

#include "support/loop_device.h"  // ReadWholeFile

namespace velmora::testing {

class DocumentFiles {
 public:
  // Creates `folder` when it is missing.
  explicit DocumentFiles(std::string folder);

  // Office Open XML / ODF packages zipped from their XML parts.
  std::string Docx(const std::string& name, const std::vector<std::string>& paragraphs);
  std::string Odt(const std::string& name, const std::vector<std::string>& paragraphs);
  // A sheet of rows x columns whose cell (r, c) holds "R<r>C<c>" (shared strings), 1-based.
  std::string Xlsx(const std::string& name, int rows, int columns);
  // One slide per text.
  std::string Pptx(const std::string& name, const std::vector<std::string>& slide_texts);
  // A package holding exactly these parts (name, content).
  std::string Package(const std::string& name,
                      const std::vector<std::pair<std::string, std::string>>& parts);

  std::string Text(const std::string& name, const std::string& content);
  // An archive of the given members (name, content) made by `tool`: "zip", "7z",
  // "tar.gz" or "iso"; "" when the tool is missing.
  std::string Archive(const std::string& name, const std::string& tool,
                      const std::vector<std::pair<std::string, std::string>>& members);
  // A solid-colour picture in the format its extension names; "" without ImageMagick.
  std::string Picture(const std::string& name, int width, int height);
  // A one-page PDF of `width` x `height` points showing `text`; "" without ghostscript.
  std::string Pdf(const std::string& name, int width, int height, const std::string& text);

  // The first `bytes` bytes of a file, written as `name`.
  std::string Truncated(const std::string& source, const std::string& name, size_t bytes);

 private:
  std::string folder_;
};

}  // namespace velmora::testing
