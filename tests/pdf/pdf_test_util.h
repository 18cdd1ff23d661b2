// Helpers of the PDF tests: the structural check, peer tools (qpdf, poppler) as oracles, and
// temporary output files.
#pragma once

#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "pdf_structure_check.h"

// True when `tool` is on the PATH.
inline bool ToolAvailable(const std::string& tool) {
  return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command, collecting its standard output and error; returns its exit status.
inline int RunTool(const std::string& command, std::string& output) {
  output.clear();
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p)
    return -1;
  std::array<char, 4096> buf;
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0)
    output.append(buf.data(), n);
  const int status = ::pclose(p);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A file in the temporary directory holding the given bytes, removed at the end of scope.
class TTempPdf {
 public:
  explicit TTempPdf(const std::string& bytes, const std::string& suffix = ".pdf") {
    std::string templ = (std::filesystem::temp_directory_path() / ("vl-pdftest-XXXXXX" + suffix)).string();
    int fd = ::mkstemps(templ.data(), static_cast<int>(suffix.size()));
    if (fd >= 0)
      ::close(fd);
    path_ = templ;
    std::ofstream(path_, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~TTempPdf() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  TTempPdf(const TTempPdf&) = delete;
  TTempPdf& operator=(const TTempPdf&) = delete;
  const std::filesystem::path& Path() const { return path_; }
  std::string Quoted() const { return "'" + path_.string() + "'"; }

 private:
  std::filesystem::path path_;
};
