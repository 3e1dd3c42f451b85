#pragma once

// Shared pieces of the application-layer tests: an observer that records what
// the workflows report, and the English message table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/cancel_token.h"
#include "app/language_settings.h"
#include "app/scan_source.h"
#include "app/workflow_observer.h"
#include "engine/scan_index.h"
#include "support/test_env.h"

namespace velmora::testing {

class RecordingObserver : public app::WorkflowObserver {
 public:
  void OnStage(const std::string& text) override { stages.push_back(text); }
  void OnScanProgress(const app::ScanProgress& progress) override {
    ++scan_reports;
    last_scan = progress;
    if (stop && progress.sectors_total != 0 && progress.percent >= stop_at_percent) stop->Cancel();
  }
  void OnSourceFailed(const app::ScanSource&, int error) override { failures.push_back(error); }
  void OnSearchProgress(int, const std::string&) override { ++search_reports; }
  void OnRecoveryProgress(const app::RecoveryProgress& progress) override {
    last_recovery = progress;
  }
  void OnRecoveryLine(const app::RecoveryLine& line) override { lines.push_back(line); }
  app::ResumeAnswer AskResume(const app::ScanSource&,
                              const app::ResumeQuestion& question) override {
    questions.push_back(question.text);
    resume_questions.push_back(question);
    return resume_answer;
  }
  bool ConfirmSameVolume(const app::ScanSource&, const std::string& warning) override {
    questions.push_back(warning);
    return true;
  }

  app::ResumeAnswer resume_answer = app::ResumeAnswer::kContinue;
  std::vector<app::ResumeQuestion> resume_questions;
  // Stops the scan once its sector pass reaches this percent: a deep scan then stays saved.
  app::CancelToken* stop = nullptr;
  int stop_at_percent = 101;
  std::vector<std::string> stages;
  std::vector<std::string> questions;
  std::vector<int> failures;
  std::vector<app::RecoveryLine> lines;
  int scan_reports = 0;
  int search_reports = 0;
  app::ScanProgress last_scan;
  app::RecoveryProgress last_recovery;
};

// The shipped languages folder of the source tree.
inline std::string SourceLanguagesFolder() {
  return std::string(VELMORA_SOURCE_DIR) + "/resources/languages/";
}

// "Messages" of the shipped English file.
inline app::TextTable EnglishMessages() {
  app::LanguageSettings settings("", SourceLanguagesFolder());
  return settings.Section("Messages");
}

// A fresh scan-log directory and work folder per test, the English texts, an
// observer and a cancel token.
class AppWorkflowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ScanIndex::ResetInstance();
    work_ = MakeTempDir("app");
  }
  void TearDown() override {
    ScanIndex::ResetInstance();
    if (!work_.empty()) RemoveTree(work_);
  }

  ScopedDataDir data_dir_;
  std::string work_;
  app::TextTable messages_ = EnglishMessages();
  RecordingObserver observer_;
  app::CancelToken cancel_;
};

}  // namespace velmora::testing
