// vellumo: the Qt 6 program. Every argument is a file whose pages are loaded at start;
// "--help" and "--version" print and exit without opening a window; "--" ends the options.
#include <QApplication>
#include <QScreen>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/gui/fonts.h"
#include "app/gui/mainform.h"
#include "app/shell/version.h"
#include "tiff/tiff_codecs.h"

namespace {

void PrintUsage() {
  std::printf(
      "usage: vellumo [FILE...]\n"
      "\n"
      "Loads the pages of every FILE (multi-page TIFF and other image files) into the page list.\n"
      "\n"
      "  --help      show this text and exit\n"
      "  --version   show the version and exit\n"
      "  --          treat every further argument as a file\n"
      "\n"
      "Settings: $VELLUMO_INI, else $XDG_CONFIG_HOME/vellumo/vellumo.ini (~/.config/vellumo/vellumo.ini).\n");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--"))
      break;
    if (!std::strcmp(argv[i], "--help")) {
      PrintUsage();
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::printf("vellumo %s (%s)\n", kVersionText, kVersionDate);
      return 0;
    }
  }

  // Before any window: the LZW coders every new parameter record takes over.
  InstallDefaultCodecs();

  QApplication app(argc, argv);  // takes Qt's own options (-platform, -style …) out of argv
  QApplication::setApplicationName(QStringLiteral("vellumo"));
  ApplyProgramFont();

  // The remaining arguments are file paths, taken as the bytes the system gave us.
  std::vector<std::string> files;
  bool endOfOptions = false;
  for (int i = 1; i < argc; ++i) {
    if (!endOfOptions && !std::strcmp(argv[i], "--")) {
      endOfOptions = true;
      continue;
    }
    files.emplace_back(argv[i]);
  }

  TMainForm form;
  // Without a window manager "maximized" means nothing; start with the screen's work area.
  if (QScreen* screen = form.screen())
    form.setGeometry(screen->availableGeometry());
  form.showMaximized();
  form.LoadArguments(files);
  return app.exec();
}
