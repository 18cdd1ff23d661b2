// vellumo-cli split [-o DIR] [--force] FILE...: every page of every TIFF file into its own
// single-page TIFF file, copied without decoding (ExtractTIFFPageToFile).
//
// Names follow the batch tool: folder, the source name without folder and extension, "_", the
// page number from 1 with at least four digits ("scan_0001.tif", "scan_12345.tif"). The folder is
// DIR, or the source's own folder. Each file written is reported on stdout as "wrote PATH".
// An existing target is left alone unless --force is given: it is reported on stderr as skipped
// and makes the exit status 1, as do files that cannot be read or are not TIFF files and pages
// that cannot be copied. Everything else is still done.
#include <cstdio>
#include <filesystem>

#include "cli/command.h"
#include "imaging/stream.h"
#include "tiff/tiff_pages.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kUsage = "usage: vellumo-cli split [-o DIR] [--force] FILE...";

// "%s%s_%-.4d.tif": folder, base name, page number of at least four digits.
fs::path SplitPageName(const fs::path& folder, const fs::path& source, int pageNumber) {
  char number[16];
  std::snprintf(number, sizeof number, "%.4d", pageNumber);
  return folder / (source.stem().string() + "_" + number + ".tif");
}

int RunSplit(const std::vector<std::string>& args) {
  std::string outDir;
  bool force = false;
  std::vector<std::string> files;
  bool options = true;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (options && a == "--") {
      options = false;
    } else if (options && a == "--force") {
      force = true;
    } else if (options && a == "-o") {
      if (i + 1 >= args.size()) {
        CliError(std::string("split: -o needs a folder (") + kUsage + ")");
        return 2;
      }
      outDir = args[++i];
    } else if (options && a.size() > 1 && a[0] == '-') {
      CliError("split: unknown option '" + a + "' (" + kUsage + ")");
      return 2;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) {
    CliError(std::string("split: no file given (") + kUsage + ")");
    return 2;
  }
  std::error_code ec;
  if (!outDir.empty() && !fs::is_directory(outDir, ec)) {
    CliError("split: " + outDir + ": not a folder");
    return 2;
  }

  int status = 0;
  for (const std::string& name : files) {
    std::int32_t pages = 0;
    try {
      TVlFileStream in(name, TVlFileStream::Mode::read);
      TVlStatus s = TryCountTIFFPages(in, pages);
      if (!s.ok()) {
        CliError(name + ": not a TIFF file (" + s.reason + ")");
        status = 1;
        continue;
      }
    } catch (const TVlFileError& e) {
      CliError(e.what());
      status = 1;
      continue;
    }
    const fs::path source(name);
    fs::path folder = outDir.empty() ? source.parent_path() : fs::path(outDir);
    if (folder.empty())
      folder = ".";
    for (std::int32_t i = 0; i < pages; ++i) {
      const fs::path target = SplitPageName(folder, source, i + 1);
      if (!force && fs::exists(target, ec)) {
        CliError("skipped " + target.string() + ": file exists (--force replaces it)");
        status = 1;
        continue;
      }
      try {
        TVlStatus s = ExtractTIFFPageToFile(source, target, i);
        if (!s.ok()) {
          CliError(name + " page " + std::to_string(i + 1) + ": " + s.reason);
          status = 1;
          continue;
        }
      } catch (const TVlFileError& e) {
        CliError(e.what());
        status = 1;
        continue;
      }
      std::printf("wrote %s\n", target.string().c_str());
    }
  }
  return status;
}

}  // namespace

VL_CLI_COMMAND("split",
               "  split [-o DIR] [--force] FILE...\n"
               "                                  every page into its own TIFF file NAME_0001.tif ... (no decoding)",
               RunSplit);
