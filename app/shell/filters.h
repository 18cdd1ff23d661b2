// The file-dialog filter texts of the main window and the test for listed image types.
//
// A filter text alternates descriptions and pattern lists, separated by "|"; a pattern list is
// patterns separated by ";" ("*.tif;*.tiff"). SplitFilter turns it into entries.
// IsListedImageType decides which files may enter the recent-file list: the path's extension,
// lower-cased and prefixed with "*", must occur in the Open filter text.
#pragma once

#include <string>
#include <vector>

extern const char* const kOpenFilter;

struct TFilterEntry {
  std::string description;
  std::vector<std::string> patterns;  // "*.tif", "*.*"
};
std::vector<TFilterEntry> SplitFilter(const std::string& filter);

// The extension of the file name including its dot, "" when there is none ("a.b/c" has none;
// ".profile" has none).
std::string PathExtension(const std::string& path);
std::string AsciiLower(std::string s);

bool IsListedImageType(const std::string& path);
