#include "signature/signature_table.h"

#include <deque>
#include <sstream>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/record_text.h"
#include "signature/formats/registry.h"

namespace velmora {

namespace {

// One row per extension of each registered format, in order, then the terminator.
std::vector<SignatureRow> BuildTable() {
  std::vector<SignatureRow> table;
  static std::deque<std::string> extensions;  // rows point into it; a deque never moves them
  for (const formats::Format* format : formats::RegisteredFormats()) {
    std::istringstream names(std::string(format->extension) + " " +
                             (format->more_extensions == nullptr ? "" : format->more_extensions));
    for (std::string name; names >> name;) {
      extensions.push_back(name);
      table.push_back({extensions.back().c_str(), format->type, format->identify, format->length,
                       format->first_bytes, format->first_byte_count, format->skip_after});
    }
  }
  table.push_back({"", kNoSignatureType, nullptr, nullptr, "", 0, false});
  return table;
}

const std::vector<SignatureRow>& Table() {
  static const std::vector<SignatureRow> table = BuildTable();
  return table;
}

}  // namespace

const SignatureRow* SignatureTable() { return Table().data(); }

namespace {

// The first row of each type and of each extension (folded to lower case), found once: both
// are asked for every file a scan meets.
struct RowIndex {
  std::unordered_map<int, const SignatureRow*> by_type;
  std::unordered_map<std::string, std::vector<const SignatureRow*>> by_extension;

  RowIndex() {
    for (const SignatureRow* row = SignatureTable(); row->type != kNoSignatureType; ++row) {
      by_type.emplace(row->type, row);
      by_extension[AsciiLower(row->extension)].push_back(row);
    }
  }
};

const RowIndex& Rows() {
  static const RowIndex index;
  return index;
}

}  // namespace

const SignatureRow* FirstRowOfType(int type) {
  const auto& by_type = Rows().by_type;
  const auto found = by_type.find(type);
  return found == by_type.end() ? nullptr : found->second;
}

const SignatureRow* FindRowByExtension(std::string_view extension) {
  const std::vector<const SignatureRow*>& rows = RowsWithExtension(extension);
  return rows.empty() ? nullptr : rows.front();
}

const std::vector<const SignatureRow*>& RowsWithExtension(std::string_view extension) {
  static const std::vector<const SignatureRow*> none;
  const auto& by_extension = Rows().by_extension;
  const auto found = by_extension.find(AsciiLower(extension));
  return found == by_extension.end() ? none : found->second;
}

}  // namespace velmora
