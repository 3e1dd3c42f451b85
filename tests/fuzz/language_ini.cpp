// The ini reader behind config.ini and the language files: the input is the user's
// config, the shipped config and the English table at once.
#include <filesystem>

#include "app/language_settings.h"
#include "fuzz_support.h"
#include "fuzz_target.h"

using namespace velmora;

VELMORA_FUZZ_TARGET(language_ini) {
  fuzz::ClearScratch();
  const std::string folder = fuzz::ScratchDir() + "/languages/";
  std::filesystem::create_directories(folder);
  const std::string config = fuzz::ScratchDir() + "/config.ini";
  for (const std::string& path : {config, folder + "config.ini", folder + "English.ini"}) {
    if (!fuzz::WriteFile(path, data, size)) return;
  }
  for (const app::IniSection& section : app::ReadIniFile(config)) {
    FUZZ_CHECK(!section.name.empty());
    for (const auto& [key, text] : section.lines) FUZZ_CHECK(key.find('\n') == std::string::npos);
  }
  app::LanguageSettings settings(config, folder);
  (void)app::LanguageSettings::Text(settings.Section("MainWindow"), "MSG0101");
  size_t tried = 0;
  for (const auto& [name, shown] : settings.Languages()) {
    if (++tried > 4) break;
    (void)settings.SetLanguage(name);
    FUZZ_CHECK(settings.CurrentLanguage().find('/') == std::string::npos);
  }
  // What was written reads back.
  (void)app::ReadIniFile(config);
}
