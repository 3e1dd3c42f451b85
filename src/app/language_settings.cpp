#include "app/language_settings.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "engine/recovery_output.h"
#include "storage/error_codes.h"

namespace velmora::app {

namespace {

constexpr const char* kDefaultLanguage = "English";
constexpr size_t kMaxLanguageName = 63;

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> lines;
  if (!in) return lines;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  if (!lines.empty() && lines.front().rfind("\xEF\xBB\xBF", 0) == 0) lines.front().erase(0, 3);
  return lines;
}

// "[Name]" gives Name; anything else "".
std::string SectionName(const std::string& trimmed) {
  if (trimmed.size() < 2 || trimmed.front() != '[' || trimmed.back() != ']') return {};
  return Trim(trimmed.substr(1, trimmed.size() - 2));
}

const IniSection* FindSection(const std::vector<IniSection>& file, const std::string& name) {
  for (const auto& section : file) {
    if (section.name == name) return &section;
  }
  return nullptr;
}

// A language name becomes part of a file name: keep it to one plain component.
bool UsableLanguageName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxLanguageName && name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos && name.front() != '.';
}

std::string ExecutableFolder() {
  char path[4096];
  const ssize_t length = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
  if (length <= 0) return ".";
  return ParentFolderOf(std::string(path, static_cast<size_t>(length)));
}

bool IsFolder(const std::string& path) { return ::access(path.c_str(), R_OK | X_OK) == 0; }

// Sets `key` in `section` of the ini file at `path`, keeping every other line.
int WriteIniValue(const std::string& path, const std::string& section, const std::string& key,
                  const std::string& value) {
  std::vector<std::string> lines = ReadLines(path);
  const std::string entry = key + "=" + value;
  bool in_section = false;
  size_t insert_at = lines.size();
  bool found_section = false;
  bool written = false;
  for (size_t i = 0; i < lines.size() && !written; ++i) {
    const std::string trimmed = Trim(lines[i]);
    const std::string name = SectionName(trimmed);
    if (!name.empty()) {
      if (in_section) break;
      in_section = name == section;
      if (in_section) {
        found_section = true;
        insert_at = i + 1;
      }
      continue;
    }
    if (!in_section) continue;
    if (!trimmed.empty()) insert_at = i + 1;
    const size_t equals = trimmed.find('=');
    if (equals != std::string::npos && Trim(trimmed.substr(0, equals)) == key) {
      lines[i] = entry;
      written = true;
    }
  }
  if (!written) {
    if (!found_section) {
      lines.push_back("[" + section + "]");
      insert_at = lines.size();
    }
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insert_at), entry);
  }
  int err = CreateFolderTree(ParentFolderOf(path));
  if (err != kSuccess) return err;
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const auto& line : lines) out << line << '\n';
    out.flush();
    if (!out) {
      std::remove(temporary.c_str());
      return kErrWriteFault;
    }
  }
  if (std::rename(temporary.c_str(), path.c_str()) != 0) return LastError();
  return kSuccess;
}

}  // namespace

std::vector<IniSection> ReadIniFile(const std::string& path) {
  std::vector<IniSection> sections;
  for (const std::string& raw : ReadLines(path)) {
    const std::string line = Trim(raw);
    if (line.empty() || line.front() == ';') continue;
    const std::string name = SectionName(line);
    if (!name.empty()) {
      sections.push_back(IniSection{name, {}});
      continue;
    }
    if (sections.empty()) continue;  // lines before the first section belong to none
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      sections.back().lines.emplace_back(line, line);
    } else {
      sections.back().lines.emplace_back(Trim(line.substr(0, equals)),
                                         Trim(line.substr(equals + 1)));
    }
  }
  return sections;
}

std::string UserConfigPath() {
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') {
    base = xdg;
  } else {
    const char* home = std::getenv("HOME");
    base = std::string(home && *home ? home : "/tmp") + "/.config";
  }
  return base + "/VelmoraFileRecovery/config.ini";
}

std::string InstalledLanguagesFolder() {
  const std::string folder = ExecutableFolder();
  const std::string beside = folder + "/languages/";
  if (IsFolder(beside)) return beside;
  return folder + "/../share/velmora/languages/";
}

LanguageSettings& LanguageSettings::Instance() {
  static std::once_flag once;
  static LanguageSettings* instance = nullptr;
  std::call_once(
      once, [] { instance = new LanguageSettings(UserConfigPath(), InstalledLanguagesFolder()); });
  return *instance;
}

LanguageSettings::LanguageSettings(std::string config_path, std::string languages_folder)
    : config_path_(std::move(config_path)), languages_folder_(std::move(languages_folder)) {
  if (!languages_folder_.empty() && languages_folder_.back() != '/') languages_folder_ += '/';
  LoadCurrentLanguage();
  LoadLanguageList();
  LoadTables();
}

void LanguageSettings::LoadCurrentLanguage() {
  current_ = kDefaultLanguage;
  // The user's choice, else the one the installation ships.
  for (const std::string& path : {config_path_, languages_folder_ + "config.ini"}) {
    const std::vector<IniSection> file = ReadIniFile(path);
    const IniSection* section = FindSection(file, "DefaultLanguage");
    if (section == nullptr) continue;
    for (const auto& [key, text] : section->lines) {
      if (key != "Default") continue;
      if (UsableLanguageName(text)) current_ = text;
      return;
    }
  }
}

void LanguageSettings::LoadLanguageList() {
  languages_.clear();
  for (const std::string& path : {config_path_, languages_folder_ + "config.ini"}) {
    const std::vector<IniSection> file = ReadIniFile(path);
    if (const IniSection* section = FindSection(file, "Languages")) {
      languages_ = section->lines;
      return;
    }
  }
}

void LanguageSettings::LoadTables() {
  tables_.clear();
  for (const IniSection& section : ReadIniFile(languages_folder_ + current_ + ".ini")) {
    TextTable& table = tables_[section.name];
    for (const auto& [key, text] : section.lines) table.emplace(key, text);  // first one wins
  }
}

TextTable& LanguageSettings::Section(const std::string& name) { return tables_[name]; }

const std::string& LanguageSettings::Text(TextTable& section, const std::string& key) {
  return section[key];
}

int LanguageSettings::SetLanguage(const std::string& name) {
  int err = kErrInvalidParameter;
  if (config_path_.empty()) {
    err = kErrPathNotFound;
  } else if (UsableLanguageName(name)) {
    err = WriteIniValue(config_path_, "DefaultLanguage", "Default", name);
  }
  LoadCurrentLanguage();
  LoadTables();
  return err;
}

}  // namespace velmora::app
