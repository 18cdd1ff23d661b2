// CCITT T.4 / T.6 row decoders and writers; the method and the quirks are described in
// tiff/ccitt.h, the code tables in tiff/ccitt_tables.h.
#include "tiff/ccitt.h"

#include <algorithm>
#include <cstring>

#include "imaging/stream.h"
#include "tiff/ccitt_tables.h"

namespace {

inline int LeadingZeros(std::uint64_t w) {
  return w ? __builtin_clzll(w) : 64;
}

inline void StoreBE64(std::uint8_t* p, std::uint64_t v) {
  v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

inline std::uint64_t LoadBE64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return __builtin_bswap64(v);
}

// Up to 8 bytes at p (fewer when n < 8), big-endian, missing bytes zero.
inline std::uint64_t LoadBEPartial(const std::uint8_t* p, std::size_t n) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < n && i < 8; ++i) v |= std::uint64_t(p[i]) << (56 - 8 * i);
  return v;
}

// Reverses the bit order inside each byte of w.
inline std::uint64_t ReverseBitsInBytes(std::uint64_t w) {
  w = ((w >> 1) & 0x5555555555555555ull) | ((w & 0x5555555555555555ull) << 1);
  w = ((w >> 2) & 0x3333333333333333ull) | ((w & 0x3333333333333333ull) << 2);
  w = ((w >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((w & 0x0F0F0F0F0F0F0F0Full) << 4);
  return w;
}

inline std::uint8_t ReverseByte(std::uint8_t b) {
  return static_cast<std::uint8_t>(ReverseBitsInBytes(b));
}

inline std::size_t RowBytes(std::int32_t width) {
  return (static_cast<std::size_t>(width) + 7) / 8;
}

// The strip's bytes read as a bit string in transmission order. Lsb: fill order 2.
template <bool Lsb>
class TBitSource {
 public:
  TBitSource(const std::uint8_t* data, std::size_t length)
      : data_(data),
        length_(length),
        totalBits_(static_cast<std::int64_t>(std::min<std::size_t>(length, std::size_t(1) << 59)) * 8) {}

  std::int64_t TotalBits() const { return totalBits_; }
  const std::uint8_t* Data() const { return data_; }
  std::size_t Length() const { return length_; }

  // 64 bits starting at bit position pos (>= 0), the first in the most significant place. At
  // least the top 57 are real bits of the data or, past its end, zero bits. Never reads a byte
  // outside the data.
  std::uint64_t Peek(std::int64_t pos) const {
    std::uint64_t idx = static_cast<std::uint64_t>(pos) >> 3;
    std::uint64_t w;
    if (idx + 8 <= length_)
      w = LoadBE64(data_ + idx);
    else if (idx < length_)
      w = LoadBEPartial(data_ + idx, length_ - idx);
    else
      w = 0;
    if constexpr (Lsb)
      w = ReverseBitsInBytes(w);
    return w << (pos & 7);
  }

 private:
  const std::uint8_t* data_;
  std::size_t length_;
  std::int64_t totalBits_;
};

// Changing elements of a row as coded: the positions where the colour toggles, starting from
// white before pixel 0, non-decreasing within 0..width. A zero-length run shows as a repeated
// position; such repeats are kept because coders that produce them also count them on the
// reference line. Only data made of endless zero-length runs can fill the list; it is then
// compacted by dropping equal neighbours in pairs (which changes no pixel).
//
// Each change is also marked in a toggle bitmap (bit x of the row, most significant first),
// from which the row is painted with a running parity, 64 pixels at a time.
struct TChangeList {
  std::int32_t* c;
  int n = 0;
  int limit = 0;           // room is kept for at least 4 more entries below this count
  std::uint64_t* toggles;  // ceil(width / 64) + 1 words, all zero at the start of a row
  void Add(std::int32_t x) {
    c[n++] = x;
    toggles[x >> 6] ^= 0x8000000000000000ull >> (x & 63);
  }
  void Reserve() {
    if (n >= limit) [[unlikely]]
      Compact();
  }
  // Dropping equal neighbours in pairs leaves the toggles as they are.
  void Compact() {
    int m = 0;
    for (int i = 0; i < n; ++i) {
      if (m > 0 && c[m - 1] == c[i])
        --m;
      else
        c[m++] = c[i];
    }
    n = m;
  }
};

// Entries of a change list buffer, and the count at which it is compacted.
inline std::size_t ListCapacity(std::int32_t width) {
  return 2 * static_cast<std::size_t>(width) + 16;
}
inline int ListLimit(std::int32_t width) {
  return 2 * width + 4;
}
inline std::size_t ToggleWords(std::int32_t width) {
  return static_cast<std::size_t>(width) / 64 + 2;
}

// Per-thread scratch of the one-dimensional decoder.
struct TScratch {
  std::vector<std::int32_t> list;
  std::vector<std::uint8_t> paint;     // a row with 16 bytes to spare
  std::vector<std::uint64_t> toggles;  // kept all zero between uses
  void Fit(std::int32_t width) {
    if (list.size() < ListCapacity(width)) {
      list.resize(ListCapacity(width));
      paint.resize(RowBytes(width) + 16);
      toggles.assign(ToggleWords(width), 0);
    }
  }
};

TScratch& Scratch(std::int32_t width) {
  thread_local TScratch s;
  s.Fit(width);
  return s;
}

// The two-dimensional decoder's memory of the row it decoded last on this thread: its change
// list as coded (repeats included, which the reference bitmap cannot hold) and where it ended.
// The next call uses that list as its reference line only when it continues the same strip at
// that bit position with the same, unchanged reference buffer; otherwise the reference line
// is gathered from the reference bitmap.
struct TReferenceMemory {
  std::vector<std::int32_t> lists[2];
  int refList = 0;  // which list holds the last coding line
  int n = 0;
  const std::uint8_t* data = nullptr;
  std::size_t length = 0;
  std::int64_t endPos = -1;
  const std::uint8_t* refRow = nullptr;
  std::int32_t width = 0;
  std::vector<std::uint8_t> paint;     // the last row as painted, 16 bytes to spare
  std::vector<std::uint64_t> toggles;  // kept all zero between rows

  void Fit(std::int32_t width) {
    if (lists[0].size() < ListCapacity(width)) {
      lists[0].resize(ListCapacity(width));
      lists[1].resize(ListCapacity(width));
      paint.resize(RowBytes(width) + 16);
      toggles.assign(ToggleWords(width), 0);
      endPos = -1;
    }
  }
};

TReferenceMemory& ReferenceMemory(std::int32_t width) {
  thread_local TReferenceMemory m;
  m.Fit(width);
  return m;
}

// Gathers the changing elements of a packed row (blackIsOne: 1 bits are black) into out and
// returns their count; bits past the width count as white and no change at the width is kept.
// Rows are read in whole 64-bit words where the row allows, so runs of one colour cost one test
// per 64 pixels.
template <bool BlackIsOne>
int GatherChangesImpl(const std::uint8_t* row, std::int32_t width, std::int32_t* out) {
  const std::size_t bytes = RowBytes(width);
  const std::size_t lastWord = (bytes - 1) / 8;  // the word holding the last pixel
  int n = 0;
  std::uint64_t prev = 0;  // colour of the pixel before the word, 1 = black
  auto scan = [&](std::uint64_t w, std::size_t i) {
    std::uint64_t t = w ^ ((w >> 1) | (prev << 63));
    prev = w & 1;
    const std::int32_t base = static_cast<std::int32_t>(i * 64);
    while (t) {
      int z = __builtin_clzll(t);
      out[n++] = base + z;
      t &= ~(0x8000000000000000ull >> z);
    }
  };
  for (std::size_t i = 0; i < lastWord; ++i) {
    std::uint64_t w = LoadBE64(row + 8 * i);
    scan(BlackIsOne ? w : ~w, i);
  }
  std::uint64_t w = LoadBEPartial(row + 8 * lastWord, bytes - 8 * lastWord);
  if (!BlackIsOne)
    w = ~w;
  const std::int64_t valid = static_cast<std::int64_t>(width) - static_cast<std::int64_t>(lastWord) * 64;
  if (valid < 64)
    w &= ~(~0ull >> valid);
  scan(w, lastWord);
  if (n > 0 && out[n - 1] >= width)
    --n;
  return n;
}

int GatherChanges(const std::uint8_t* row, std::int32_t width, bool blackIsOne, std::int32_t* out) {
  return blackIsOne ? GatherChangesImpl<true>(row, width, out) : GatherChangesImpl<false>(row, width, out);
}

// Paints a row (1 bits = white) into buf (row bytes + 16 to spare) from the toggles of its
// change list, and clears the toggles. The running parity of the toggles is the colour: within
// a word, XOR-ing each bit with all bits before it (shifts by 1, 2, 4 .. 32 toward the low end)
// gives the colour of every pixel; the last pixel's colour carries into the next word. Pad
// bits after the width come out white.
void PaintRow(std::uint8_t* buf, std::uint64_t* toggles, std::int32_t width) {
  const std::size_t words = (static_cast<std::size_t>(width) + 63) / 64;
  std::uint64_t carry = 0;  // all ones while inside a black run
  for (std::size_t i = 0; i < words; ++i) {
    std::uint64_t t = toggles[i];
    toggles[i] = 0;
    if (t) {
      t ^= t >> 1;
      t ^= t >> 2;
      t ^= t >> 4;
      t ^= t >> 8;
      t ^= t >> 16;
      t ^= t >> 32;
      t ^= carry;
      carry = 0 - (t & 1);
    } else {
      t = carry;
    }
    StoreBE64(buf + 8 * i, ~t);
  }
  toggles[words] = 0;  // a toggle at the width itself
  if (width & 7)
    buf[RowBytes(width) - 1] |= static_cast<std::uint8_t>(0xFF >> (width & 7));
}

// One-dimensional runs from pos into `out` until the width is covered (and no makeup code is
// pending), an EOL follows the first run, or the data end. Returns the bit position after.
template <bool Lsb>
std::int64_t DecodeMHRuns(const TBitSource<Lsb>& src, std::int64_t pos, std::int32_t width, TChangeList& out) {
  const TFaxDecodeTables& tables = FaxDecodeTables();
  const std::int64_t total = src.TotalBits();
  std::int32_t a0 = 0;
  int colour = 0;  // 0 white, 1 black
  bool started = false;
  bool makeupPending = false;
  while (a0 < width || makeupPending) {
    if (pos >= total)
      break;  // the end of the data ends the row as an EOL does
    std::uint64_t w = src.Peek(pos);
    if ((w >> 56) == 0) {
      // Eight or more zero bits: no run code starts this way.
      int z = LeadingZeros(w);
      if (z <= 10) {  // 000000001, 0000000001, 00000000001: skipped
        pos += z + 1;
        continue;
      }
      if (z <= 31) {  // EOL, with up to 20 fill zeros before it
        pos += z + 1;
        if (started)
          break;
        continue;
      }
      // No code within 32 bits: move on bit by bit until a 1 bit comes into the 32-bit window.
      pos += z >= 57 ? 26 : z - 31;
      continue;
    }
    TFaxRunEntry e = LookupFaxRunCode(colour ? tables.black : tables.white, w);
    if (e.kind == TFaxRunKind::invalid) {
      ++pos;  // resynchronise
      continue;
    }
    pos += e.length;
    started = true;
    a0 = static_cast<std::int32_t>(std::min<std::int64_t>(std::int64_t(a0) + e.value, width));
    if (e.kind == TFaxRunKind::makeup) {
      makeupPending = true;
      continue;
    }
    makeupPending = false;
    out.Reserve();
    out.Add(a0);
    colour ^= 1;
  }
  return pos;
}

// Run length (makeup codes summed with the terminating code) at pos for one colour, advancing
// pos; -1 when the bits there are no run code (pos then stands on them).
template <bool Lsb>
std::int64_t ReadRun(const TBitSource<Lsb>& src, const std::vector<TFaxRunEntry>& table, std::int64_t& pos) {
  std::int64_t run = 0;
  for (;;) {
    std::uint64_t w = src.Peek(pos);
    if ((w >> 56) == 0)
      return -1;
    TFaxRunEntry e = LookupFaxRunCode(table, w);
    if (e.kind == TFaxRunKind::invalid)
      return -1;
    pos += e.length;
    run += e.value;
    if (e.kind == TFaxRunKind::terminating)
      return run;
  }
}

// Bits from pos up to and including the next 1 bit (or to the end of the data).
template <bool Lsb>
std::int64_t ZerosThroughOne(const TBitSource<Lsb>& src, std::int64_t pos) {
  std::int64_t start = pos;
  const std::int64_t total = src.TotalBits();
  while (pos < total) {
    std::uint64_t w = src.Peek(pos);
    int z = LeadingZeros(w);
    if (z < 57)
      return pos + z + 1 - start;
    pos += 57;
  }
  return std::max<std::int64_t>(total - start, 0);
}

template <bool Lsb>
std::int64_t Decode2DImpl(std::uint8_t* row, const TBitSource<Lsb>& src, bool eolMode, std::int64_t pos,
                          std::uint8_t* referenceRow, std::int32_t width) {
  const TFaxDecodeTables& tables = FaxDecodeTables();
  const std::int64_t total = src.TotalBits();
  const std::size_t rowBytes = RowBytes(width);
  TReferenceMemory& memory = ReferenceMemory(width);
  const bool continues = pos > 0 && memory.endPos == pos && memory.data == src.Data() &&
                         memory.length == src.Length() && memory.refRow == referenceRow && memory.width == width &&
                         std::memcmp(memory.paint.data(), referenceRow, rowBytes) == 0;
  std::int32_t* b;  // reference line changes, four sentinels at the width
  int nb;
  if (continues) {
    b = memory.lists[memory.refList].data();
    nb = memory.n;
  } else {
    memory.refList = 0;
    b = memory.lists[0].data();
    nb = GatherChanges(referenceRow, width, /*blackIsOne=*/false, b);
  }
  b[nb] = b[nb + 1] = b[nb + 2] = b[nb + 3] = width;
  TChangeList coding{memory.lists[1 - memory.refList].data(), 0, ListLimit(width), memory.toggles.data()};

  std::int32_t a0 = -1;  // -1: the imaginary white element before the row
  int colour = 0;        // colour of the run starting at a0: 0 white, 1 black
  // b1 is b[k]: the first change right of a0 whose colour is opposite to the colour at a0
  // (changes of even index turn black, so k has the parity of the colour); b2 is b[k + 1].
  // Invariant before each search: every index below k of k's parity holds a change <= a0, so
  // the search only steps forward by two.
  int k = 0;
  bool firstCode = true;
  bool openRunEndsAtA0 = false;  // the row stopped short: a black run still open ends at a0

  while (a0 < width) {
    const std::uint64_t w = src.Peek(pos);
    TFaxModeEntry m = tables.mode[w >> 57];
    if (m.length == 0) [[unlikely]]
      m = LookupFaxModeCode(w);
    coding.Reserve();
    const int offset = static_cast<int>(m.mode) - static_cast<int>(TFaxMode::V0);
    if (offset >= -3 && offset <= 3) {  // V0, VR1..VR3, VL1..VL3: most codes of a page
      pos += m.length;
      firstCode = false;
      while (b[k] <= a0) k += 2;
      std::int32_t a1 = b[k] + offset;
      if (a1 < std::max<std::int32_t>(a0, 0)) [[unlikely]] {  // corrupt: a1 left of a0 ends the row
        openRunEndsAtA0 = true;
        goto done;
      }
      a1 = std::min(a1, width);
      coding.Add(a1);
      a0 = a1;
      colour ^= 1;
      // The colour changed: the next b1 has the other parity; b[k - 1] <= old b1 may still
      // lie right of the new a0 (after VL), b[k - 3] cannot.
      k = k > 0 ? k - 1 : 1;
      continue;
    }
    switch (m.mode) {
      default:  // the vertical modes, handled above
        break;
      case TFaxMode::P: {
        pos += m.length;
        firstCode = false;
        while (b[k] <= a0) k += 2;
        a0 = std::clamp(b[k + 1], a0, width);  // b2; the colour stays
        k += 2;
        break;
      }
      case TFaxMode::H: {
        firstCode = false;
        std::int64_t p = pos + m.length;
        std::int64_t run1 = ReadRun(src, colour ? tables.black : tables.white, p);
        std::int64_t run2 = run1 < 0 ? -1 : ReadRun(src, colour ? tables.white : tables.black, p);
        pos = p;
        if (run2 < 0)
          break;  // abandoned; the bits that are no run code are read as a mode code next
        std::int64_t start = std::max<std::int32_t>(a0, 0);
        std::int32_t a1 = static_cast<std::int32_t>(std::min<std::int64_t>(start + run1, width));
        std::int32_t a2 = static_cast<std::int32_t>(std::min<std::int64_t>(a1 + run2, width));
        coding.Add(a1);
        coding.Add(a2);
        a0 = a2;
        break;
      }
      case TFaxMode::ext2D:
      case TFaxMode::ext1D: {
        // Uncompressed mode (T.4 Table 5): n zero bits and a 1 give n white pixels and one
        // black pixel (n < 5) or five white pixels (n = 5); 6..10 zeros, a 1 and a colour bit
        // give n - 6 white pixels and leave the mode with that colour next.
        pos += m.length;
        firstCode = false;
        std::int32_t p = std::max<std::int32_t>(a0, 0);
        if (colour) {
          coding.Add(p);
          colour = 0;
        }
        while (p < width && pos < total) {
          int z = LeadingZeros(src.Peek(pos));
          if (z > 10)
            break;  // not an uncompressed-mode code: left for the mode loop
          pos += z + 1;
          int count = z + 1;
          if (count <= 5) {
            std::int32_t black = p + count - 1;
            if (black < width) {
              coding.Reserve();
              coding.Add(black);
              coding.Add(black + 1);
            }
            p += count;
          } else if (count == 6) {
            p += 5;
          } else {
            p += count - 7;
            colour = static_cast<int>(src.Peek(pos) >> 63);
            pos += 1;
            break;
          }
        }
        a0 = std::min(p, width);
        coding.Reserve();
        if (colour)
          coding.Add(a0);
        k = colour;  // search b1 afresh
        break;
      }
      case TFaxMode::EOL:
      case TFaxMode::fill: {
        if (pos >= total) {  // the data ended inside the row
          openRunEndsAtA0 = true;
          goto done;
        }
        std::int64_t len = kFaxEOLLength;
        if (m.mode == TFaxMode::fill) {
          if (!eolMode) {  // no mode code: the strip ends here
            pos = total;
            openRunEndsAtA0 = true;
            goto done;
          }
          len = ZerosThroughOne(src, pos);  // fill zeros and the EOL taken together
        }
        if (!firstCode)
          goto done;  // ends the row; the EOL is left for the next row
        firstCode = false;
        pos += len;
        if (pos >= total)
          break;
        const bool oneDimensional = (src.Peek(pos) >> 63) != 0;
        pos += 1;
        if (oneDimensional) {
          pos = DecodeMHRuns(src, pos, width, coding);
          goto painted;
        }
        break;
      }
    }
  }
done:
  if (openRunEndsAtA0 && colour == 1 && a0 < width)
    coding.Add(std::max<std::int32_t>(a0, 0));
painted:
  PaintRow(memory.paint.data(), memory.toggles.data(), width);
  std::memcpy(row, memory.paint.data(), rowBytes);
  std::memcpy(referenceRow, memory.paint.data(), rowBytes);
  memory.refList = 1 - memory.refList;
  memory.n = coding.n;
  memory.data = src.Data();
  memory.length = src.Length();
  memory.endPos = pos;
  memory.refRow = referenceRow;
  memory.width = width;
  return pos;
}

bool WidthOk(std::int32_t width) {
  return width >= 1 && width <= kFaxMaxWidth;
}

}  // namespace

std::int64_t DecodeMHRow(std::uint8_t* row, const std::uint8_t* data, std::size_t length, int fillOrder,
                         std::int64_t bitPos, std::int32_t width) {
  if (!WidthOk(width))
    return bitPos;
  bitPos = std::max<std::int64_t>(bitPos, 0);
  TScratch& scratch = Scratch(width);
  TChangeList changes{scratch.list.data(), 0, ListLimit(width), scratch.toggles.data()};
  if (fillOrder == 2)
    bitPos = DecodeMHRuns(TBitSource<true>(data, length), bitPos, width, changes);
  else
    bitPos = DecodeMHRuns(TBitSource<false>(data, length), bitPos, width, changes);
  PaintRow(scratch.paint.data(), scratch.toggles.data(), width);
  std::memcpy(row, scratch.paint.data(), RowBytes(width));
  return bitPos;
}

std::size_t DecodeMHRowAligned(std::uint8_t* row, const std::uint8_t* data, std::int32_t width, int fillOrder,
                               std::size_t length) {
  if (!WidthOk(width))
    return 0;
  std::int64_t bits = DecodeMHRow(row, data, length, fillOrder, 0, width);
  std::uint64_t bytes = (static_cast<std::uint64_t>(bits) + 7) / 8;
  return static_cast<std::size_t>(std::min<std::uint64_t>(bytes, length));
}

std::int64_t Decode2DRow(std::uint8_t* row, const std::uint8_t* data, std::size_t length, bool eolMode, int fillOrder,
                         std::int64_t bitPos, std::uint8_t* referenceRow, std::int32_t width) {
  if (!WidthOk(width))
    return bitPos;
  bitPos = std::max<std::int64_t>(bitPos, 0);
  if (fillOrder == 2)
    return Decode2DImpl(row, TBitSource<true>(data, length), eolMode, bitPos, referenceRow, width);
  return Decode2DImpl(row, TBitSource<false>(data, length), eolMode, bitPos, referenceRow, width);
}

// ---------------------------------------------------------------------------------------------
// Encoding

TFaxBitWriter::TFaxBitWriter(int bits, std::uint8_t byte) {
  buf_.resize(256);
  Reset(bits, byte);
}

void TFaxBitWriter::Reset(int bits, std::uint8_t byte) {
  n_ = 0;
  bits = std::clamp(bits, 0, 7);
  accBits_ = bits;
  acc_ = bits ? (byte >> (8 - bits)) : 0;
}

void TFaxBitWriter::Spill() {
  if (buf_.size() < n_ + 8)
    buf_.resize(std::max(buf_.size() * 2, n_ + 8));
  std::uint32_t v = static_cast<std::uint32_t>(acc_ >> (accBits_ - 32));
  buf_[n_] = static_cast<std::uint8_t>(v >> 24);
  buf_[n_ + 1] = static_cast<std::uint8_t>(v >> 16);
  buf_[n_ + 2] = static_cast<std::uint8_t>(v >> 8);
  buf_[n_ + 3] = static_cast<std::uint8_t>(v);
  n_ += 4;
  accBits_ -= 32;
}

void TFaxBitWriter::Settle() {
  if (buf_.size() < n_ + 8)
    buf_.resize(std::max(buf_.size() * 2, n_ + 8));
  while (accBits_ >= 8) {
    buf_[n_++] = static_cast<std::uint8_t>(acc_ >> (accBits_ - 8));
    accBits_ -= 8;
  }
}

void TFaxBitWriter::PadToByte() {
  if (accBits_ & 7)
    Put(0, 8 - (accBits_ & 7));
}

int TFaxBitWriter::PendingBits() {
  Settle();
  return accBits_;
}

std::uint8_t TFaxBitWriter::PendingByte() {
  Settle();
  return accBits_ ? static_cast<std::uint8_t>(acc_ << (8 - accBits_)) : 0;
}

void TFaxBitWriter::ClearBytes() {
  Settle();
  n_ = 0;
}

namespace {

struct TEncodeTables {
  TFaxCode term[2][64];
  TFaxCode makeup[2][40];  // runs 64 * (i + 1), extended makeup codes from 1792
};

const TEncodeTables& EncodeTables() {
  static const TEncodeTables t = [] {
    TEncodeTables e{};
    for (int i = 0; i < 64; ++i) {
      e.term[0][i] = kFaxWhiteTerminating[i];
      e.term[1][i] = kFaxBlackTerminating[i];
    }
    for (int i = 0; i < 27; ++i) {
      e.makeup[0][i] = kFaxWhiteMakeup[i];
      e.makeup[1][i] = kFaxBlackMakeup[i];
    }
    for (int i = 0; i < 13; ++i) e.makeup[0][27 + i] = e.makeup[1][27 + i] = kFaxExtendedMakeup[i];
    return e;
  }();
  return t;
}

inline void PutMode(TFaxBitWriter& out, TFaxMode mode) {
  const TFaxCode& c = kFaxModeCodes[static_cast<int>(mode)];
  out.Put(c.code, c.length);
}

// One run of the given colour (0 white, 1 black), run >= 0.
inline void PutRun(TFaxBitWriter& out, const TEncodeTables& t, int colour, std::int32_t run) {
  while (run > 2560) {
    const TFaxCode& c = t.makeup[colour][39];
    out.Put(c.code, c.length);
    run -= 2560;
  }
  if (run >= 64) {
    const TFaxCode& c = t.makeup[colour][run / 64 - 1];
    out.Put(c.code, c.length);
    run &= 63;
  }
  const TFaxCode& c = t.term[colour][run];
  out.Put(c.code, c.length);
}

}  // namespace

namespace {

// The encoders' memory of the row they coded last on this thread: its changes and its bytes.
// A reference row with the same bytes has the same changes, so they are not gathered again.
struct TEncodeMemory {
  std::vector<std::int32_t> lists[2];
  int last = 0;  // the list of the last coded row
  int n = -1;    // its change count; -1: nothing remembered
  std::int32_t width = 0;
  std::vector<std::uint8_t> row;

  void Fit(std::int32_t w) {
    if (lists[0].size() < static_cast<std::size_t>(w) + 8) {
      lists[0].resize(static_cast<std::size_t>(w) + 8);
      lists[1].resize(static_cast<std::size_t>(w) + 8);
      row.resize(RowBytes(w));
      n = -1;
    }
  }
  // Takes the changes just gathered into the other list as the last coded row.
  void Remember(const std::uint8_t* coded, std::int32_t w, int count) {
    last = 1 - last;
    n = count;
    width = w;
    std::memcpy(row.data(), coded, RowBytes(w));
  }
};

TEncodeMemory& EncodeMemory(std::int32_t width) {
  thread_local TEncodeMemory m;
  m.Fit(width);
  return m;
}

}  // namespace

void EncodeMHRow(TFaxBitWriter& out, const std::uint8_t* row, std::int32_t width) {
  if (!WidthOk(width))
    return;
  const TEncodeTables& t = EncodeTables();
  TEncodeMemory& memory = EncodeMemory(width);
  std::int32_t* c = memory.lists[1 - memory.last].data();
  int n = GatherChanges(row, width, /*blackIsOne=*/true, c);
  memory.Remember(row, width, n);
  std::int32_t prev = 0;
  int colour = 0;
  for (int i = 0; i < n; ++i) {
    PutRun(out, t, colour, c[i] - prev);
    prev = c[i];
    colour ^= 1;
  }
  PutRun(out, t, colour, width - prev);
}

void Encode2DRow(TFaxBitWriter& out, const std::uint8_t* row, const std::uint8_t* referenceRow, std::int32_t width) {
  if (!WidthOk(width))
    return;
  const TEncodeTables& t = EncodeTables();
  TEncodeMemory& memory = EncodeMemory(width);
  std::int32_t* b = memory.lists[memory.last].data();  // reference line changes
  int nb;
  if (memory.n >= 0 && memory.width == width && std::memcmp(memory.row.data(), referenceRow, RowBytes(width)) == 0)
    nb = memory.n;
  else
    nb = GatherChanges(referenceRow, width, /*blackIsOne=*/true, b);
  std::int32_t* a = memory.lists[1 - memory.last].data();  // coding line changes
  int na = GatherChanges(row, width, /*blackIsOne=*/true, a);
  memory.Remember(row, width, na);
  a[na] = a[na + 1] = a[na + 2] = width;
  b[nb] = b[nb + 1] = b[nb + 2] = width;

  std::int32_t a0 = -1;
  int colour = 0;
  int i = 0;  // index of a1 in a
  int k = 0;  // index of b1 in b
  while (a0 < width) {
    while (a[i] <= a0) ++i;
    const std::int32_t a1 = a[i];
    while (k > 0 && b[k - 1] > a0) --k;
    while (b[k] <= a0) ++k;
    if ((k & 1) != colour)
      ++k;
    const std::int32_t b1 = b[k], b2 = b[k + 1];
    if (b2 < a1) {
      PutMode(out, TFaxMode::P);
      a0 = b2;
    } else if (a1 - b1 >= -3 && a1 - b1 <= 3) {
      PutMode(out, static_cast<TFaxMode>(static_cast<int>(TFaxMode::V0) + (a1 - b1)));
      a0 = a1;
      colour ^= 1;
    } else {
      const std::int32_t a2 = a[i + 1];
      PutMode(out, TFaxMode::H);
      PutRun(out, t, colour, a1 - std::max<std::int32_t>(a0, 0));
      PutRun(out, t, colour ^ 1, a2 - a1);
      a0 = a2;
    }
  }
}

namespace {

// Writes the writer's whole bytes in the fill order and clears them.
TVlStatus EmitBytes(TFaxBitWriter& bw, TVlStream& stream, bool lsb, std::atomic<bool>& abortFlag) {
  std::size_t n = bw.ByteCount();
  if (n == 0)
    return TVlStatus::Ok();
  std::uint8_t* p = bw.MutableBytes();
  if (lsb)
    for (std::size_t i = 0; i < n; ++i) p[i] = ReverseByte(p[i]);
  bool ok = stream.WriteAll(p, static_cast<std::int64_t>(n));
  bw.ClearBytes();
  if (!ok) {
    abortFlag.store(true);
    return TVlStatus::IoError("short write of fax data");
  }
  return TVlStatus::Ok();
}

TVlStatus BadWidth(std::atomic<bool>& abortFlag) {
  abortFlag.store(true);
  return TVlStatus::BadData("fax row width out of range");
}

// The row writers' bit writer, reused from row to row on this thread (its buffer stays).
TFaxBitWriter& ResumeWriter(bool lsb, int carriedBits, std::uint8_t carriedByte) {
  thread_local TFaxBitWriter bw;
  bw.Reset(carriedBits, lsb ? ReverseByte(carriedByte) : carriedByte);
  return bw;
}

void KeepCarry(TFaxBitWriter& bw, bool lsb, int& carriedBits, std::uint8_t& carriedByte) {
  carriedBits = bw.PendingBits();
  std::uint8_t b = bw.PendingByte();
  carriedByte = lsb ? ReverseByte(b) : b;
}

void KeepReference(std::vector<std::uint8_t>& referenceRow, const std::uint8_t* row, std::int32_t width) {
  std::size_t refBytes = ((static_cast<std::size_t>(width) + 31) / 32) * 4;
  referenceRow.resize(refBytes);
  std::memcpy(referenceRow.data(), row, RowBytes(width));
  std::memset(referenceRow.data() + RowBytes(width), 0, refBytes - RowBytes(width));
}

}  // namespace

TVlStatus WriteMHRow(const std::uint8_t* row, std::int32_t width, TVlStream& stream, int fillOrder,
                     std::atomic<bool>& abortFlag) {
  if (!WidthOk(width) || !row)
    return BadWidth(abortFlag);
  TFaxBitWriter& bw = ResumeWriter(false, 0, 0);
  EncodeMHRow(bw, row, width);
  bw.PadToByte();
  return EmitBytes(bw, stream, fillOrder == 2, abortFlag);
}

TVlStatus WriteT4Row(const std::uint8_t* row, std::int32_t width, TVlStream& stream, int fillOrder,
                     std::atomic<bool>& abortFlag, bool twoDimensional, std::vector<std::uint8_t>& referenceRow,
                     int& carriedBits, std::uint8_t& carriedByte) {
  if (!WidthOk(width))
    return BadWidth(abortFlag);
  const bool lsb = fillOrder == 2;
  TFaxBitWriter& bw = ResumeWriter(lsb, carriedBits, carriedByte);
  if (!row) {
    bw.PutEOL();
    bw.PadToByte();
    referenceRow.clear();
    carriedBits = 0;
    carriedByte = 0;
    return EmitBytes(bw, stream, lsb, abortFlag);
  }
  bw.PutEOL();
  if (twoDimensional) {
    if (referenceRow.size() < RowBytes(width)) {
      bw.Put(1, 1);
      EncodeMHRow(bw, row, width);
    } else {
      bw.Put(0, 1);
      Encode2DRow(bw, row, referenceRow.data(), width);
    }
    KeepReference(referenceRow, row, width);
  } else {
    EncodeMHRow(bw, row, width);
  }
  TVlStatus s = EmitBytes(bw, stream, lsb, abortFlag);
  KeepCarry(bw, lsb, carriedBits, carriedByte);
  return s;
}

TVlStatus WriteT6Row(const std::uint8_t* row, std::int32_t width, TVlStream& stream, int fillOrder,
                     std::atomic<bool>& abortFlag, std::vector<std::uint8_t>& referenceRow, int& carriedBits,
                     std::uint8_t& carriedByte) {
  if (!WidthOk(width))
    return BadWidth(abortFlag);
  const bool lsb = fillOrder == 2;
  TFaxBitWriter& bw = ResumeWriter(lsb, carriedBits, carriedByte);
  if (!row) {
    bw.PutEOL();
    bw.PutEOL();
    bw.PadToByte();
    referenceRow.clear();
    carriedBits = 0;
    carriedByte = 0;
    return EmitBytes(bw, stream, lsb, abortFlag);
  }
  if (referenceRow.size() < RowBytes(width))
    referenceRow.assign(((static_cast<std::size_t>(width) + 31) / 32) * 4, 0);
  Encode2DRow(bw, row, referenceRow.data(), width);
  KeepReference(referenceRow, row, width);
  TVlStatus s = EmitBytes(bw, stream, lsb, abortFlag);
  KeepCarry(bw, lsb, carriedBits, carriedByte);
  return s;
}
