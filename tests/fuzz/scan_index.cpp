// The saved-scan index "config" loaded from disk and looked up.
#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/scan_index.h"
#include "fuzz_support.h"
#include "fuzz_target.h"

using namespace velmora;

VELMORA_FUZZ_TARGET(scan_index) {
  fuzz::ClearScratch();
  const std::string directory = fuzz::ScratchDir() + "/ScanLog";
  std::filesystem::create_directories(directory);
  // Only folders inside the scan-log directory are kept: a scan folder starting "@/" in the
  // input names that directory, wherever this run keeps it.
  std::vector<uint8_t> bytes(data, data + size);
  for (size_t at = 8; size >= 8 && at + sizeof(ScanIndexRecord) <= size;
       at += sizeof(ScanIndexRecord)) {
    auto* folder =
        reinterpret_cast<char16_t*>(bytes.data() + at + offsetof(ScanIndexRecord, scan_folder));
    if (folder[0] != u'@' || folder[1] != u'/') continue;
    std::u16string rest;
    for (size_t i = 1; i < 260 && folder[i] != 0; ++i) rest.push_back(folder[i]);
    std::u16string full(directory.begin(), directory.end());
    full += rest;
    full.resize(259);
    std::copy(full.begin(), full.end(), folder);
    folder[259] = 0;
  }
  if (!fuzz::WriteFile(directory + "/config", bytes.data(), bytes.size())) return;
  ScanIndex index(directory);
  FUZZ_CHECK(index.Records().size() <= (size < 8 ? 0 : (size - 8) / sizeof(ScanIndexRecord)));
  for (const ScanIndexRecord& record : index.Records()) {
    // Every kept record names a numbered folder of the directory.
    FUZZ_CHECK(record.scan_folder[directory.size()] == u'/');
  }
  ScanIndexRecord found{};
  (void)index.FindForImage("/images/card.img", &found);
  for (const ScanIndexRecord& record : index.Records()) {
    (void)index.FindForPartition(record.disk_number, record.first_sector, record.sector_count,
                                 "/mnt/card", &found);
  }
  (void)index.CurrentFolder();
  std::string name;
  (void)index.FindLogFile(index.CurrentFolder(), "Fast_", &name);
}
