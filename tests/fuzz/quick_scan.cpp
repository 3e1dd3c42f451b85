// A quick scan of the input as a volume image, with listing and recovery.
#include "engine_scan.h"
#include "fuzz_target.h"

VELMORA_FUZZ_TARGET(quick_scan) { velmora::fuzz::ScanImage(data, size, false); }
