// Helpers of the shell tests: a scripted prompter, a recording host, a temporary folder.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <deque>
#include <filesystem>
#include <string>
#include <vector>

#include "app/shell/host.h"
#include "app/shell/prompter.h"

// Answers every question from queues and records what was asked. An unexpected question
// fails the test (and answers "no" / cancel).
class TScriptedPrompter : public TPrompter {
 public:
  struct Message {
    TMsgKind kind;
    std::string text;
    TMsgButtons buttons;
  };
  std::deque<TModalResult> answers;
  std::deque<std::vector<std::string>> openAnswers;
  std::deque<TSaveDialogResult> saveAnswers;
  std::vector<Message> messages;
  std::vector<TOpenDialogRequest> openRequests;
  std::vector<TSaveDialogRequest> saveRequests;

  TModalResult MessageBox(TMsgKind kind, const std::string& text, TMsgButtons buttons) override {
    messages.push_back({kind, text, buttons});
    if (answers.empty()) {
      ADD_FAILURE() << "unexpected message box: " << text;
      return TModalResult::mrNo;
    }
    TModalResult r = answers.front();
    answers.pop_front();
    return r;
  }
  std::vector<std::string> OpenFileDialog(const TOpenDialogRequest& request) override {
    openRequests.push_back(request);
    if (openAnswers.empty()) {
      ADD_FAILURE() << "unexpected open dialog";
      return {};
    }
    auto r = openAnswers.front();
    openAnswers.pop_front();
    return r;
  }
  TSaveDialogResult SaveFileDialog(const TSaveDialogRequest& request) override {
    saveRequests.push_back(request);
    if (saveAnswers.empty()) {
      ADD_FAILURE() << "unexpected save dialog";
      return {};
    }
    auto r = saveAnswers.front();
    saveAnswers.pop_front();
    return r;
  }
};

// Counts what the shell asked of its window.
class TRecordingHost : public TShellHost {
 public:
  int busyDepth = 0, maxBusyDepth = 0, beginBusy = 0, endBusy = 0;
  int refreshStatus = 0, pageListChanged = 0, viewChanged = 0, historyMenu = 0, quietUpdateChecks = 0;
  std::vector<std::string> hints;
  std::vector<int> progress;

  void BeginBusy() override {
    ++beginBusy;
    maxBusyDepth = std::max(maxBusyDepth, ++busyDepth);
  }
  void EndBusy() override {
    ++endBusy;
    --busyDepth;
  }
  void RefreshStatus() override { ++refreshStatus; }
  void PageListChanged() override { ++pageListChanged; }
  void ViewImageChanged(bool) override { ++viewChanged; }
  void BuildHistoryMenu() override { ++historyMenu; }
  void ShowStatusHint(const std::string& text) override { hints.push_back(text); }
  void ShowProgress(int percent) override { progress.push_back(percent); }
  void StartQuietUpdateCheck() override { ++quietUpdateChecks; }
};

// A fresh folder below the temporary directory, removed afterwards.
class TTempFolder {
 public:
  explicit TTempFolder(const std::string& tag) {
    path_ = std::filesystem::temp_directory_path() /
            ("vl_shell_" + tag + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter_++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~TTempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::filesystem::path& Path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  static inline int counter_ = 0;
  std::filesystem::path path_;
};
