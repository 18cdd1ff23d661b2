// vellumo-cli info FILE...: the parameters of every page of every file, read without decoding
// any pixels.
//
// Output: a header line, then per page a tab-separated line: file, page (from 1), width,
// height, bitsPerSample, samplesPerPixel, fileType (the type id), dpiX, dpiY (0 when the file
// states none), and for TIFF pages tiffCompression and tiffPhotometric (empty otherwise). A file
// that cannot be read gets no lines; it is named on stderr and makes the exit status 1.
#include <algorithm>
#include <cstdio>

#include "cli/command.h"
#include "imaging/io/filetypes.h"
#include "imaging/io/vlio.h"

namespace {

void PrintPage(const std::string& name, std::int32_t page, const TIOParamsVals& p) {
  std::printf("%s\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t%d\t", name.c_str(), page, p.width, p.height, p.bitsPerSample,
              p.samplesPerPixel, p.fileType, p.dpiX, p.dpiY);
  if (p.fileType == vlftTIFF)
    std::printf("%d\t%d\n", p.tiffCompression, p.tiffPhotometric);
  else
    std::printf("\t\n");
}

std::string Reason(const TVlIO& io) {
  const TVlStatus& s = io.LastFailure();
  return s.ok() ? "not an image file this program reads" : s.reason;
}

int RunInfo(const std::vector<std::string>& args) {
  if (args.empty()) {
    CliError("info: no file given (usage: vellumo-cli info FILE...)");
    return 2;
  }
  std::printf("file\tpage\twidth\theight\tbitsPerSample\tsamplesPerPixel\tfileType\tdpiX\tdpiY\t"
              "tiffCompression\ttiffPhotometric\n");
  int status = 0;
  for (const std::string& name : args) {
    TVlIO io;
    io.ReadFileParams(name);
    const std::int32_t type = io.Params().fileType;
    if (type == 0 || io.aborting) {
      CliError(name + ": " + Reason(io));
      status = 1;
      continue;
    }
    const std::int32_t pages = std::max(1, io.Params().imageCount);
    if (pages == 1) {
      PrintPage(name, 1, io.Params());
      continue;
    }
    for (std::int32_t k = 0; k < pages; ++k) {
      io.Params().SetImageIndex(k);
      io.ReadFileParamsAs(name, type);
      if (io.aborting || io.Params().fileType == 0) {
        CliError(name + ": page " + std::to_string(k + 1) + ": " + Reason(io));
        status = 1;
        break;
      }
      PrintPage(name, k + 1, io.Params());
    }
  }
  std::fflush(stdout);
  return status;
}

}  // namespace

VL_CLI_COMMAND("info",
               "  info FILE...                    one line per page: file, page, width, height, bitsPerSample,\n"
               "                                  samplesPerPixel, fileType, dpiX, dpiY, tiffCompression, "
               "tiffPhotometric",
               RunInfo);
