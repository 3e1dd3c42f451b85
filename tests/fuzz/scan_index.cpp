// The saved-scan index "config" loaded from disk and looked up.
#include <filesystem>

#include "engine/scan_index.h"
#include "fuzz_support.h"
#include "fuzz_target.h"

using namespace velmora;

VELMORA_FUZZ_TARGET(scan_index) {
  fuzz::ClearScratch();
  const std::string directory = fuzz::ScratchDir() + "/ScanLog";
  std::filesystem::create_directories(directory);
  if (!fuzz::WriteFile(directory + "/config", data, size)) return;
  ScanIndex index(directory);
  FUZZ_CHECK(index.Records().size() == (size < 8 ? 0 : (size - 8) / sizeof(ScanIndexRecord)));
  ScanIndexRecord found{};
  (void)index.FindForImage("/images/card.img", &found);
  for (const ScanIndexRecord& record : index.Records()) {
    (void)index.FindForPartition(record.disk_number, record.first_sector, record.sector_count, "/mnt/card", &found);
  }
  (void)index.CurrentFolder();
  std::string name;
  (void)index.FindLogFile(index.CurrentFolder(), "Fast_", &name);
}
