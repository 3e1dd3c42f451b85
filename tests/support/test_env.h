#pragma once

#include <string>

namespace velmora::testing {

// A fresh folder for one test, under VELMORA_TEST_TMP (set by CTest) or /tmp.
std::string MakeTempDir(const std::string& label);
void RemoveTree(const std::string& path);

// Path of a file under ../shared/testdata, or "" when that folder is absent
// (tests then skip with a clear message).
std::string SharedTestData(const std::string& relative);

// Points VELMORA_DATA_DIR at a temporary folder for the lifetime of the object,
// so tests never touch a user's scan logs.
class ScopedDataDir {
 public:
  ScopedDataDir();
  ~ScopedDataDir();
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
  bool had_previous_ = false;
};

// Runs a shell command; returns its exit status (-1 when it could not run).
int RunCommand(const std::string& command, std::string* output = nullptr);
bool ToolAvailable(const std::string& tool);
// Single-quotes a word for /bin/sh.
std::string ShellQuote(const std::string& word);

// The velmora binary built next to the tests.
std::string VelmoraBinary();

}  // namespace velmora::testing
