// CPDF: the first page of a PDF rendered with poppler.
#include <poppler-document.h>
#include <poppler-global.h>
#include <poppler-image.h>
#include <poppler-page-renderer.h>
#include <poppler-page.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

#include "engine/recovery_output.h"
#include "preview/isolated_run.h"
#include "preview/viewers.h"
#include "storage/error_codes.h"

namespace velmora::preview {

namespace {

constexpr double kDotsPerInch = 96.0;
constexpr double kLongestSide = 2000.0;  // pixels

void Quiet(const std::string&, void*) {}

bool RenderFirstPage(const std::string& pdf, const std::string& png) {
  poppler::set_debug_error_function(&Quiet, nullptr);
  std::unique_ptr<poppler::document> document(poppler::document::load_from_file(pdf));
  if (!document || document->is_locked() || document->pages() < 1) return false;
  std::unique_ptr<poppler::page> page(document->create_page(0));
  if (!page) return false;
  const poppler::rectf box = page->page_rect();
  const double longest_points = std::max(box.width(), box.height());
  if (!(longest_points > 0)) return false;
  const double dpi = std::min(kDotsPerInch, kLongestSide * 72.0 / longest_points);
  poppler::page_renderer renderer;
  renderer.set_render_hint(poppler::page_renderer::antialiasing);
  renderer.set_render_hint(poppler::page_renderer::text_antialiasing);
  const poppler::image image = renderer.render_page(page.get(), dpi, dpi);
  return image.is_valid() && image.save(png, "png");
}

}  // namespace

std::string CPDF::PicturePath() const { return JoinPath(work_folder_, "tmp.jpg"); }

// The page is written under the renderer's own name first and moved over
// "tmp.jpg" only when complete, so a failed render never leaves half a picture.
int CPDF::View(const std::string& path, std::string* text) {
  text->clear();
  const std::string rendered = JoinPath(work_folder_, "pdf-000001.png");
  ::unlink(rendered.c_str());
  std::string unused;
  const bool ok = RunIsolated([&](std::string*) { return RenderFirstPage(path, rendered); },
                              ViewerLimits::kViewerTime, &unused);
  if (!ok || std::rename(rendered.c_str(), PicturePath().c_str()) != 0) {
    ::unlink(rendered.c_str());
    return kErrInvalidParameter;
  }
  return kSuccess;
}

}  // namespace velmora::preview
