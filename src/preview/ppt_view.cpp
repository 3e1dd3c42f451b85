// CPPT: the texts of the first slides of a presentation.
#include <map>
#include <set>
#include <vector>

#include "engine/record_text.h"
#include "preview/archive_reader.h"
#include "preview/compound_file.h"
#include "preview/file_head.h"
#include "preview/isolated_run.h"
#include "preview/text_convert.h"
#include "preview/viewers.h"
#include "preview/xml_text.h"
#include "storage/byte_view.h"
#include "storage/error_codes.h"

namespace velmora::preview {

namespace {

constexpr size_t kSlides = ViewerLimits::kSlides;
constexpr size_t kSlideText = 32768;  // code points kept of one slide

using SlideTexts = std::vector<std::vector<std::string>>;

std::string JoinSlides(const SlideTexts& slides) {
  std::string text;
  for (size_t i = 0; i < slides.size() && i < kSlides; ++i) {
    if (i > 0) text += '\n';  // a blank line between slides
    for (const auto& piece : slides[i]) {
      text += piece;
      if (!piece.empty() && piece.back() != '\n') text += '\n';
    }
  }
  return text;
}

// PowerPoint 97+ record types.
constexpr uint16_t kSlide = 0x03EE;
constexpr uint16_t kSlidePersistAtom = 0x03F3;
constexpr uint16_t kSlideListWithText = 0x0FF0;
constexpr uint16_t kTextCharsAtom = 0x0FA0;
constexpr uint16_t kTextBytesAtom = 0x0FA8;
constexpr uint16_t kMainMaster = 0x03F8;
constexpr uint16_t kNotes = 0x03F0;

struct PptWalk {
  ByteView stream;
  SlideTexts outline;   // placeholder texts, grouped by slide in the slide list
  SlideTexts drawings;  // text boxes inside each slide container, in stream order
  size_t records = 0;

  static std::string AtomText(const ByteView& atom, uint16_t type) {
    std::string raw;
    if (type == kTextCharsAtom) {
      raw = Utf16LeToUtf8(atom.data(), std::min(atom.size() / 2, 2 * kSlideText));
    } else {
      for (size_t i = 0; i < std::min(atom.size(), kSlideText); ++i)
        AppendCodePoint(&raw, *atom.U8(i));
    }
    std::string text;
    for (char c : raw) {
      if (c == '\r' || c == 0x0B) c = '\n';
      if (static_cast<uint8_t>(c) < 0x20 && c != '\n' && c != '\t') continue;
      text += c;
    }
    return text;
  }

  // Walks the records in [begin, end); `slide` is the slide container being read
  // (-1 outside), `in_list` tells the slide list of the slides.
  bool Walk(size_t begin, size_t end, int depth, int slide, bool in_list) {
    if (depth > 32) return false;
    size_t at = begin;
    while (at + 8 <= end) {
      if (++records > 1'000'000) return false;
      const uint16_t version_instance = *stream.Le16(at);
      const uint16_t type = *stream.Le16(at + 2);
      const uint32_t length = *stream.Le32(at + 4);
      const size_t body = at + 8;
      if (length > end - body) return false;
      const bool container = (version_instance & 0x0F) == 0x0F;
      const uint16_t instance = version_instance >> 4;
      if (type == kMainMaster || type == kNotes) {
        // masters and notes are not slides
      } else if (type == kSlideListWithText) {
        if (instance == 0 && !Walk(body, body + length, depth + 1, -1, true)) return false;
      } else if (type == kSlide && container) {
        drawings.emplace_back();
        if (!Walk(body, body + length, depth + 1, static_cast<int>(drawings.size()) - 1, false)) {
          return false;
        }
      } else if (type == kSlidePersistAtom && in_list) {
        outline.emplace_back();
      } else if (type == kTextCharsAtom || type == kTextBytesAtom) {
        std::string text = AtomText(stream.Sub(body, length), type);
        if (in_list && !outline.empty())
          outline.back().push_back(std::move(text));
        else if (slide >= 0)
          drawings[slide].push_back(std::move(text));
      } else if (container) {
        if (!Walk(body, body + length, depth + 1, slide, in_list)) return false;
      }
      at = body + length;
      if (outline.size() > kSlides && drawings.size() > kSlides) break;
    }
    return true;
  }
};

bool PptText(const std::string& path, std::string* text) {
  std::vector<uint8_t> bytes;
  if (!ReadCompoundStream(path, "PowerPoint Document", ViewerLimits::kMemberBytes, &bytes)) {
    return false;
  }
  PptWalk walk{ByteView(bytes), {}, {}, 0};
  if (!walk.Walk(0, bytes.size(), 0, -1, false)) return false;
  if (walk.outline.empty() && walk.drawings.empty()) return false;
  // Placeholder texts first, then any text box of the same slide not already shown.
  SlideTexts slides(std::max(walk.outline.size(), walk.drawings.size()));
  for (size_t i = 0; i < slides.size(); ++i) {
    std::set<std::string> seen;
    if (i < walk.outline.size()) {
      for (const auto& piece : walk.outline[i]) {
        if (seen.insert(piece).second) slides[i].push_back(piece);
      }
    }
    if (i < walk.drawings.size()) {
      for (const auto& piece : walk.drawings[i]) {
        if (seen.insert(piece).second) slides[i].push_back(piece);
      }
    }
  }
  *text = JoinSlides(slides);
  return true;
}

// Slide parts in presentation order, through the presentation's relationships.
std::vector<std::string> SlideOrder(const std::map<std::string, std::string>& parts) {
  std::vector<std::string> order;
  auto presentation = parts.find("ppt/presentation.xml");
  auto relations = parts.find("ppt/_rels/presentation.xml.rels");
  if (presentation != parts.end() && relations != parts.end()) {
    pugi::xml_document document;
    pugi::xml_document rels;
    if (ParseXml(presentation->second, &document) && ParseXml(relations->second, &rels)) {
      std::map<std::string, std::string> targets;
      for (pugi::xml_node rel : FindLocal(rels, "Relationships").children()) {
        std::string target = rel.attribute("Target").value();
        if (!target.empty() && target[0] == '/')
          target.erase(0, 1);
        else
          target = "ppt/" + target;
        targets[rel.attribute("Id").value()] = target;
      }
      for (pugi::xml_node id : FindLocal(document, "sldIdLst").children()) {
        auto target = targets.find(AttributeLocal(id, "id").value());
        if (target != targets.end()) order.push_back(target->second);
      }
    }
  }
  if (order.empty()) {
    for (size_t i = 1; i <= kSlides; ++i)
      order.push_back("ppt/slides/slide" + std::to_string(i) + ".xml");
  }
  return order;
}

bool PptxText(const std::string& path, std::string* text) {
  std::map<std::string, std::string> parts;
  if (!ReadPackageParts(
          path,
          [](const std::string& name) {
            return name == "ppt/presentation.xml" || name == "content.xml" ||
                   name == "ppt/_rels/presentation.xml.rels" ||
                   (name.rfind("ppt/slides/", 0) == 0 && name.find("_rels") == std::string::npos);
          },
          &parts)) {
    return false;
  }
  SlideTexts slides;
  if (auto content = parts.find("content.xml"); content != parts.end()) {  // an ODF presentation
    pugi::xml_document document;
    if (!ParseXml(content->second, &document)) return false;
    const pugi::xml_node presentation = FindLocal(document, "presentation");
    for (pugi::xml_node page : presentation.children()) {
      if (LocalName(page) != "page" || slides.size() >= kSlides) continue;
      std::string slide_text;
      CollectText(page, {"|p|h|", "", "|tab|", "|line-break|", "|s|", "|notes|"}, kSlideText,
                  &slide_text);
      slides.push_back({slide_text});
    }
  }
  for (const auto& name : SlideOrder(parts)) {
    if (slides.size() >= kSlides) break;
    auto part = parts.find(name);
    if (part == parts.end()) continue;
    pugi::xml_document document;
    if (!ParseXml(part->second, &document)) return false;
    std::string slide_text;
    CollectText(document, {"|p|", "|t|", "|tab|", "|br|", "", ""}, kSlideText, &slide_text);
    slides.push_back({slide_text});
  }
  if (slides.empty()) return false;
  *text = JoinSlides(slides);
  return true;
}

}  // namespace

int CPPT::View(const std::string& path, std::string* text) {
  const bool ok = RunIsolated(
      [&path](std::string* out) {
        switch (SniffContainer(path)) {
          case Container::kCompound: return PptText(path, out);
          case Container::kZip: return PptxText(path, out);
          default: return false;
        }
      },
      ViewerLimits::kViewerTime, text);
  return ok ? kSuccess : kErrInvalidParameter;
}

}  // namespace velmora::preview
