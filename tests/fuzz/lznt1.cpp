// One LZNT1 compression unit into a 64 KiB output (16 clusters of 4 KiB).
#include <vector>

#include "fuzz_target.h"
#include "ntfs/lznt1.h"

VELMORA_FUZZ_TARGET(lznt1) {
  std::vector<uint8_t> out(65536, 0xA5);
  size_t produced = 0;
  (void)velmora::ntfs::DecompressLznt1({data, size}, out, &produced);
  FUZZ_CHECK(produced <= out.size());
  // A smaller output must not be overrun either (checked by the sanitizer).
  std::vector<uint8_t> small(size % 4097);
  (void)velmora::ntfs::DecompressLznt1({data, size}, small, &produced);
  FUZZ_CHECK(produced <= small.size());
}
