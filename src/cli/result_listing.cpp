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

std::string DescribeError(int code) {
  switch (code) {
    case kSuccess: return "success";
    case kErrFileNotFound: return "file not found";
    case kErrPathNotFound: return "path not found";
    case kErrAccessDenied: return "access denied";
    case kErrNotEnoughMemory: return "not enough memory";
    case kErrWriteFault: return "cannot write to the destination";
    case kErrReadFault: return "cannot read the source (read fault)";
    case kErrInvalidParameter: return "the file's metadata or data location is invalid";
    case kErrDiskFull: return "the destination disk is full";
    case kErrFileExists:
    case kErrAlreadyExists: return "the destination already exists";
    case kErrFilenameTooLong: return "file name too long";
    case kCancelledByUser: return "cancelled";
    default: break;
  }
  return "error " + std::to_string(code);
}

}  // namespace velmora::cli
