// velmora-check-recovery TRUTH.json IMAGE OUTPUT_FOLDER [--listing LIST.json]
//                        [--markdown-row TOOL SECONDS]
// Compares a recovery output folder with the truth of one image: a table per category
// (with velmora's own listing counted in when given), or one Markdown table row.
#include <cstdio>
#include <exception>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "tools/recovery_check.h"
#include "tools/sample_truth.h"

namespace {

using velmora::tools::RecoveryCheck;

int Usage() {
  std::fprintf(stderr,
               "usage: velmora-check-recovery TRUTH.json IMAGE OUTPUT_FOLDER [--listing LIST.json] "
               "[--markdown-row TOOL SECONDS]\n");
  return 2;
}

// Counts the files of a `velmora list --json` output per category.
void CountListing(const std::string& path, RecoveryCheck* check) {
  std::ifstream in(path);
  const nlohmann::json listing = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
  if (!listing.is_array()) return;
  for (const auto& entry : listing) {
    if (!entry.is_object() || entry.value("is_dir", false)) continue;
    ++check->categories[entry.value("category", std::string("others"))].listed;
  }
}

void PrintTable(const velmora::tools::SampleImage& image, const RecoveryCheck& check,
                bool with_listing) {
  std::printf("%s (%s): %s\n", image.image.c_str(), image.file_system.c_str(),
              image.description.c_str());
  std::printf("  %-10s %6s %8s %12s\n", "category", "lost", with_listing ? "found" : "",
              "byte-exact");
  size_t listed = 0;
  for (const auto& [name, count] : check.categories) {
    listed += count.listed;
    std::printf("  %-10s %6zu %8s %12zu\n", name.c_str(), count.expected,
                with_listing ? std::to_string(count.listed).c_str() : "", count.exact);
  }
  std::printf("  %-10s %6zu %8s %12zu\n", "total", check.expected,
              with_listing ? std::to_string(listed).c_str() : "", check.exact);
  std::printf("  original names kept: %s\n", velmora::tools::NamesKeptText(check).c_str());
  if (check.wrong_content > 0) {
    std::printf("  %zu lost file(s) came out under their name with other bytes\n",
                check.wrong_content);
  }
  if (check.extra > 0) {
    std::printf(
        "  %zu output file(s) equal no file the volume held (such as deleted files whose "
        "clusters were reused since)\n",
        check.extra);
  }
  for (const auto* file : check.missing) {
    std::printf("  not recovered byte-exact: %s (%llu bytes)\n", file->path.c_str(),
                static_cast<unsigned long long>(file->size));
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) return Usage();
  std::string listing;
  std::string tool;
  std::string seconds;
  for (int i = 4; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--listing" && i + 1 < argc) {
      listing = argv[++i];
    } else if (option == "--markdown-row" && i + 2 < argc) {
      tool = argv[++i];
      seconds = argv[++i];
    } else {
      return Usage();
    }
  }
  try {
    const velmora::tools::SampleSet set = velmora::tools::ReadSampleSet(argv[1]);
    const velmora::tools::SampleImage* image = set.Find(argv[2]);
    if (!image) {
      std::fprintf(stderr, "velmora-check-recovery: no image '%s' in %s\n", argv[2], argv[1]);
      return 2;
    }
    RecoveryCheck check = velmora::tools::CheckRecovery(*image, argv[3]);
    if (!listing.empty()) CountListing(listing, &check);
    if (!tool.empty()) {
      std::printf("| %s | %s | %zu | %zu | %zu | %zu | %s | %s |\n", image->image.c_str(),
                  tool.c_str(), check.expected, check.exact, check.wrong_content, check.extra,
                  velmora::tools::NamesKeptText(check).c_str(), seconds.c_str());
    } else {
      PrintTable(*image, check, !listing.empty());
    }
    return check.exact == check.expected ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velmora-check-recovery: %s\n", error.what());
    return 2;
  }
}
