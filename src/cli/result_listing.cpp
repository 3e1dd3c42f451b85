#include "cli/result_listing.h"

#include <cstring>

#include "engine/categories.h"
#include "storage/error_codes.h"

namespace velmora::cli {

int ListRecords(IFileRecoveryParse* engine, const std::string& categories, ScanRecordList* out,
                std::string* error) {
  std::string filter;
  if (!FilterForCategories(categories, &filter)) {
    *error = "unknown category in '" + categories +
             "' (use photo, audio, video, document, archive, others, all)";
    return kErrInvalidParameter;
  }
  engine->GetFilesByType(filter, out);
  return kSuccess;
}

std::string CategoriesOption(const ParsedArgs& parsed) {
  std::string categories;
  for (const auto& value : parsed.Values("--type")) {
    if (!categories.empty()) categories += ',';
    categories += value;
  }
  return categories.empty() ? "all" : categories;
}

std::string DescribeError(int code) { return DescribeErrorCode(code); }

}  // namespace velmora::cli
