#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>

#include "engine/scan_record.h"

namespace velmora {

// Records held back during a scan so that they reach the log after all others: a
// temporary file rather than memory, since a volume's existing files can number millions.
class RecordSpill {
 public:
  RecordSpill() = default;
  ~RecordSpill();
  RecordSpill(const RecordSpill&) = delete;
  RecordSpill& operator=(const RecordSpill&) = delete;

  // False when the record could not be kept (no temporary file, a write error).
  bool Add(const ScanRecord& record);
  size_t Count() const { return count_; }
  // Every kept record in the order added; false on a read error (records up to it were given).
  bool ForEach(const std::function<void(ScanRecord&)>& visit);

 private:
  std::FILE* file_ = nullptr;
  size_t count_ = 0;
  bool failed_ = false;
};

}  // namespace velmora
