#include "preview/xml_text.h"

#include <cstdlib>

#include "preview/text_convert.h"

namespace velmora::preview {

namespace {

bool InSet(std::string_view set, std::string_view name) {
  if (set.empty() || name.empty()) return false;
  for (size_t at = set.find(name); at != std::string_view::npos; at = set.find(name, at + 1)) {
    if (at > 0 && set[at - 1] == '|' && at + name.size() < set.size() &&
        set[at + name.size()] == '|') {
      return true;
    }
  }
  return false;
}

struct Collector {
  const TextVocabulary& vocabulary;
  size_t limit;
  std::string* out;
  size_t count = 0;

  bool Full() const { return count >= limit; }
  void Add(std::string_view text) {
    out->append(text);
    count += CountCodePoints(text);
  }
  void Walk(const pugi::xml_node& node, bool in_text, int depth) {
    if (depth > 256) return;
    for (pugi::xml_node child = node.first_child(); child && !Full();
         child = child.next_sibling()) {
      if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
        if (in_text || vocabulary.text.empty()) Add(child.value());
        continue;
      }
      if (child.type() != pugi::node_element) continue;
      const std::string_view name = LocalName(child);
      if (InSet(vocabulary.skipped, name)) continue;
      if (InSet(vocabulary.tabs, name)) {
        Add("\t");
      } else if (InSet(vocabulary.breaks, name)) {
        Add("\n");
      } else if (InSet(vocabulary.spaces, name)) {
        const int n = std::max(1, std::min(child.attribute("text:c").as_int(1), 64));
        Add(std::string(static_cast<size_t>(n), ' '));
      } else {
        Walk(child, in_text || InSet(vocabulary.text, name), depth + 1);
        if (InSet(vocabulary.paragraphs, name)) Add("\n");
      }
    }
  }
};

}  // namespace

bool ParseXml(const std::string& bytes, pugi::xml_document* document) {
  const pugi::xml_parse_result result =
      document->load_buffer(bytes.data(), bytes.size(), pugi::parse_default, pugi::encoding_auto);
  return static_cast<bool>(result);
}

std::string_view LocalName(const pugi::xml_node& node) {
  const std::string_view name = node.name();
  const size_t colon = name.rfind(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

pugi::xml_node FindLocal(const pugi::xml_node& node, std::string_view local_name) {
  if (node.type() == pugi::node_element && LocalName(node) == local_name) return node;
  return node.find_node([&](const pugi::xml_node& n) {
    return n.type() == pugi::node_element && LocalName(n) == local_name;
  });
}

pugi::xml_node ChildLocal(const pugi::xml_node& node, std::string_view local_name) {
  for (pugi::xml_node child : node.children()) {
    if (child.type() == pugi::node_element && LocalName(child) == local_name) return child;
  }
  return {};
}

pugi::xml_attribute AttributeLocal(const pugi::xml_node& node, std::string_view local_name) {
  for (pugi::xml_attribute attribute : node.attributes()) {
    std::string_view name = attribute.name();
    const size_t colon = name.rfind(':');
    if (colon != std::string_view::npos) name.remove_prefix(colon + 1);
    if (name == local_name) return attribute;
  }
  return {};
}

void CollectText(const pugi::xml_node& node, const TextVocabulary& vocabulary, size_t limit,
                 std::string* out) {
  Collector collector{vocabulary, limit, out};
  collector.Walk(node, false, 0);
}

}  // namespace velmora::preview
