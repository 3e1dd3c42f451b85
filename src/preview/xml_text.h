#pragma once

#include <string>
#include <string_view>

#include <pugixml.hpp>

namespace velmora::preview {

// Parses XML held in memory. pugixml never loads external entities or DTDs and
// leaves unknown entity references as they stand.
bool ParseXml(const std::string& bytes, pugi::xml_document* document);

// The name without its namespace prefix ("w:t" -> "t").
std::string_view LocalName(const pugi::xml_node& node);

// First descendant (or the node itself) with the given local name.
pugi::xml_node FindLocal(const pugi::xml_node& node, std::string_view local_name);
// First child with the given local name.
pugi::xml_node ChildLocal(const pugi::xml_node& node, std::string_view local_name);
// Attribute by local name ("r:id" found as "id").
pugi::xml_attribute AttributeLocal(const pugi::xml_node& node, std::string_view local_name);

// Which elements make up running text in one XML vocabulary.
struct TextVocabulary {
  std::string_view paragraphs;  // "|p|h|": a line break after each
  std::string_view text;        // elements whose character data is text; empty: all
  std::string_view tabs;
  std::string_view breaks;
  std::string_view spaces;   // ODF "s": c="n" spaces
  std::string_view skipped;  // subtrees left out
};

// Appends the text of `node`'s subtree; stops once `limit` code points are there.
void CollectText(const pugi::xml_node& node, const TextVocabulary& vocabulary, size_t limit,
                 std::string* out);

}  // namespace velmora::preview
