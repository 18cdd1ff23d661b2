// vellumo-cli count FILE...: the page count of every TIFF file, from its directory chain alone
// (no image is decoded), then the total.
//
// Output: "FILE<TAB>PAGES" per file in argument order, then "total<TAB>N". A file that cannot be
// opened gets no line; a file that is not a TIFF this program reads (another format, BigTIFF)
// counts 0 pages. Both are reported on stderr and make the exit status 1.
#include <cstdio>

#include "cli/command.h"
#include "imaging/stream.h"
#include "tiff/tiff_pages.h"

namespace {

int RunCount(const std::vector<std::string>& args) {
  if (args.empty()) {
    CliError("count: no file given (usage: vellumo-cli count FILE...)");
    return 2;
  }
  int status = 0;
  long long total = 0;
  for (const std::string& name : args) {
    std::int32_t pages = 0;
    TVlStatus s;
    try {
      TVlFileStream in(name, TVlFileStream::Mode::read);
      s = TryCountTIFFPages(in, pages);
    } catch (const TVlFileError& e) {
      CliError(e.what());
      status = 1;
      continue;
    }
    if (!s.ok()) {
      CliError(name + ": not a TIFF file (" + s.reason + ")");
      status = 1;
    }
    std::printf("%s\t%d\n", name.c_str(), pages);
    total += pages;
  }
  std::printf("total\t%lld\n", total);
  return status;
}

}  // namespace

VL_CLI_COMMAND("count",
               "  count FILE...                   FILE<TAB>PAGES per TIFF file (directory chain only), "
               "then total<TAB>N",
               RunCount);
