// A deep scan (quick scan, then every sector routed to the deep engines and the
// signature catalogue) of the input as a volume image, with listing and recovery.
#include "engine_scan.h"
#include "fuzz_target.h"

VELMORA_FUZZ_TARGET(deep_scan) { velmora::fuzz::ScanImage(data, size, true); }
