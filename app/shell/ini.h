// TVlIniFile: the settings file in the ini format (sections in square brackets, key=value).
//
// Entry points: the constructor (reads the file), ReadString / ReadInteger / ReadBool,
// WriteString / WriteInteger / WriteBool, EraseSection, SectionExists, ValueExists, KeyNames,
// UpdateFile (writes the file back).
//
// The file is kept as its lines, so comments, blank lines, unknown keys and unknown sections
// survive a read-modify-write cycle unchanged; a write replaces the value of the first line
// with that key, or appends the key at the end of its section (a missing section is appended
// at the end of the file). Section and key names compare ignoring ASCII letter case, as the
// format has always done. Text is UTF-8 (a leading byte-order mark is skipped); lines end in
// LF or CR LF on reading and LF on writing. Values are trimmed of spaces and tabs. A value
// that would break the line structure (a CR or LF inside it) is written with those characters
// replaced by spaces.
//
// Booleans are written as 1 and 0 and read as true when the integer is non-zero; integers are
// decimal ("$" or "0x" hexadecimal is accepted on reading). A value that does not read as a
// number yields the default.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class TVlIniFile {
 public:
  TVlIniFile() = default;
  // Reads `path` when it exists; a missing or unreadable file gives an empty document.
  explicit TVlIniFile(std::filesystem::path path);

  const std::filesystem::path& Path() const { return path_; }
  // Re-reads the file; returns false when it exists but cannot be read.
  bool Load();
  // Parses a document from text (used by Load and by tests).
  void Parse(const std::string& text);
  // The document as it would be written.
  std::string Text() const;
  // Writes the document to Path(), creating missing folders; the file is replaced only once
  // the new text is fully written. Returns false when it cannot be written.
  bool UpdateFile() const;

  bool SectionExists(const std::string& section) const;
  bool ValueExists(const std::string& section, const std::string& key) const;
  // Key names of a section in file order (first spelling of each).
  std::vector<std::string> KeyNames(const std::string& section) const;

  std::string ReadString(const std::string& section, const std::string& key, const std::string& def) const;
  std::int32_t ReadInteger(const std::string& section, const std::string& key, std::int32_t def) const;
  bool ReadBool(const std::string& section, const std::string& key, bool def) const;

  void WriteString(const std::string& section, const std::string& key, const std::string& value);
  void WriteInteger(const std::string& section, const std::string& key, std::int32_t value);
  void WriteBool(const std::string& section, const std::string& key, bool value);

  // Removes the section with every line in it.
  void EraseSection(const std::string& section);

  // Parses an integer as the reader does; false when the text is not a number in int32 range.
  static bool ParseInteger(const std::string& text, std::int32_t& out);

 private:
  struct Line {
    std::string text;   // the line as read or written, without line end
    std::string key;    // for key lines: the key as spelled; empty otherwise
    std::string value;  // for key lines: the trimmed value
  };
  struct Section {
    std::string name;  // empty for the lines before the first section header
    bool header = false;
    std::vector<Line> lines;
  };
  Section* FindSection(const std::string& name);
  const Section* FindSection(const std::string& name) const;
  const Line* FindLine(const std::string& section, const std::string& key) const;

  std::filesystem::path path_;
  std::vector<Section> sections_;
};
