// vellumo-cli convert [OPTIONS] INPUT... OUTPUT: every page of every input, in order, into
// one output.
//
// The inputs are loaded one after the other into a page store (each file's pages appended
// after the previous file's), optionally narrowed to --pages, edited by the per-page options
// registered in cli/convert_ops.h (applied to every page in command-line order), given the
// --compression and --quality settings, and written:
//   .tif .tiff .fax .g3f .g3n   one multi-page TIFF
//   .pdf                        one PDF document, one page per page
//   any other writable type     OUTPUT itself for one page; for several pages one file per page
//                               named "<folder><base>_<NNNN><ext>" (page position from 1, at
//                               least four digits)
// A failure prints one line naming the file on stderr, exits with 1 and leaves no partial
// output (the multi-page writers replace the target only when every page was written; per-page
// files are written under temporary names and renamed only when all succeeded). Usage errors
// exit with 2.
#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "cli/command.h"
#include "cli/convert_ops.h"
#include "imaging/io/atomic_file.h"
#include "imaging/io/filetypes.h"
#include "imaging/io/pagestore.h"
#include "imaging/io/vlio.h"
#include "imaging/io/vlmio.h"

namespace {

constexpr const char* kUsage =
    "  convert [OPTIONS] INPUT... OUTPUT\n"
    "                                  all pages of the inputs, in order, into OUTPUT (.tif/.pdf: one\n"
    "                                  file; other formats: one file per page, NAME_0001.EXT ...)\n"
    "      --pages LIST                pages to keep, from 1, in the order given (1,3-5)\n"
    "      --compression NAME          TIFF compression of every page: none mh g3 g3-2d g4 lzw packbits\n"
    "                                  deflate adobe-deflate jpeg\n"
    "      --quality N                 JPEG quality 1..100";

struct Compression {
  const char* name;
  std::uint8_t value;
};
constexpr Compression kCompressions[] = {{"none", 0}, {"mh", 1},       {"g3", 2},       {"g3-2d", 3},
                                         {"g4", 4},   {"lzw", 5},      {"packbits", 8}, {"deflate", 9},
                                         {"adobe-deflate", 10}, {"jpeg", 7}};

bool ParseInt(const std::string& s, long long& v) {
  if (s.empty() || s.size() > 9)
    return false;
  for (char c : s)
    if (c < '0' || c > '9')
      return false;
  v = std::stoll(s);
  return true;
}

// "1,3-5" -> {1, 3, 4, 5}; false on bad syntax.
bool ParsePageList(const std::string& text, std::vector<std::int32_t>& out) {
  std::size_t at = 0;
  while (at <= text.size()) {
    const std::size_t comma = text.find(',', at);
    const std::string part = text.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    const std::size_t dash = part.find('-');
    long long a = 0, b = 0;
    if (dash == std::string::npos) {
      if (!ParseInt(part, a))
        return false;
      b = a;
    } else if (!ParseInt(part.substr(0, dash), a) || !ParseInt(part.substr(dash + 1), b)) {
      return false;
    }
    if (a < 1 || b < a || b - a > 1000000)
      return false;
    for (long long p = a; p <= b; ++p)
      out.push_back(static_cast<std::int32_t>(p));
    if (comma == std::string::npos)
      break;
    at = comma + 1;
  }
  return !out.empty();
}

void PrintUsage() {
  std::printf("usage: vellumo-cli\n%s\n", kUsage);
  for (const TConvertOption& o : ConvertOptions())
    std::printf("      %-28s\n", o.usage);
}

std::string Describe(const TVlStatus& s, const char* fallback) { return s.ok() ? fallback : s.reason; }

bool IsMultiPageOutput(const std::string& ext) {
  return ext == ".tif" || ext == ".tiff" || ext == ".fax" || ext == ".g3f" || ext == ".g3n" || ext == ".pdf";
}

int RunConvert(const std::vector<std::string>& args) {
  std::vector<std::string> positional;
  std::vector<std::int32_t> pages;
  int compression = -1, quality = -1;
  std::vector<TPageOperation> ops;
  bool onlyPositional = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (onlyPositional || a.size() < 2 || a.compare(0, 2, "--") != 0) {
      positional.push_back(a);
      continue;
    }
    if (a == "--") {
      onlyPositional = true;
      continue;
    }
    if (a == "--help") {
      PrintUsage();
      return 0;
    }
    const std::size_t eq = a.find('=');
    const std::string name = a.substr(0, eq);
    const bool inlineValue = eq != std::string::npos;
    std::string value = inlineValue ? a.substr(eq + 1) : std::string();
    auto required = [&]() -> bool {
      if (inlineValue)
        return true;
      if (i + 1 >= args.size())
        return false;
      value = args[++i];
      return true;
    };
    if (name == "--pages") {
      if (!required() || !ParsePageList(value, pages)) {
        CliError("convert: bad page list '" + value + "' (like 1,3-5)");
        return 2;
      }
    } else if (name == "--compression") {
      if (!required()) {
        CliError("convert: --compression needs a name");
        return 2;
      }
      compression = -1;
      for (const Compression& c : kCompressions)
        if (value == c.name)
          compression = c.value;
      if (compression < 0) {
        CliError("convert: unknown compression '" + value + "'");
        return 2;
      }
    } else if (name == "--quality") {
      long long q = 0;
      if (!required() || !ParseInt(value, q) || q < 1 || q > 100) {
        CliError("convert: --quality needs a number from 1 to 100");
        return 2;
      }
      quality = static_cast<int>(q);
    } else {
      const TConvertOption* opt = nullptr;
      for (const TConvertOption& o : ConvertOptions())
        if (name == o.name)
          opt = &o;
      if (!opt) {
        CliError("convert: unknown option '" + name + "' (see convert --help)");
        return 2;
      }
      if (opt->value == TConvertOption::Value::none && inlineValue) {
        CliError("convert: " + name + " takes no value");
        return 2;
      }
      if (opt->value == TConvertOption::Value::required && !required()) {
        CliError("convert: " + name + " needs a value");
        return 2;
      }
      TPageOperation op;
      std::string error;
      if (!opt->parse(value, op, error) || !op) {
        CliError("convert: " + name + ": " + (error.empty() ? "bad value" : error));
        return 2;
      }
      ops.push_back(std::move(op));
    }
  }
  if (positional.size() < 2) {
    CliError("convert: an input and an output are needed (usage: vellumo-cli convert [OPTIONS] INPUT... OUTPUT)");
    return 2;
  }
  const std::string output = positional.back();
  positional.pop_back();
  const std::string ext = VlLowerExtension(output);
  const bool multi = IsMultiPageOutput(ext);
  if (!multi && VlWriterTypeOfName(output) == 0) {
    CliError(output + ": no writer for this file type");
    return 2;
  }

  TVlPageStore store;
  store.SetLoaderPoolSize(0);
  TVlMIO& mio = store.MIO();
  for (const std::string& input : positional) {
    const std::int32_t before = store.PageCount();
    try {
      mio.LoadAllFromFile(input);
    } catch (const TVlFileError&) {
      CliError(input + ": cannot be opened");
      return 1;
    }
    if (mio.aborting) {
      CliError(input + ": " + Describe(mio.LastFailure(), "cannot be read"));
      return 1;
    }
    if (store.PageCount() == before) {
      CliError(input + ": holds no page");
      return 1;
    }
    for (std::int32_t i = before; i < store.PageCount(); ++i) {
      // Single images load on demand: read them now, so that a bad file fails here and the
      // records hold the file's values before the options change them.
      if (!store.PageHasImage(i) && !store.LoadPage(i)) {
        CliError(input + ": cannot be read");
        return 1;
      }
      if (store.PageLoadFailed(i)) {
        CliError(input + ": " + store.PageLoadError(i));
        return 1;
      }
    }
  }

  if (!pages.empty()) {
    const std::int32_t count = store.PageCount();
    std::vector<bool> seen(static_cast<std::size_t>(count), false);
    for (std::int32_t p : pages) {
      if (p > count) {
        CliError("convert: page " + std::to_string(p) + " does not exist (" + std::to_string(count) + " pages)");
        return 2;
      }
      if (seen[static_cast<std::size_t>(p - 1)]) {
        CliError("convert: page " + std::to_string(p) + " is listed twice");
        return 2;
      }
      seen[static_cast<std::size_t>(p - 1)] = true;
    }
    // Tag the pages by their original position, bring the kept ones to the front in list order,
    // and drop the rest.
    for (std::int32_t i = 0; i < count; ++i)
      store.SetPageTopText(i, std::to_string(i + 1));
    for (std::size_t k = 0; k < pages.size(); ++k) {
      const std::string tag = std::to_string(pages[k]);
      for (std::int32_t i = static_cast<std::int32_t>(k); i < count; ++i)
        if (store.PageTopText(i) == tag) {
          store.MovePage(i, static_cast<std::int32_t>(k));
          break;
        }
    }
    while (store.PageCount() > static_cast<std::int32_t>(pages.size()))
      store.DeletePage(store.PageCount() - 1);
    store.DeselectAll();
  }

  TVlBitmap page;
  for (std::int32_t i = 0; i < store.PageCount(); ++i) {
    TIOParamsVals& rec = *store.PageParams(i);
    if (!ops.empty()) {
      if (!store.CopyPageImage(i, page)) {
        CliError("convert: page " + std::to_string(i + 1) + " cannot be read");
        return 1;
      }
      for (const TPageOperation& op : ops) {
        std::string error;
        if (!op(page, rec, error)) {
          CliError("convert: page " + std::to_string(i + 1) + ": " + (error.empty() ? "operation failed" : error));
          return 1;
        }
      }
      if (!store.SetPageImage(i, page)) {
        CliError("convert: page " + std::to_string(i + 1) + " cannot be stored");
        return 1;
      }
    }
    if (compression >= 0)
      rec.tiffCompression = static_cast<std::uint8_t>(compression);
    if (quality > 0) {
      rec.jpegQuality = quality;
      rec.tiffJpegQuality = quality;
    }
  }

  if (multi) {
    try {
      mio.SaveAllToFile(output);
    } catch (const TVlFileError&) {
      CliError(output + ": cannot be created");
      return 1;
    }
    if (mio.aborting) {
      CliError(output + ": " + Describe(mio.LastFailure(), "cannot be written"));
      return 1;
    }
    return 0;
  }

  // Single-image formats.
  const std::int32_t count = store.PageCount();
  const std::filesystem::path out(output);
  const std::string folder = out.has_parent_path() ? out.parent_path().string() + "/" : std::string();
  const std::string base = out.stem().string();
  const std::string dotExt = out.extension().string();
  std::vector<std::pair<std::string, std::string>> written;  // temporary name, final name
  auto cleanup = [&] {
    for (const auto& w : written) {
      std::error_code ec;
      std::filesystem::remove(w.first, ec);
    }
  };
  for (std::int32_t i = 0; i < count; ++i) {
    std::string final = output;
    if (count > 1) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "_%-.4d", i + 1);
      final = folder + base + buf + dotExt;
    }
    const std::string temp = folder + "." + base + ".vlpart-" + std::to_string(::getpid()) + "-" +
                             std::to_string(i + 1) + dotExt;
    TVlIO io;
    TVlBitmap image;
    io.SetTargetBitmap(&image);
    if (!store.CopyPageImage(i, image)) {
      cleanup();
      CliError("convert: page " + std::to_string(i + 1) + " cannot be read");
      return 1;
    }
    io.Params().CopyParams(*store.PageParams(i));
    try {
      io.SaveImageFile(temp);
    } catch (const TVlFileError&) {
      cleanup();
      CliError(final + ": cannot be created");
      return 1;
    }
    written.emplace_back(temp, final);
    if (io.aborting) {
      cleanup();
      CliError(final + ": " + Describe(io.LastFailure(), "cannot be written"));
      return 1;
    }
  }
  for (const auto& w : written) {
    VlNotifyFileReplace(w.second);
    std::error_code ec;
    std::filesystem::rename(w.first, w.second, ec);
    if (ec) {
      cleanup();
      CliError(w.second + ": cannot be created");
      return 1;
    }
  }
  return 0;
}

}  // namespace

VL_CLI_COMMAND("convert", kUsage, RunConvert);
