#include "engine_scan.h"

#include <filesystem>

#include "deep/engine_factory.h"
#include "engine/scan_index.h"
#include "fuzz_support.h"
#include "fuzz_target.h"

namespace velmora::fuzz {

void ScanImage(const uint8_t* data, size_t size, bool deep) {
  UseScratchDataDir();
  // Each input starts from an empty scan-log folder: a saved position of an earlier
  // input must not make this one resume.
  ScanIndex::ResetInstance();
  ClearScratch();
  {
    // The engine selection reads 16 KiB; a shorter input is a volume cut short.
    MemoryImage image(data, size, 16384);
    if (!image.ok()) return;
    auto engine = CreateEngineForImage(image.path(), u'F', deep);
    if (!engine) return;
    if (engine->Scan(nullptr) != 0) return;
    ScanRecordList found;
    engine->GetFilesByType(".jpg.png.gif.doc.pdf.txt.zip.other", &found);
    ScanRecordList top;
    engine->GetChildren(nullptr, 0, &top);
    int count = 0;
    engine->CountFiles(nullptr, 0, &count);
    const std::string out = ScratchDir() + "/out";
    std::filesystem::create_directories(out);
    size_t recovered = 0;
    for (const ScanRecord& record : found) {
      std::string path;
      engine->GetFullPath(record, &path);
      if (recovered++ < 8) engine->RecoverFile(record, out, 0);
    }
    for (const ScanRecord& record : top) {
      ScanRecordList children;
      if (record.is_directory) engine->GetChildren(&record, 1, &children);
    }
  }
  ScanIndex::ResetInstance();
}

}  // namespace velmora::fuzz
