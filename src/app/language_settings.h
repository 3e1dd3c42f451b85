#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/message_text.h"

namespace velmora::app {

// The texts of the chosen language. The language files are installed data
// ("languages/NAME.ini" beside the executable or in PREFIX/share/velmora);
// the choice is per user, in "config.ini" of the XDG config folder. Both are
// ini files: "[Section]" lines, then "key=text" lines split at the first '='.
class LanguageSettings {
 public:
  // The process-wide settings at the default places; loaded on first use.
  static LanguageSettings& Instance();

  // `config_path`: the user's config.ini ("" reads none and writes none);
  // `languages_folder`: where NAME.ini and the shipped default config.ini live.
  LanguageSettings(std::string config_path, std::string languages_folder);

  // A section of the current language; one the file lacks is created empty.
  TextTable& Section(const std::string& name);
  // The text of `key`; a missing key yields "" and is added to the section.
  static const std::string& Text(TextTable& section, const std::string& key);

  std::string CurrentLanguage() const { return current_; }
  // (file base name, name shown in the menu), in the order of the config file.
  const std::vector<std::pair<std::string, std::string>>& Languages() const { return languages_; }
  // Stores `name` as the user's language and loads its tables; 0 or an error
  // code of the write (the tables are loaded either way).
  int SetLanguage(const std::string& name);

  const std::string& ConfigPath() const { return config_path_; }
  const std::string& LanguagesFolder() const { return languages_folder_; }

 private:
  void LoadCurrentLanguage();
  void LoadLanguageList();
  void LoadTables();

  std::string config_path_;
  std::string languages_folder_;
  std::string current_;
  std::vector<std::pair<std::string, std::string>> languages_;
  std::map<std::string, TextTable> tables_;
};

// Parsed ini file: sections in file order, each a list of (key, text) lines.
struct IniSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> lines;
};
std::vector<IniSection> ReadIniFile(const std::string& path);

// Per-user config file: $XDG_CONFIG_HOME (or ~/.config) + "/VelmoraFileRecovery/config.ini".
std::string UserConfigPath();
// The installed languages folder: "languages" beside the executable, else
// "../share/velmora/languages" from the executable's folder.
std::string InstalledLanguagesFolder();

}  // namespace velmora::app
