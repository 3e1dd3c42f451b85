// A saved scan log reopened: the record log, its "_Relation" text and its "_DirInfo" list,
// then the queries a result page makes. Input: two 16-bit lengths (relation, directory
// list), those two files, and the rest as the log.
#include <cstring>

#include "engine/scan_log_store.h"
#include "fuzz_support.h"
#include "fuzz_target.h"

using namespace velmora;

VELMORA_FUZZ_TARGET(scan_log) {
  if (size < 4) return;
  const size_t relation_bytes = std::min<size_t>(data[0] | (data[1] << 8), size - 4);
  const size_t directory_bytes =
      std::min<size_t>(data[2] | (data[3] << 8), size - 4 - relation_bytes);
  const uint8_t* relation = data + 4;
  const uint8_t* directories = relation + relation_bytes;
  const uint8_t* log = directories + directory_bytes;
  const size_t log_bytes = size - 4 - relation_bytes - directory_bytes;

  fuzz::ClearScratch();
  const std::string folder = fuzz::ScratchDir() + "/";
  const std::string main = folder + "Fast_0_1";
  if (!fuzz::WriteFile(main, log, log_bytes) ||
      !fuzz::WriteFile(main + "_Relation", relation, relation_bytes) ||
      !fuzz::WriteFile(main + "_DirInfo", directories, directory_bytes)) {
    return;
  }
  ScanLogStore store;
  if (store.OpenIn(folder, "Fast_0_1") != 0) return;
  FUZZ_CHECK(store.GetRecordCount() == log_bytes / sizeof(ScanRecord));

  ScanRecordList listed;
  store.ListByType(".jpg.png.doc.txt.other", &listed);
  for (const auto& [key, indices] : store.Relations()) {
    ScanRecordList children;
    store.ListChildren(RelationKey::FromValue(key), &children);
    FUZZ_CHECK(children.size() <= indices.size());
    int count = 0;
    store.CountFilesUnder(RelationKey::FromValue(key), &count);
    for (const ScanRecord& child : children) {
      std::string path;
      store.FullPath(child, &path);
      ScanRecordList ancestors;
      store.GetAncestors(child, &ancestors);
    }
  }
  ScanRecord record;
  for (uint32_t index = 1; index <= store.GetRecordCount() && index <= 64; ++index) {
    FUZZ_CHECK(store.ReadRecord(index, &record) == 0);
    FUZZ_CHECK(std::memchr(record.name, 0, sizeof(record.name)) != nullptr);
    std::string path;
    store.FullPath(record, &path);
  }
  // New records follow the old ones.
  ScanRecord added{};
  std::strcpy(added.name, "added.txt");
  store.AppendRecord(&added);
  FUZZ_CHECK(added.record_index == store.GetRecordCount());
}
