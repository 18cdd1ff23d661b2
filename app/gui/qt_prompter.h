// TQtPrompter: the program's real dialogs behind TPrompter.
//
// Message boxes keep their kind (icon and title "警告", "确认", "信息", "错误") and their button
// set, with the button texts 是, 否, 确定, 取消, 中止, 全部. File dialogs are Qt's own (not the
// desktop's), with the program's filter texts: the description is shown, the patterns match
// ignoring letter case, and a name typed without extension gets the chosen filter's.
#pragma once

#include <QString>
#include <QStringList>

#include "app/shell/prompter.h"

class QWidget;

// "desc|*.a;*.b|…" as Qt name filters "desc (*.[aA] *.[bB])" (shown without the pattern part).
QStringList QtNameFilters(const std::string& filter);
// The extension of an entry's first pattern without "*." ("" for "*.*").
QString FilterDefaultSuffix(const std::string& filter, int index1);

class TQtPrompter final : public TPrompter {
 public:
  explicit TQtPrompter(QWidget* parent = nullptr) : parent_(parent) {}
  void SetParent(QWidget* parent) { parent_ = parent; }

  TModalResult MessageBox(TMsgKind kind, const std::string& text, TMsgButtons buttons) override;
  std::vector<std::string> OpenFileDialog(const TOpenDialogRequest& request) override;
  TSaveDialogResult SaveFileDialog(const TSaveDialogRequest& request) override;

 private:
  QWidget* parent_;
};
