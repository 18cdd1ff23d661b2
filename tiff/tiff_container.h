// The byte level of TIFF files (TIFF 6.0, classic 32-bit offsets): header, directory chain,
// typed tag accessors, entry builders and the directory emitter, maker-note capture and
// re-emission, and two cheap content tests for format detection.
//
// Entry points
//   reading:  ReadTIFFHeader, TTIFFChainWalker, ReadDirectoryChain, FindTag, GetIntTag,
//             GetInlineValue, GetRationalTag, GetRationalElement, GetArrayElement,
//             GetIntArrayTag, GetRawTag, GetStringTag, GetWideStringTag, LoadMakerNote,
//             IsTIFFStream, IsCameraRawTIFF
//   writing:  TTIFFEntryList, WriteChecked, AlignToWord, Add*Entry, AddMakerNoteEntry,
//             WriteDirectory
//
// Untrusted input. Every offset is an unsigned 32-bit value relative to the base (the stream
// position of the header). A tag whose data (count x type size, computed in 64 bits) do not lie
// wholly inside the stream counts as missing, so every accessor then returns its default and no
// allocation exceeds the stream size. The chain walk ends at a link that points at a directory
// already visited (loops of any length), below the header, or past the end, and after
// kTIFFMaxDirectories directories. Only version 42 is read; BigTIFF (43) is refused.
//
// Writing. The writer produces little-endian files and gives offsets as plain stream positions.
// Pending entries are collected in a TTIFFEntryList in host order (for little-endian output the
// value word is written as it is); out-of-line data go to the stream at once, each block at an
// even position; WriteDirectory emits the entries sorted by tag. A short write raises the
// caller's abort flag; builders still add their entries.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "imaging/status.h"
#include "imaging/stream.h"
#include "tiff/tiff_types.h"

// Ceiling on the directories of one chain.
inline constexpr std::int32_t kTIFFMaxDirectories = 65536;

// Tags this layer refers to.
enum : std::uint16_t {
  kTagImageWidth = 256,
  kTagImageLength = 257,
  kTagPhotometric = 262,
  kTagStripOffsets = 273,
  kTagStripByteCounts = 279,
  kTagTileOffsets = 324,
  kTagTileByteCounts = 325,
  kTagSubIFDs = 330,
  kTagJPEGInterchangeFormat = 513,
  kTagJPEGInterchangeFormatLength = 514,
  kTagJPEGQTables = 519,
  kTagJPEGDCTables = 520,
  kTagJPEGACTables = 521,
  kTagExifIFD = 34665,
  kTagGPSIFD = 34853,
  kTagTIFFEPStandardID = 37398,
  kTagMakerNote = 37500,
  kTagInteroperabilityIFD = 40965,
  kTagDNGVersion = 50706,
};

// ---- header ----

struct TTIFFHeader {
  bool littleEndian = true;
  std::uint16_t version = 0;
  std::uint32_t firstOffset = 0;  // relative to the base; 0: no directory
};

// Reads the 8-byte header at `base`. badData for a mark other than "II"/"MM" or a version
// other than 42, unsupported for BigTIFF (43), truncated for fewer than 8 bytes.
TVlStatus ReadTIFFHeader(TVlStream& stream, std::int64_t base, TTIFFHeader& header);

// ---- chain walk ----

// One directory of a chain, as the walker passes it.
struct TTIFFChainStep {
  std::int32_t index = -1;            // position in the chain, from 0
  std::uint32_t offset = 0;           // of the directory, relative to the base
  std::int64_t linkPosition = 0;      // absolute position of the 4-byte field holding `offset`
  std::uint16_t entryCount = 0;       // >= 1
  std::int64_t entriesPosition = 0;   // absolute position of the first entry
  std::int64_t nextLinkPosition = 0;  // absolute position of this directory's next field
  std::uint32_t nextOffset = 0;       // that field's value, 0 when it ends the chain (see below)
};

// Why a walk ended.
enum class TTIFFChainEnd : std::uint8_t {
  none = 0,            // still walking
  endOfChain = 1,      // a link of 0
  badLink = 2,         // a link below the header or at or past the end of the stream
  loop = 3,            // a link to a directory already passed
  emptyDirectory = 4,  // a directory with entry count 0 (not counted)
  truncated = 5,       // a directory whose entries reach the end of the stream (not counted)
  tooManyDirectories = 6,
};

// Walks a directory chain without loading entries. A directory is counted when its entry
// count can be read and is not 0, and its entries end before the end of the stream (so one
// whose next field is missing is not counted). A link is taken as 0 when it points at the
// directory itself or at any directory already passed, below offset 8, or at or beyond the end
// of the stream; `nextOffset` then reads 0. The writer's insert mode uses `linkPosition` of a
// step, or EndLinkPosition() to append.
class TTIFFChainWalker {
 public:
  TTIFFChainWalker(TVlStream& stream, std::int64_t base, bool littleEndian, std::uint32_t firstOffset);
  // Moves to the next directory; false when the chain has ended.
  bool Next();
  const TTIFFChainStep& Step() const { return step_; }
  std::int32_t Count() const { return count_; }  // directories passed
  TTIFFChainEnd EndReason() const { return end_; }
  // Absolute position of the link field that ended the chain (the header's first-directory field
  // when there is no directory); it holds 0 or an unusable offset.
  std::int64_t EndLinkPosition() const { return endLink_; }

 private:
  bool Visited(std::uint32_t offset) const;

  TVlStream& s_;
  std::int64_t base_;
  std::int64_t size_;
  bool le_;
  std::uint32_t pending_;
  std::int64_t pendingLink_;
  std::int32_t count_ = 0;
  TTIFFChainStep step_;
  TTIFFChainEnd end_ = TTIFFChainEnd::none;
  std::int64_t endLink_ = 0;
  TTIFFChainEnd pendingReason_ = TTIFFChainEnd::endOfChain;  // why pending_ is 0
  std::unordered_set<std::uint32_t> visited_;
};

// Walks the chain from `firstOffset` of the directory's stream (its `base` and `littleEndian`
// must be set), loads the entries of directory number `index` (from 0; -1 loads nothing) into
// `directory`, converted to host order, and reports the number of directories in the chain.
// The walk always goes to the end of the chain. Returns false when no directory was loaded.
bool ReadDirectoryChain(std::int32_t index, std::uint32_t firstOffset, TTIFFDirectory& directory,
                        std::int32_t& directoryCount);

// ---- accessors (a missing tag is never an error) ----

// Index of the first entry with `tag`, or -1.
int FindTag(const TTIFFDirectory& directory, std::uint16_t tag);

// Absolute position and size in bytes of an entry's data; false when the type is unknown or the
// data do not lie inside the stream. Data of at most 4 bytes are inline (position -1).
bool EntryDataLocation(const TTIFFDirectory& directory, const TTIFFEntry& entry, std::int64_t& position,
                       std::int64_t& size);

// The first value of an integer entry (BYTE, SHORT, LONG, their signed kinds, IFD), inline or
// not; for other types the raw value field. Missing tag, count 0 or data outside the stream:
// `defaultValue`.
std::int32_t GetIntTag(const TTIFFDirectory& directory, std::uint16_t tag, std::int32_t defaultValue);

// The first BYTE or SHORT of the value field for those types, otherwise the raw value field.
std::uint32_t GetInlineValue(const TTIFFDirectory& directory, const TTIFFEntry& entry);

// RATIONAL (unsigned numerator and denominator), SRATIONAL (signed); a zero denominator counts
// as 1. Integer, FLOAT and DOUBLE entries give their value. Missing: 0.
double GetRationalTag(const TTIFFDirectory& directory, std::uint16_t tag);
// Element i of the same; missing or i outside [0, count): 0.
double GetRationalElement(const TTIFFDirectory& directory, std::uint16_t tag, std::int32_t i);

// Element i of a LONG (or IFD) or SHORT array. A count of 1 gives the inline value for every i;
// otherwise i outside [0, count) gives 0. Other types and missing tags: 0.
std::int32_t GetArrayElement(const TTIFFDirectory& directory, std::uint16_t tag, std::int32_t i);

// All elements: count 1 stores GetInlineValue, more are fetched as by GetArrayElement. Returns
// the count (0 and an empty array when missing).
std::int32_t GetIntArrayTag(const TTIFFDirectory& directory, std::uint16_t tag, std::vector<std::int32_t>& values);

// The entry's data bytes (count x type size; inline data from the value field in file order).
// False and an empty buffer when missing.
bool GetRawTag(const TTIFFDirectory& directory, std::uint16_t tag, std::vector<std::uint8_t>& bytes);

// Text of an ASCII entry. Count 1 to 4: the bytes of the value field, all `count` of them (a
// terminating zero included). Count above 4: the bytes at the offset with one trailing zero
// dropped; above 0xFFFFF: empty. Missing or count 0: empty.
std::string GetStringTag(const TTIFFDirectory& directory, std::uint16_t tag);

// Text of an XP tag (BYTE data holding UTF-16LE), cut at the first zero unit; counts above
// 0xFFFFF give the empty string.
std::u16string GetWideStringTag(const TTIFFDirectory& directory, std::uint16_t tag);

// Captures the directory held in the data of `tag` (the EXIF maker note) into `handler` as a
// little-endian directory with its out-of-line data; values are converted from the file's byte
// order element by element. Clears the handler first; a block that does not look like a
// directory leaves it empty.
void LoadMakerNote(const TTIFFDirectory& directory, std::uint16_t tag, TVlTagsHandler& handler);

// Cheap content tests from the current position (restored on return).
// A classic TIFF header whose first directory can be loaded and has ImageWidth and ImageLength.
bool IsTIFFStream(TVlStream& stream);
// A camera raw file in TIFF clothing: DNGVersion (BYTE x 4), a CFA or LinearRaw photometric,
// or SubIFDs with TIFF/EP StandardID on a first image smaller than 200 x 200.
bool IsCameraRawTIFF(TVlStream& stream);

// ---- writing ----

using TTIFFEntryList = std::vector<TTIFFEntry>;

// Writes and raises `abort` when fewer than `length` bytes were written. Returns true on success.
bool WriteChecked(TVlStream& stream, std::atomic<bool>& abort, const void* data, std::int64_t length);

// Writes one zero byte when the position is odd; returns the (even) position.
std::int64_t AlignToWord(TVlStream& stream, std::atomic<bool>& abort);

void AddLongEntry(TTIFFEntryList& list, std::uint16_t tag, std::uint32_t value);
void AddShortEntry(TTIFFEntryList& list, std::uint16_t tag, std::uint16_t value);
void AddByteEntry(TTIFFEntryList& list, std::uint16_t tag, std::uint8_t value);
// ASCII held inline: the first min(4, length) bytes, count = that number (no terminator).
void AddInlineStringEntry(TTIFFEntryList& list, std::uint16_t tag, const std::string& text);
// Nothing for an empty text; up to 4 bytes inline as above; longer: the text and a zero byte.
void AddStringEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                    const std::string& text);
// One RATIONAL, numerator then denominator (note the argument order).
void AddRationalEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                      std::uint32_t denominator, std::uint32_t numerator);
// One SRATIONAL (negative fractions).
void AddSRationalEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                       std::int32_t denominator, std::int32_t numerator);
// RATIONAL, count (last + 1) / 2, of the LONGs values[0..last] as numerator/denominator pairs.
void AddRationalArrayEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                           std::int32_t last, const std::uint32_t* values);
// LONG x count; a single value inline.
void AddLongArrayEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                       std::int32_t count, const std::uint32_t* values);
// SHORT x (last + 1); one or two values inline.
void AddShortArrayEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                        std::int32_t last, const std::uint16_t* values);
// Nothing for an empty text; otherwise BYTE x (2 length + 2): UTF-16LE and a zero unit.
void AddWideStringEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                        const std::u16string& text);
// Any data: inline when at most 4 bytes, else at an even position. `bytes` holds count x type
// size bytes in little-endian order.
void AddDataEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::uint16_t type, std::uint32_t count,
                  const void* bytes, std::atomic<bool>& abort);
// Rebuilds the captured maker note at an even position (entries with data of `limit` bytes or
// more are left out; data blocks at even offsets, offsets absolute) and adds an UNDEFINED entry
// for it. Nothing for a handler stream shorter than 12 bytes.
void AddMakerNoteEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::int64_t limit,
                       std::atomic<bool>& abort, const TVlTagsHandler& handler);

// Writes, at the current position, the entry count, the entries sorted by ascending tag (a
// stable sort) and `nextOffset`, little-endian; the list is emptied.
void WriteDirectory(TVlStream& stream, std::atomic<bool>& abort, TTIFFEntryList& list, std::uint32_t nextOffset);
