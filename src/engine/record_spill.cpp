#include "engine/record_spill.h"

namespace velmora {

RecordSpill::~RecordSpill() {
  if (file_ != nullptr) std::fclose(file_);
}

bool RecordSpill::Add(const ScanRecord& record) {
  if (failed_) return false;
  if (file_ == nullptr) file_ = std::tmpfile();
  if (file_ == nullptr || std::fwrite(&record, sizeof(record), 1, file_) != 1) {
    failed_ = true;
    return false;
  }
  ++count_;
  return true;
}

bool RecordSpill::ForEach(const std::function<void(ScanRecord&)>& visit) {
  if (file_ == nullptr) return !failed_;
  if (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0) return false;
  ScanRecord record;
  for (size_t i = 0; i < count_; ++i) {
    if (std::fread(&record, sizeof(record), 1, file_) != 1) return false;
    visit(record);
  }
  return std::fseek(file_, 0, SEEK_END) == 0;
}

}  // namespace velmora
