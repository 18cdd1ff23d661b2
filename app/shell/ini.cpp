#include "app/shell/ini.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>

#include <unistd.h>

namespace {

bool EqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z')
      x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z')
      y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y)
      return false;
  }
  return true;
}

std::string Trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t'))
    ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t'))
    --e;
  return s.substr(b, e - b);
}

// Keeps the line structure intact: names and values never carry line breaks.
std::string OneLine(const std::string& s) {
  std::string r = s;
  for (char& c : r)
    if (c == '\r' || c == '\n')
      c = ' ';
  return r;
}

}  // namespace

TVlIniFile::TVlIniFile(std::filesystem::path path) : path_(std::move(path)) { Load(); }

bool TVlIniFile::Load() {
  sections_.clear();
  std::error_code ec;
  if (path_.empty() || !std::filesystem::exists(path_, ec))
    return true;
  std::ifstream in(path_, std::ios::binary);
  if (!in)
    return false;
  std::ostringstream ss;
  ss << in.rdbuf();
  Parse(ss.str());
  return true;
}

void TVlIniFile::Parse(const std::string& input) {
  sections_.clear();
  sections_.push_back(Section{});  // lines before the first header
  std::string text = input;
  if (text.size() >= 3 && static_cast<unsigned char>(text[0]) == 0xEF &&
      static_cast<unsigned char>(text[1]) == 0xBB && static_cast<unsigned char>(text[2]) == 0xBF)
    text.erase(0, 3);
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    std::string raw = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? text.size() : end + 1;
    if (!raw.empty() && raw.back() == '\r')
      raw.pop_back();
    std::string t = Trim(raw);
    if (!t.empty() && t[0] == '[') {
      std::size_t close = t.find(']');
      if (close != std::string::npos) {
        Section s;
        s.name = Trim(t.substr(1, close - 1));
        s.header = true;
        s.lines.push_back(Line{raw, {}, {}});
        sections_.push_back(std::move(s));
        continue;
      }
    }
    Line line{raw, {}, {}};
    if (!t.empty() && t[0] != ';' && t[0] != '#') {
      std::size_t eq = t.find('=');
      if (eq != std::string::npos && eq > 0) {
        line.key = Trim(t.substr(0, eq));
        line.value = Trim(t.substr(eq + 1));
      }
    }
    sections_.back().lines.push_back(std::move(line));
  }
}

std::string TVlIniFile::Text() const {
  std::string out;
  for (const Section& s : sections_)
    for (const Line& l : s.lines) {
      out += l.text;
      out += '\n';
    }
  return out;
}

bool TVlIniFile::UpdateFile() const {
  if (path_.empty())
    return false;
  std::error_code ec;
  if (path_.has_parent_path())
    std::filesystem::create_directories(path_.parent_path(), ec);
  // Write beside the target and rename over it, so a failed write never leaves half a file.
  std::filesystem::path tmp = path_;
  tmp += ".tmp" + std::to_string(static_cast<long>(::getpid()));
  {
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    if (!out)
      return false;
    std::string text = Text();
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.flush();
    if (!out) {
      out.close();
      std::filesystem::remove(tmp, ec);
      return false;
    }
  }
  std::filesystem::rename(tmp, path_, ec);
  if (ec) {
    std::filesystem::remove(tmp, ec);
    return false;
  }
  return true;
}

TVlIniFile::Section* TVlIniFile::FindSection(const std::string& name) {
  for (Section& s : sections_)
    if (s.header && EqualNoCase(s.name, name))
      return &s;
  return nullptr;
}

const TVlIniFile::Section* TVlIniFile::FindSection(const std::string& name) const {
  return const_cast<TVlIniFile*>(this)->FindSection(name);
}

const TVlIniFile::Line* TVlIniFile::FindLine(const std::string& section, const std::string& key) const {
  const Section* s = FindSection(section);
  if (!s)
    return nullptr;
  for (const Line& l : s->lines)
    if (!l.key.empty() && EqualNoCase(l.key, key))
      return &l;
  return nullptr;
}

bool TVlIniFile::SectionExists(const std::string& section) const { return FindSection(section) != nullptr; }

bool TVlIniFile::ValueExists(const std::string& section, const std::string& key) const {
  return FindLine(section, key) != nullptr;
}

std::vector<std::string> TVlIniFile::KeyNames(const std::string& section) const {
  std::vector<std::string> names;
  const Section* s = FindSection(section);
  if (!s)
    return names;
  for (const Line& l : s->lines) {
    if (l.key.empty())
      continue;
    bool seen = false;
    for (const std::string& n : names)
      seen = seen || EqualNoCase(n, l.key);
    if (!seen)
      names.push_back(l.key);
  }
  return names;
}

std::string TVlIniFile::ReadString(const std::string& section, const std::string& key, const std::string& def) const {
  const Line* l = FindLine(section, key);
  return l ? l->value : def;
}

bool TVlIniFile::ParseInteger(const std::string& text, std::int32_t& out) {
  std::string t = Trim(text);
  if (t.empty())
    return false;
  bool negative = false;
  std::size_t i = 0;
  if (t[0] == '-' || t[0] == '+') {
    negative = t[0] == '-';
    i = 1;
  }
  int base = 10;
  if (i < t.size() && t[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < t.size() && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= t.size())
    return false;
  std::uint64_t v = 0;
  for (; i < t.size(); ++i) {
    char c = t[i];
    int d;
    if (c >= '0' && c <= '9')
      d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f')
      d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F')
      d = c - 'A' + 10;
    else
      return false;
    v = v * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    if (v > 0xFFFFFFFFull)
      return false;
  }
  if (base == 16 && !negative) {
    // Hexadecimal texts name the 32-bit pattern ("$FFFFFFFF" is -1).
    out = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return true;
  }
  std::int64_t s = negative ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v);
  if (s < std::numeric_limits<std::int32_t>::min() || s > std::numeric_limits<std::int32_t>::max())
    return false;
  out = static_cast<std::int32_t>(s);
  return true;
}

std::int32_t TVlIniFile::ReadInteger(const std::string& section, const std::string& key, std::int32_t def) const {
  const Line* l = FindLine(section, key);
  std::int32_t v;
  return l && ParseInteger(l->value, v) ? v : def;
}

bool TVlIniFile::ReadBool(const std::string& section, const std::string& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TVlIniFile::WriteString(const std::string& sectionName, const std::string& keyName, const std::string& rawValue) {
  const std::string section = OneLine(Trim(sectionName));
  const std::string key = OneLine(Trim(keyName));
  const std::string value = Trim(OneLine(rawValue));
  if (section.empty() || key.empty())
    return;
  if (sections_.empty())
    sections_.push_back(Section{});
  Section* s = FindSection(section);
  if (!s) {
    // A new section goes at the end, separated from the previous text by a blank line.
    Section& last = sections_.back();
    if (!last.lines.empty() && !Trim(last.lines.back().text).empty())
      last.lines.push_back(Line{});
    Section n;
    n.name = section;
    n.header = true;
    n.lines.push_back(Line{"[" + section + "]", {}, {}});
    sections_.push_back(std::move(n));
    s = &sections_.back();
  }
  for (Line& l : s->lines)
    if (!l.key.empty() && EqualNoCase(l.key, key)) {
      l.value = value;
      l.text = l.key + "=" + value;
      return;
    }
  // Append after the last non-blank line of the section, so the blank line that separates it
  // from the next section stays in place.
  std::size_t at = s->lines.size();
  while (at > 1 && Trim(s->lines[at - 1].text).empty())
    --at;
  s->lines.insert(s->lines.begin() + static_cast<std::ptrdiff_t>(at), Line{key + "=" + value, key, value});
}

void TVlIniFile::WriteInteger(const std::string& section, const std::string& key, std::int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TVlIniFile::WriteBool(const std::string& section, const std::string& key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

void TVlIniFile::EraseSection(const std::string& section) {
  for (std::size_t i = 0; i < sections_.size(); ++i)
    if (sections_[i].header && EqualNoCase(sections_[i].name, section)) {
      sections_.erase(sections_.begin() + static_cast<std::ptrdiff_t>(i));
      --i;
    }
}
