// Builds small TIFF files byte by byte for tests, in either byte order.
//
//   TTiffBytes b(littleEndian);          // header "II*\0" / "MM\0*" with a first offset of 0
//   uint32_t d = b.Directory({...});     // data blocks, then the directory; returns its offset
//   b.Link(b.HeaderLink(), d);           // patch a link field
//
// Entries are given as TSpec: tag, type, the values (integers; RATIONAL as numerator,
// denominator pairs) or a text, and optionally a count that differs from the data (hostile
// files) or a raw value field.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct TSpec {
  TSpec(std::uint16_t tag_, std::uint16_t type_, std::vector<std::uint64_t> values_ = {}, std::string text_ = {},
        std::optional<std::uint32_t> count_ = {}, std::optional<std::uint32_t> raw_ = {})
      : tag(tag_), type(type_), values(std::move(values_)), text(std::move(text_)), count(count_), raw(raw_) {}
  std::uint16_t tag;
  std::uint16_t type;
  std::vector<std::uint64_t> values;   // integers; RATIONAL/SRATIONAL: num, den, num, den ...
  std::string text;                    // ASCII / UNDEFINED / BYTE bytes when values is empty
  std::optional<std::uint32_t> count;  // overrides the count written
  std::optional<std::uint32_t> raw;    // overrides the value field (written in file order)
};

class TTiffBytes {
 public:
  explicit TTiffBytes(bool littleEndian, std::uint16_t version = 42) : le_(littleEndian) {
    bytes.push_back(le_ ? 'I' : 'M');
    bytes.push_back(le_ ? 'I' : 'M');
    U16(version);
    U32(0);
  }

  std::vector<std::uint8_t> bytes;

  bool LittleEndian() const { return le_; }
  std::uint32_t Pos() const { return static_cast<std::uint32_t>(bytes.size()); }
  static constexpr std::uint32_t HeaderLink() { return 4; }

  void U8(std::uint32_t v) { bytes.push_back(static_cast<std::uint8_t>(v)); }
  void U16(std::uint32_t v) { Put(v, 2); }
  void U32(std::uint32_t v) { Put(v, 4); }
  void Pad() {
    if (bytes.size() & 1)
      U8(0);
  }
  void Raw(const std::vector<std::uint8_t>& b) { bytes.insert(bytes.end(), b.begin(), b.end()); }
  void Raw(const std::string& s) { bytes.insert(bytes.end(), s.begin(), s.end()); }
  void Patch32(std::uint32_t at, std::uint32_t v) {
    for (int k = 0; k < 4; ++k) bytes[at + k] = static_cast<std::uint8_t>(le_ ? v >> (8 * k) : v >> (8 * (3 - k)));
  }
  void Link(std::uint32_t linkAt, std::uint32_t target) { Patch32(linkAt, target); }

  static int TypeSize(std::uint16_t t) {
    switch (t) {
      case 1:
      case 2:
      case 6:
      case 7:
        return 1;
      case 3:
      case 8:
        return 2;
      case 4:
      case 9:
      case 11:
      case 13:
        return 4;
      case 5:
      case 10:
      case 12:
        return 8;
      default:
        return 1;
    }
  }

  // The data bytes of an entry in file order.
  std::vector<std::uint8_t> Data(const TSpec& s) const {
    std::vector<std::uint8_t> d;
    if (s.values.empty()) {
      d.assign(s.text.begin(), s.text.end());
      return d;
    }
    int unit = TypeSize(s.type);
    if (s.type == 5 || s.type == 10)
      unit = 4;
    for (std::uint64_t v : s.values)
      for (int k = 0; k < unit; ++k)
        d.push_back(static_cast<std::uint8_t>(le_ ? v >> (8 * k) : v >> (8 * (unit - 1 - k))));
    return d;
  }

  std::uint32_t Count(const TSpec& s) const {
    if (s.count)
      return *s.count;
    std::size_t n = s.values.empty() ? s.text.size() : s.values.size();
    if (s.type == 5 || s.type == 10)
      n /= 2;
    return static_cast<std::uint32_t>(n);
  }

  // Writes the out-of-line data of the entries, then the directory (at an even offset) with a
  // next offset of `next`. Returns the directory's offset; `nextLinkAt` receives the position of
  // its next field.
  std::uint32_t Directory(const std::vector<TSpec>& entries, std::uint32_t next = 0,
                          std::uint32_t* nextLinkAt = nullptr) {
    std::vector<std::uint32_t> fields;
    for (const TSpec& s : entries) {
      std::vector<std::uint8_t> d = Data(s);
      if (s.raw) {
        fields.push_back(*s.raw);
      } else if (d.size() <= 4) {
        d.resize(4, 0);
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k) v = le_ ? v | static_cast<std::uint32_t>(d[k]) << (8 * k) : v << 8 | d[k];
        fields.push_back(v);  // as a host value; written back in file order below
      } else {
        Pad();
        fields.push_back(Pos());
        Raw(d);
      }
    }
    Pad();
    std::uint32_t at = Pos();
    U16(static_cast<std::uint32_t>(entries.size()));
    for (std::size_t i = 0; i < entries.size(); ++i) {
      U16(entries[i].tag);
      U16(entries[i].type);
      U32(Count(entries[i]));
      U32(fields[i]);
    }
    if (nextLinkAt)
      *nextLinkAt = Pos();
    U32(next);
    return at;
  }

  // A chain of directories, each linked to the next, the first linked from the header.
  std::vector<std::uint32_t> Chain(const std::vector<std::vector<TSpec>>& dirs) {
    std::vector<std::uint32_t> offsets;
    std::uint32_t link = HeaderLink();
    for (const auto& d : dirs) {
      std::uint32_t next;
      std::uint32_t at = Directory(d, 0, &next);
      Link(link, at);
      link = next;
      offsets.push_back(at);
    }
    return offsets;
  }

 private:
  void Put(std::uint32_t v, int n) {
    for (int k = 0; k < n; ++k) bytes.push_back(static_cast<std::uint8_t>(le_ ? v >> (8 * k) : v >> (8 * (n - 1 - k))));
  }
  bool le_;
};
