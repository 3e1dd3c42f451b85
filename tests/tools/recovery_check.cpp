#include "tools/recovery_check.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "support/content_gen.h"

namespace velmora::tools {

namespace {

struct OutputFile {
  std::string name;  // without counter, lower case
  std::string md5;
  bool attributed = false;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool IsToolReport(const std::string& name) {
  return name == "velmora-recovered.json" || name == "report.xml" || name == "audit.txt" ||
         name == "photorec.log" || name == "photorec.ses";
}

std::string FileMd5(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                             std::istreambuf_iterator<char>());
  return testing::Md5Hex(bytes);
}

std::vector<OutputFile> ReadOutput(const std::string& folder) {
  std::vector<OutputFile> files;
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) return files;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_regular_file(ec)) continue;
    const std::string name = it->path().filename().string();
    if (IsToolReport(name)) continue;
    files.push_back({Lower(WithoutCounter(name)), FileMd5(it->path())});
  }
  return files;
}

}  // namespace

std::string WithoutCounter(const std::string& name) {
  const size_t dot = name.rfind('.');
  const size_t stem_end = (dot == std::string::npos || dot == 0) ? name.size() : dot;
  if (stem_end < 3 || name[stem_end - 1] != ')') return name;
  size_t open = stem_end - 2;
  while (open > 0 && std::isdigit(static_cast<unsigned char>(name[open]))) --open;
  if (name[open] != '(' || open + 1 == stem_end - 1) return name;
  size_t cut = open;
  if (cut > 0 && name[cut - 1] == ' ') --cut;
  if (cut == 0) return name;
  return name.substr(0, cut) + name.substr(stem_end);
}

RecoveryCheck CheckRecovery(const SampleImage& truth, const std::string& output_folder) {
  RecoveryCheck check;
  std::vector<OutputFile> outputs = ReadOutput(output_folder);
  check.output_files = outputs.size();
  std::unordered_multimap<std::string, size_t> by_md5;
  std::unordered_multimap<std::string, size_t> by_name;
  for (size_t i = 0; i < outputs.size(); ++i) {
    by_md5.emplace(outputs[i].md5, i);
    by_name.emplace(outputs[i].name, i);
  }
  std::unordered_set<std::string> known_md5;
  for (const auto& file : truth.files) known_md5.insert(file.md5);

  for (const auto& file : truth.files) {
    if (!file.Expected()) continue;
    ++check.expected;
    CategoryCount& category = check.categories[file.category];
    ++category.expected;
    const std::string name = Lower(file.name);
    const auto [first, last] = by_md5.equal_range(file.md5);
    if (first != last) {
      ++check.exact;
      ++category.exact;
      bool named = false;
      for (auto it = first; it != last; ++it) named = named || outputs[it->second].name == name;
      if (named) ++check.names_kept;
      continue;
    }
    check.missing.push_back(&file);
    const auto [name_first, name_last] = by_name.equal_range(name);
    for (auto it = name_first; it != name_last; ++it) {
      if (outputs[it->second].attributed || known_md5.count(outputs[it->second].md5)) continue;
      outputs[it->second].attributed = true;
      ++check.wrong_content;
      break;
    }
  }
  for (const auto& output : outputs) {
    if (!output.attributed && !known_md5.count(output.md5)) ++check.extra;
  }
  return check;
}

std::string NamesKeptText(const RecoveryCheck& check) {
  if (check.exact == 0) return "-";
  if (check.names_kept == check.exact) return "yes";
  if (check.names_kept == 0) return "no";
  return "partly (" + std::to_string(check.names_kept) + "/" + std::to_string(check.exact) + ")";
}

}  // namespace velmora::tools
