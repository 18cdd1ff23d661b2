// TPrompter: every question the program puts to the user.
//
// Message boxes, file dialogs and option dialogs of the shell all go through this interface.
// The program's implementation shows real dialogs (app/gui/qt_prompter.*); tests answer with a
// scripted prompter and read back what was asked. Texts are UTF-8; paths are the file
// system's byte strings.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The four kinds of message box; each keeps its icon and title.
enum class TMsgKind : std::uint8_t {
  warning = 0,       // "警告"
  confirmation = 1,  // "确认"
  information = 2,   // "信息"
  error = 3,         // "错误"
};

// Buttons, combinable. Shown in the order yes, no, ok, cancel, abort, all.
enum TMsgButton : std::uint8_t {
  mbYes = 1,
  mbNo = 2,
  mbOK = 4,
  mbCancel = 8,
  mbAbort = 16,
  mbAll = 32,
};
using TMsgButtons = std::uint8_t;
constexpr TMsgButtons mbYesNo = mbYes | mbNo;

// The button the user pressed; mrNone when the box was closed otherwise.
enum class TModalResult : std::uint8_t { mrNone = 0, mrYes, mrNo, mrOK, mrCancel, mrAbort, mrAll };

struct TOpenDialogRequest {
  std::string title;           // empty: the dialog's default title
  std::string filter;          // description|patterns|… (see app/shell/filters.h)
  std::int32_t filterIndex = 1;  // 1-based preselected entry
  std::string initialDir;      // starting folder; empty: the working folder
  std::string fileName;        // preset file name
  bool multiSelect = false;
};

struct TSaveDialogRequest {
  std::string title;
  std::string filter;
  std::int32_t filterIndex = 1;  // 1-based
  std::string initialDir;
  std::string fileName;
  bool overwritePrompt = true;  // the dialog itself asks before replacing a file
};

struct TSaveDialogResult {
  bool accepted = false;
  std::string path;              // with the chosen filter's extension when none was typed
  std::int32_t filterIndex = 1;  // 1-based
};

class TPrompter {
 public:
  virtual ~TPrompter() = default;
  virtual TModalResult MessageBox(TMsgKind kind, const std::string& text, TMsgButtons buttons) = 0;
  // The chosen paths in the dialog's order; empty when cancelled.
  virtual std::vector<std::string> OpenFileDialog(const TOpenDialogRequest& request) = 0;
  virtual TSaveDialogResult SaveFileDialog(const TSaveDialogRequest& request) = 0;
};
