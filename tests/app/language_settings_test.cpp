// Language files and config.ini: the shipped files are complete, and the ini
// rules hold (first '=' splits, first duplicate wins, missing keys are empty).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "app/language_settings.h"
#include "app/message_text.h"
#include "app_test_support.h"
#include "support/test_env.h"

namespace velmora::testing {
namespace {

namespace fs = std::filesystem;

void WriteFile(const std::string& path, const std::string& text) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Every "MSGnnnn" the application code names.
std::set<std::string> KeysUsedByCode() {
  std::set<std::string> keys;
  const std::regex key("MSG[0-9]{4}");
  for (const auto& entry : fs::directory_iterator(std::string(VELMORA_SOURCE_DIR) + "/src/app")) {
    const std::string text = ReadFile(entry.path().string());
    for (auto it = std::sregex_iterator(text.begin(), text.end(), key);
         it != std::sregex_iterator(); ++it) {
      keys.insert(it->str());
    }
  }
  return keys;
}

// The keys the windows name: 78 "Messages" keys in their ranges.
std::set<std::string> KeysOfTheWindows() {
  std::set<std::string> keys;
  auto range = [&keys](int first, int last) {
    for (int n = first; n <= last; ++n) {
      char key[16];
      std::snprintf(key, sizeof(key), "MSG%04d", n);
      keys.insert(key);
    }
  };
  range(101, 104);
  range(201, 214);
  range(216, 221);
  range(301, 306);
  range(401, 405);
  range(501, 505);
  range(601, 602);
  range(701, 709);
  range(801, 805);
  range(807, 812);
  range(901, 905);
  range(1101, 1103);
  range(1201, 1207);
  range(1209, 1209);
  return keys;
}

TEST(ShippedLanguagesTest, EveryKeyIsThereInEveryLanguage) {
  const std::set<std::string> windows = KeysOfTheWindows();
  ASSERT_EQ(windows.size(), 78u);
  const std::set<std::string> used = KeysUsedByCode();
  ASSERT_FALSE(used.empty());
  const std::string folder = SourceLanguagesFolder();
  const auto english = app::ReadIniFile(folder + "English.ini");
  app::LanguageSettings shipped("", folder);
  ASSERT_EQ(shipped.CurrentLanguage(), "English");
  ASSERT_GE(shipped.Languages().size(), 2u);

  const std::string work = MakeTempDir("app-shipped-languages");
  for (const auto& [language, shown] : shipped.Languages()) {
    SCOPED_TRACE(language);
    app::LanguageSettings settings(work + "/config.ini", folder);
    ASSERT_EQ(settings.SetLanguage(language), 0);
    ASSERT_EQ(settings.CurrentLanguage(), language);
    const app::TextTable messages = settings.Section("Messages");
    for (const std::string& key : used) EXPECT_FALSE(app::Lookup(messages, key).empty()) << key;
    for (const std::string& key : windows) EXPECT_FALSE(app::Lookup(messages, key).empty()) << key;
    for (const char* section : {"MainWnd", "MenuWnd", "MessageBox", "ScanWnd", "RecoverProcessWnd",
                                "SearchProcessWnd", "PreviewProcessWnd", "CreateImageWnd"}) {
      EXPECT_FALSE(settings.Section(section).empty()) << section;
    }
    // Whatever English says, every language says.
    for (const app::IniSection& section : english) {
      const app::TextTable& table = settings.Section(section.name);
      for (const auto& [key, text] : section.lines) {
        EXPECT_FALSE(app::Lookup(table, key).empty()) << section.name << "/" << key;
      }
    }
  }
  RemoveTree(work);
}

class LanguageSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = MakeTempDir("app-language");
    languages_ = work_ + "/languages/";
    config_ = work_ + "/config/VelmoraFileRecovery/config.ini";
    WriteFile(languages_ + "English.ini", "[Messages]\nMSG0101=Quick\n[MainWnd]\nBtnScan=Scan\n");
    WriteFile(languages_ + "Deutsch.ini",
              "\xEF\xBB\xBF[Messages]\r\n"
              "MSG0101=Schnell\r\n"
              "MSG0101=Zweite Zeile verliert\r\n"
              "MSG0804=Summe = %s in %d Dateien\r\n");
  }
  void TearDown() override { RemoveTree(work_); }
  std::string work_;
  std::string languages_;
  std::string config_;
};

TEST_F(LanguageSettingsTest, MissingConfigMeansEnglishAndNoMenu) {
  app::LanguageSettings settings(config_, languages_);
  EXPECT_EQ(settings.CurrentLanguage(), "English");
  EXPECT_TRUE(settings.Languages().empty());
  app::TextTable& messages = settings.Section("Messages");
  EXPECT_EQ(app::LanguageSettings::Text(messages, "MSG0101"), "Quick");
  // A missing key gives an empty text and joins the section.
  EXPECT_EQ(app::LanguageSettings::Text(messages, "MSG0999"), "");
  EXPECT_EQ(messages.count("MSG0999"), 1u);
  EXPECT_TRUE(settings.Section("NoSuchSection").empty());
}

TEST_F(LanguageSettingsTest, IniLinesSplitAtTheFirstEqualsAndTheFirstDuplicateWins) {
  WriteFile(config_,
            "[DefaultLanguage]\nDefault=Deutsch\n[Languages]\nEnglish=English\n"
            "Deutsch=Deutsch (German)\nPlain line\n");
  app::LanguageSettings settings(config_, languages_);
  EXPECT_EQ(settings.CurrentLanguage(), "Deutsch");
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"English", "English"}, {"Deutsch", "Deutsch (German)"}, {"Plain line", "Plain line"}};
  EXPECT_EQ(settings.Languages(), expected);
  const app::TextTable& messages = settings.Section("Messages");
  EXPECT_EQ(messages.at("MSG0101"), "Schnell");
  EXPECT_EQ(messages.at("MSG0804"), "Summe = %s in %d Dateien");
}

TEST_F(LanguageSettingsTest, SetLanguageWritesConfigAndReloads) {
  WriteFile(config_, "; mine\n[Languages]\nDeutsch=Deutsch (German)\n");
  app::LanguageSettings settings(config_, languages_);
  ASSERT_EQ(settings.SetLanguage("Deutsch"), 0);
  EXPECT_EQ(settings.Section("Messages").at("MSG0101"), "Schnell");
  EXPECT_TRUE(settings.Section("MainWnd").empty());
  const std::string written = ReadFile(config_);
  EXPECT_NE(written.find("; mine"), std::string::npos);
  EXPECT_NE(written.find("[DefaultLanguage]\nDefault=Deutsch\n"), std::string::npos);
  EXPECT_EQ(app::LanguageSettings(config_, languages_).CurrentLanguage(), "Deutsch");
  ASSERT_EQ(settings.SetLanguage("English"), 0);
  EXPECT_EQ(app::LanguageSettings(config_, languages_).CurrentLanguage(), "English");
  EXPECT_EQ(settings.Section("Messages").at("MSG0101"), "Quick");
}

TEST_F(LanguageSettingsTest, LanguageNamesThatLeaveTheFolderAreRefused) {
  WriteFile(work_ + "/secret.ini", "[Messages]\nMSG0101=outside\n");
  WriteFile(config_, "[DefaultLanguage]\nDefault=../secret\n");
  app::LanguageSettings settings(config_, languages_);
  EXPECT_EQ(settings.CurrentLanguage(), "English");
  EXPECT_NE(settings.SetLanguage("../secret"), 0);
  EXPECT_EQ(settings.Section("Messages").at("MSG0101"), "Quick");
}

TEST(FormatTextTest, FillsConversionsInOrderAndNothingElse) {
  EXPECT_EQ(app::FormatText("%s %d%%", {"Progress:", "42"}), "Progress: 42%");
  EXPECT_EQ(app::FormatText("%s %I64u / %I64u", {"Sectors:", "1", "2"}), "Sectors: 1 / 2");
  // A hostile or short text never reads past its arguments.
  EXPECT_EQ(app::FormatText("%s%s%s%n%p", {"a"}), "a%n%p");
  EXPECT_EQ(app::FormatText("no conversions", {"a", "b"}), "no conversions");
  EXPECT_EQ(app::FormatText("trailing %", {}), "trailing %");
}

}  // namespace
}  // namespace velmora::testing
