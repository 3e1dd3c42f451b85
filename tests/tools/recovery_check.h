#pragma once

// Compares what a recovery tool wrote into a folder with an image's ground truth.
// A lost file counts as recovered byte-exact when any output file has its MD5, whatever
// its name; as wrong content when none does but an output file carries its name.

#include <cstddef>
#include <map>
#include <string>
#include <vector>

#include "tools/sample_truth.h"

namespace velmora::tools {

struct CategoryCount {
  size_t expected = 0;
  size_t exact = 0;
  size_t listed = 0;  // filled by the caller from a tool's own listing
};

struct RecoveryCheck {
  size_t expected = 0;       // lost files whose bytes are all still there
  size_t exact = 0;          // of those, recovered byte for byte
  size_t wrong_content = 0;  // of those, recovered under their name with other bytes
  size_t names_kept = 0;     // of the exact ones, written under their original name
  size_t output_files = 0;
  size_t extra = 0;  // output files that match no file of the volume
  std::map<std::string, CategoryCount> categories;
  std::vector<const SampleFile*> missing;  // expected, not recovered byte-exact
};

// Output files named like a tool's report (report.xml, audit.txt, photorec.log) are skipped.
RecoveryCheck CheckRecovery(const SampleImage& truth, const std::string& output_folder);

// "yes", "no", "partly (k/n)", or "-" when nothing was recovered.
std::string NamesKeptText(const RecoveryCheck& check);

// The name a tool means when it makes a name unique: "a(2).jpg" and "a (2).jpg" -> "a.jpg".
std::string WithoutCounter(const std::string& name);

}  // namespace velmora::tools
