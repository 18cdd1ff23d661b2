// Plain TIFF data types shared by the container, the reader, the writer and the parameter
// record: TTIFFEntry, TTIFFDirectory, TVlTagsHandler, the field types and their sizes.
//
// Header-only (depends on imaging/stream.h alone) so that the parameter record can hold a
// TVlTagsHandler by value without linking the TIFF library.
//
// Byte order of a loaded entry: tag, type and count are host values. The value field is the
// file's 4 bytes converted as one 32-bit word, so a value held inline keeps its file position
// inside the word: in a big-endian file the first SHORT is the upper 16 bits and the first BYTE
// the upper 8 bits; in a little-endian file they are the lower 16 and 8 bits.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "imaging/stream.h"

// TIFF 6.0 field types, plus IFD (TIFF Technical Note 1), which is a LONG holding the offset
// of a directory.
enum class TTIFFType : std::uint16_t {
  tiffByte = 1,
  tiffAscii = 2,
  tiffShort = 3,
  tiffLong = 4,
  tiffRational = 5,
  tiffSByte = 6,
  tiffUndefined = 7,
  tiffSShort = 8,
  tiffSLong = 9,
  tiffSRational = 10,
  tiffFloat = 11,
  tiffDouble = 12,
  tiffIfd = 13,
};

// Size in bytes of one value of a field type; 0 for type 0 and unknown types.
constexpr std::int64_t TIFFTypeSize(std::uint16_t type) {
  switch (type) {
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
      return 0;
  }
}

// One 12-byte directory entry (see the byte-order note above).
struct TTIFFEntry {
  std::uint16_t tag = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;  // number of values, not bytes
  std::uint32_t value = 0;  // the values when they fit in 4 bytes, else their offset
};

// One directory in memory. `entries` is owned; `stream` is not. Offsets in entries are
// relative to `base`, the stream position of the 8-byte header.
struct TTIFFDirectory {
  bool littleEndian = true;
  TVlStream* stream = nullptr;
  std::vector<TTIFFEntry> entries;
  std::uint16_t entryCount = 0;  // always entries.size()
  std::int64_t base = 0;
};

// A foreign directory (the EXIF maker note) captured whole: the memory stream holds a
// self-contained little-endian directory (entry count, entries, a zero next-directory field,
// then the data of the entries that do not fit inline, their offsets rewritten to positions in
// the memory stream), and `Directory()` is that directory parsed with base 0. An empty handler
// has an empty stream and no entries. Copies are deep.
class TVlTagsHandler {
 public:
  TVlTagsHandler() { directory_.stream = &stream_; }
  // A handler over a captured block (as kept in the parameter record's exifMakerNote).
  explicit TVlTagsHandler(std::vector<std::uint8_t> block) : stream_(std::move(block)) {
    directory_.stream = &stream_;
    Parse();
  }
  TVlTagsHandler(const TVlTagsHandler& other) : stream_(CopyBytes(other)) {
    directory_.stream = &stream_;
    Parse();
  }
  TVlTagsHandler& operator=(const TVlTagsHandler& other) {
    if (this != &other) {
      stream_ = TVlMemoryStream(CopyBytes(other));
      Parse();
    }
    return *this;
  }
  TVlTagsHandler(TVlTagsHandler&& other) noexcept : stream_(other.stream_.TakeBytes()) {
    directory_.stream = &stream_;
    Parse();
    other.Clear();
  }
  TVlTagsHandler& operator=(TVlTagsHandler&& other) noexcept {
    if (this != &other) {
      stream_ = TVlMemoryStream(other.stream_.TakeBytes());
      Parse();
      other.Clear();
    }
    return *this;
  }

  void Clear() {
    stream_ = TVlMemoryStream();
    directory_.entries.clear();
    directory_.entryCount = 0;
  }
  bool Empty() const { return stream_.Size() == 0; }

  // A copy of the captured block, for the parameter record.
  std::vector<std::uint8_t> Block() const { return CopyBytes(*this); }
  TVlMemoryStream& Stream() { return stream_; }
  const TVlMemoryStream& Stream() const { return stream_; }
  const TTIFFDirectory& Directory() const { return directory_; }

  // Parses the memory stream: the little-endian entry count, then that many 12-byte entries
  // (as many as the stream holds).
  void Parse() {
    directory_.littleEndian = true;
    directory_.stream = &stream_;
    directory_.base = 0;
    directory_.entries.clear();
    const std::uint8_t* p = stream_.Data();
    std::int64_t size = stream_.Size();
    std::int64_t n = size >= 2 ? (p[0] | p[1] << 8) : 0;
    if (n > (size - 2) / 12)
      n = size >= 2 ? (size - 2) / 12 : 0;
    directory_.entries.resize(static_cast<std::size_t>(n));
    for (std::int64_t i = 0; i < n; ++i) {
      const std::uint8_t* e = p + 2 + 12 * i;
      TTIFFEntry& t = directory_.entries[static_cast<std::size_t>(i)];
      t.tag = static_cast<std::uint16_t>(e[0] | e[1] << 8);
      t.type = static_cast<std::uint16_t>(e[2] | e[3] << 8);
      t.count = e[4] | e[5] << 8 | e[6] << 16 | static_cast<std::uint32_t>(e[7]) << 24;
      t.value = e[8] | e[9] << 8 | e[10] << 16 | static_cast<std::uint32_t>(e[11]) << 24;
    }
    directory_.entryCount = static_cast<std::uint16_t>(n);
  }

 private:
  static std::vector<std::uint8_t> CopyBytes(const TVlTagsHandler& h) {
    const std::uint8_t* p = h.stream_.Data();
    return std::vector<std::uint8_t>(p, p + h.stream_.Size());
  }

  TVlMemoryStream stream_;
  TTIFFDirectory directory_;
};
