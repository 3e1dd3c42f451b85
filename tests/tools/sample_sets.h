#pragma once

// The generated image sets with their ground truth:
//   demo    a re-formatted FAT32 camera card and an NTFS volume with deleted files (scripts/demo)
//   corpus  deleted files on NTFS, FAT16 and FAT32; quick-formatted NTFS; re-formatted FAT16
//           and FAT32; a carving image of real files among random data (bench/compare-peers)
// Images and truth.json are written into `folder`. `testdata` is the shared test-data folder
// or "": real sample files from it are planted into the carving image when present.

#include <string>

#include "tools/sample_truth.h"

namespace velmora::tools {

SampleSet BuildDemoSet(const std::string& folder);
SampleSet BuildCorpus(const std::string& folder, const std::string& testdata);

// Small and quick: one FAT16 and one NTFS volume with a few deleted files, and a small
// carving image. For the tool's own test.
SampleSet BuildSmokeSet(const std::string& folder);

}  // namespace velmora::tools
