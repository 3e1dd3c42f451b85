#include <string_view>

#include "engine/categories.h"
#include "engine/record_text.h"
#include "preview/document_view.h"
#include "preview/viewers.h"

namespace velmora::preview {

namespace {

constexpr char kPreviewDocumentList[] =
    "*.pdf|*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt|*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|"
    "*.ppsm|*.odp|*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|"
    "*.msg|*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso";

struct ViewerList {
  const char* list;
  ViewerKind kind;
};

constexpr ViewerList kViewerLists[] = {
    {"*.doc|*.dot|*.docx|*.dotx|*.docm|*.dotm|*.rtf|*.odt", ViewerKind::kWord},
    {"*.ppt|*.pptx|*.pptm|*.pps|*.ppsx|*.ppsm|*.odp", ViewerKind::kPowerPoint},
    {"*.xls|*.xlsx|*.xlsm|*.csv|*.odc|*.vsd|*.vsdm|*.vsdx|*.pub|*.mpp|*.ics|*.vcf|*.msg",
     ViewerKind::kExcel},
    {"*.pdf", ViewerKind::kPdf},
    {"*.zip|*.rar|*.gzip|*.tar|*.7z|*.cab|*.arj|*.lzh|*.ace|*.gz|*.uue|*.bz2|*.jar|*.iso",
     ViewerKind::kArchive},
};

// Calls `visit` with each extension of a "*.a|*.b" list until it returns true.
template <typename Visit>
bool AnyEntry(std::string_view list, Visit visit) {
  while (!list.empty()) {
    const size_t bar = list.find('|');
    std::string_view entry = list.substr(0, bar);
    if (entry.substr(0, 2) == "*.") entry.remove_prefix(2);
    if (!entry.empty() && visit(entry)) return true;
    if (bar == std::string_view::npos) break;
    list.remove_prefix(bar + 1);
  }
  return false;
}

bool ExactlyIn(std::string_view list, std::string_view extension) {
  return !extension.empty() &&
         AnyEntry(list, [&](std::string_view entry) { return entry == extension; });
}

}  // namespace

// Substrings are matched within one entry, so "ar" finds "rar" but "c|*" finds nothing.
ViewerKind ChooseViewer(std::string_view extension) {
  if (extension.empty()) return ViewerKind::kNone;
  const std::string lower = AsciiLower(extension);
  for (const auto& candidate : kViewerLists) {
    if (AnyEntry(candidate.list, [&](std::string_view entry) {
          return entry.find(lower) != std::string_view::npos;
        })) {
      return candidate.kind;
    }
  }
  return ViewerKind::kNone;
}

PreviewKind ClassifyForPreview(std::string_view file_name) {
  const std::string extension = AsciiLower(ExtensionOf(file_name));
  PreviewKind kind;
  kind.audio = ExactlyIn(kAudioExtensions, extension);
  kind.media = kind.audio || ExactlyIn(kVideoExtensions, extension);
  kind.document = ExactlyIn(kPreviewDocumentList, extension);
  if (kind.document) {
    kind.pdf = extension == "pdf";
    kind.viewer = ChooseViewer(extension);
  }
  return kind;
}

std::unique_ptr<IDocumentView> CreateDocumentView(ViewerKind kind, const std::string& work_folder) {
  switch (kind) {
    case ViewerKind::kWord: return std::make_unique<CWord>();
    case ViewerKind::kPowerPoint: return std::make_unique<CPPT>();
    case ViewerKind::kExcel: return std::make_unique<CExcel>();
    case ViewerKind::kPdf: return std::make_unique<CPDF>(work_folder);
    case ViewerKind::kArchive: return std::make_unique<CZIP>();
    case ViewerKind::kNone: break;
  }
  return nullptr;
}

}  // namespace velmora::preview
