#include "preview/photo_navigation.h"

#include "engine/categories.h"
#include "engine/record_text.h"

namespace velmora::preview {

namespace {

bool SameRecord(const ScanRecord& a, const ScanRecord& b) {
  return a.source_kind == b.source_kind && a.record_index == b.record_index &&
         a.object_id == b.object_id;
}

bool IsPhoto(const ScanRecord& record) {
  return !record.is_directory && std::string_view(CategoryOfRecord(record)) == "photo";
}

}  // namespace

std::optional<size_t> AdjacentPhoto(const ScanRecordList& list, const ScanRecord& current,
                                    bool forward) {
  size_t at = list.size();
  for (size_t i = 0; i < list.size(); ++i) {
    if (SameRecord(list[i], current)) {
      at = i;
      break;
    }
  }
  if (at == list.size()) return std::nullopt;
  for (size_t step = 1; step < list.size(); ++step) {
    const size_t i = forward ? (at + step) % list.size() : (at + list.size() - step) % list.size();
    if (IsPhoto(list[i])) return i;
  }
  return std::nullopt;
}

}  // namespace velmora::preview
