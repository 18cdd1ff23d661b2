#include "app/gui/qt_prompter.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

#include "app/gui/imageconv.h"
#include "app/shell/filters.h"
#include "imaging/io/pagestore.h"

namespace {

QString CaseFreePattern(const std::string& pattern) {
  QString p = QString::fromStdString(pattern), out;
  for (QChar c : p) {
    if (c.isLetter() && c.toLower() != c.toUpper())
      out += QStringLiteral("[%1%2]").arg(c.toLower(), c.toUpper());
    else
      out += c;
  }
  return out;
}

QString FromPath(const std::string& p) { return QFile::decodeName(QByteArray::fromStdString(p)); }
std::string ToPath(const QString& p) { return QFile::encodeName(p).toStdString(); }

// The preview pane of the open dialog: the first image of the file under the cursor, read as
// the page list reads its pages, reduced to the pane.
void AddPreviewPane(QFileDialog& dlg) {
  auto* grid = qobject_cast<QGridLayout*>(dlg.layout());
  if (!grid)
    return;
  auto* preview = new QLabel(&dlg);
  preview->setObjectName(QStringLiteral("Preview"));
  preview->setFixedSize(220, 220);
  preview->setAlignment(Qt::AlignCenter);
  preview->setFrameShape(QFrame::StyledPanel);
  grid->addWidget(preview, 0, grid->columnCount(), grid->rowCount(), 1);
  QObject::connect(&dlg, &QFileDialog::currentChanged, preview, [preview](const QString& path) {
    preview->clear();
    const QFileInfo info(path);
    if (!info.isFile())
      return;
    TVlPageLoadRequest request;
    request.fileName = QFile::encodeName(path).toStdString();
    request.thumbnail = true;
    request.thumbWidth = request.thumbHeight = 200;
    TVlPageLoadResult result;
    try {
      VlDefaultPageLoader()(request, result);
    } catch (...) {
      return;  // a file that cannot be read shows no preview
    }
    if (!result.status.ok() || result.image.IsEmpty())
      return;
    const QImage img = VlToQImage(result.image);
    const QSize fit = img.size().scaled(QSize(200, 200), Qt::KeepAspectRatio).boundedTo(img.size());
    preview->setPixmap(QPixmap::fromImage(VlScaleForScreen(img, std::max(1, fit.width()), std::max(1, fit.height()), true)));
  });
}

}  // namespace

QStringList QtNameFilters(const std::string& filter) {
  QStringList out;
  for (const TFilterEntry& e : SplitFilter(filter)) {
    QStringList pats;
    for (const std::string& p : e.patterns)
      pats << (p == "*.*" ? QStringLiteral("*") : CaseFreePattern(p));
    out << QString::fromStdString(e.description) + QStringLiteral(" (") + pats.join(' ') + QStringLiteral(")");
  }
  return out;
}

QString FilterDefaultSuffix(const std::string& filter, int index1) {
  auto entries = SplitFilter(filter);
  if (index1 < 1 || index1 > static_cast<int>(entries.size()) || entries[index1 - 1].patterns.empty())
    return {};
  std::string p = entries[index1 - 1].patterns.front();
  if (p.rfind("*.", 0) != 0 || p.find_first_of("*?", 2) != std::string::npos)
    return {};
  return QString::fromStdString(p.substr(2));
}

TModalResult TQtPrompter::MessageBox(TMsgKind kind, const std::string& text, TMsgButtons buttons) {
  QMessageBox box(parent_);
  switch (kind) {
    case TMsgKind::warning:
      box.setIcon(QMessageBox::Warning);
      box.setWindowTitle(QStringLiteral("警告"));
      break;
    case TMsgKind::confirmation:
      box.setIcon(QMessageBox::Question);
      box.setWindowTitle(QStringLiteral("确认"));
      break;
    case TMsgKind::information:
      box.setIcon(QMessageBox::Information);
      box.setWindowTitle(QStringLiteral("信息"));
      break;
    case TMsgKind::error:
      box.setIcon(QMessageBox::Critical);
      box.setWindowTitle(QStringLiteral("错误"));
      break;
  }
  // Texts may carry Windows line ends; a bare CR would show as a stray glyph.
  box.setText(QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
  struct Def {
    TMsgButton flag;
    const char* caption;
    QMessageBox::ButtonRole role;
    TModalResult result;
  };
  static const Def kDefs[] = {
      {mbYes, "是", QMessageBox::YesRole, TModalResult::mrYes},
      {mbNo, "否", QMessageBox::NoRole, TModalResult::mrNo},
      {mbOK, "确定", QMessageBox::AcceptRole, TModalResult::mrOK},
      {mbCancel, "取消", QMessageBox::RejectRole, TModalResult::mrCancel},
      {mbAbort, "中止", QMessageBox::RejectRole, TModalResult::mrAbort},
      {mbAll, "全部", QMessageBox::YesRole, TModalResult::mrAll},
  };
  if (buttons == 0)
    buttons = mbOK;
  std::vector<std::pair<QAbstractButton*, TModalResult>> made;
  for (const Def& d : kDefs)
    if (buttons & d.flag) {
      QPushButton* b = box.addButton(QString::fromUtf8(d.caption), d.role);
      made.emplace_back(b, d.result);
      if (made.size() == 1)
        box.setDefaultButton(b);
      if (d.flag == mbCancel || (d.flag == mbNo && !(buttons & mbCancel)) || (buttons == mbOK && d.flag == mbOK))
        box.setEscapeButton(b);
    }
  box.exec();
  QAbstractButton* clicked = box.clickedButton();
  for (auto& [b, r] : made)
    if (b == clicked)
      return r;
  return TModalResult::mrNone;
}

std::vector<std::string> TQtPrompter::OpenFileDialog(const TOpenDialogRequest& request) {
  QFileDialog dlg(parent_, QString::fromStdString(request.title), FromPath(request.initialDir));
  dlg.setOption(QFileDialog::DontUseNativeDialog, true);
  dlg.setOption(QFileDialog::HideNameFilterDetails, true);
  dlg.setAcceptMode(QFileDialog::AcceptOpen);
  dlg.setFileMode(request.multiSelect ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
  QStringList filters = QtNameFilters(request.filter);
  dlg.setNameFilters(filters);
  if (request.filterIndex >= 1 && request.filterIndex <= filters.size())
    dlg.selectNameFilter(filters[request.filterIndex - 1]);
  if (!request.fileName.empty())
    dlg.selectFile(FromPath(request.fileName));
  AddPreviewPane(dlg);
  std::vector<std::string> out;
  if (dlg.exec() != QDialog::Accepted)
    return out;
  for (const QString& f : dlg.selectedFiles())
    out.push_back(ToPath(f));
  return out;
}

TSaveDialogResult TQtPrompter::SaveFileDialog(const TSaveDialogRequest& request) {
  QFileDialog dlg(parent_, QString::fromStdString(request.title), FromPath(request.initialDir));
  dlg.setOption(QFileDialog::DontUseNativeDialog, true);
  dlg.setOption(QFileDialog::HideNameFilterDetails, true);
  dlg.setOption(QFileDialog::DontConfirmOverwrite, !request.overwritePrompt);
  dlg.setAcceptMode(QFileDialog::AcceptSave);
  dlg.setFileMode(QFileDialog::AnyFile);
  QStringList filters = QtNameFilters(request.filter);
  dlg.setNameFilters(filters);
  int index = request.filterIndex >= 1 && request.filterIndex <= filters.size() ? request.filterIndex : 1;
  if (!filters.isEmpty())
    dlg.selectNameFilter(filters[index - 1]);
  const std::string filter = request.filter;
  dlg.setDefaultSuffix(FilterDefaultSuffix(filter, index));
  QObject::connect(&dlg, &QFileDialog::filterSelected, &dlg, [&dlg, filters, filter](const QString& f) {
    dlg.setDefaultSuffix(FilterDefaultSuffix(filter, static_cast<int>(filters.indexOf(f)) + 1));
  });
  if (!request.fileName.empty())
    dlg.selectFile(FromPath(request.fileName));
  TSaveDialogResult r;
  if (dlg.exec() != QDialog::Accepted || dlg.selectedFiles().isEmpty())
    return r;
  r.accepted = true;
  r.path = ToPath(dlg.selectedFiles().front());
  r.filterIndex = static_cast<int>(filters.indexOf(dlg.selectedNameFilter())) + 1;
  if (r.filterIndex < 1)
    r.filterIndex = index;
  return r;
}
