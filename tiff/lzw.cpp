// TIFF LZW decoder and encoder; see lzw.h for the code format and the method.
#include "tiff/lzw.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "imaging/stream.h"

namespace {

constexpr int kClear = 256;
constexpr int kEndOfInformation = 257;
constexpr int kFirstFree = 258;
constexpr int kTableSize = 4096;  // codes 0..4095
constexpr int kMinWidth = 9;
constexpr int kMaxWidth = 12;
constexpr std::size_t kMaxString = kTableSize;  // no string is longer than the table has entries
constexpr std::size_t kSlack = 16;              // short strings are stored 8 bytes at a time

// Rows decoded ahead: up to 50, fewer when rows are long (about 1 MiB at most).
constexpr std::size_t kAheadRows = 50;
constexpr std::size_t kAheadBytes = std::size_t(1) << 20;
// Decoded bytes kept in front of the current row, where table strings are copied from.
constexpr std::size_t kHistory = std::size_t(128) << 10;

}  // namespace

// One string of the table: the string of `prefix` followed by `suffix`, `length` bytes whose
// first (up to) 8 are held in `bytes`, first byte lowest. `at` is where in the decoded output
// (counted from the start of the strip) a longer string was last written; while that is
// still in the buffer the string is copied from there, otherwise it is rebuilt through its
// prefix chain down to a prefix of 8 bytes.
struct TLzwEntry {
  std::uint64_t bytes;
  std::int64_t at;
  std::uint16_t prefix;
  std::uint16_t length;
  std::uint8_t suffix;
};

struct TLzwDecoderState {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::size_t pos = 0;    // next byte to load into the bit accumulator
  std::uint64_t acc = 0;  // pending bits (low bits MSB-first; LSB-first for compat)
  int accBits = 0;
  bool compat = false;

  std::int32_t rowLength = 0;
  // Decoded bytes (left uninitialised: every byte handed out is written first); the next
  // row starts at outStart.
  std::unique_ptr<std::uint8_t[]> out;
  std::size_t outSize = 0;
  std::size_t outStart = 0;
  std::size_t outEnd = 0;
  std::size_t fillLimit = 0;  // decode while outEnd < fillLimit (room for the longest string)
  std::int64_t base = 0;      // output position of out[0]

  TLzwEntry table[kTableSize];
  int next = kFirstFree;
  int width = kMinWidth;
  int prev = -1;  // previous code, -1 right after Clear or at the start

  bool ended = false;  // End Of Information or the end of the strip was met
  TVlStatus fault;     // a bad code met while decoding ahead
  TVlStatus status;    // why the last call returned nullptr
};

namespace {

// Stores the 8 bytes of `v`, lowest first, at p.
inline void Store8(std::uint8_t* p, std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::big)
    v = __builtin_bswap64(v);
  std::memcpy(p, &v, 8);
}

// Decodes codes until the buffer is full to its limit, the codes end, or a fault is met.
// The hot state lives in locals: byte stores into the output could alias the state's fields.
template <bool Compat>
void Fill(TLzwDecoderState& s) {
  const std::uint8_t* const data = s.data;
  const std::size_t size = s.size;
  std::size_t pos = s.pos;
  std::uint64_t acc = s.acc;
  int accBits = s.accBits;
  std::uint8_t* const out = s.out.get();
  std::size_t outEnd = s.outEnd;
  const std::size_t limit = s.fillLimit;
  const std::int64_t base = s.base;
  TLzwEntry* const t = s.table;
  int next = s.next, width = s.width, prev = s.prev;

  while (outEnd < limit) {
    if (accBits < width) {
      if constexpr (Compat) {
        while (accBits <= 56 && pos < size) {
          acc |= std::uint64_t(data[pos++]) << accBits;
          accBits += 8;
        }
      } else {
        while (accBits <= 56 && pos < size) {
          acc = (acc << 8) | data[pos++];
          accBits += 8;
        }
      }
      if (accBits < width) {
        s.ended = true;  // a strip that ends early ends like End Of Information
        break;
      }
    }
    int code;
    if constexpr (Compat) {
      code = int(acc & ((1u << width) - 1));
      acc >>= width;
    } else {
      code = int((acc >> (accBits - width)) & ((1u << width) - 1));
    }
    accBits -= width;

    if (code == kClear) {
      next = kFirstFree;
      width = kMinWidth;
      prev = -1;
      continue;
    }
    if (code == kEndOfInformation) {
      s.ended = true;
      break;
    }
    if (prev < 0) {
      // First code of the strip or after Clear: a plain byte; nothing is defined.
      if (code >= kFirstFree) {
        s.fault = TVlStatus::BadData("LZW first code beyond the byte codes");
        break;
      }
      out[outEnd++] = std::uint8_t(code);
      prev = code;
      continue;
    }
    const std::size_t at = outEnd;
    const TLzwEntry& pe = t[prev];
    const int prevLength = pe.length;
    std::uint8_t first;  // first byte of this code's string
    if (code < next) {
      // The first 8 bytes come from the entry itself; a longer string is copied from where
      // it was last written, or rebuilt backwards through its prefixes.
      TLzwEntry& e = t[code];
      const std::size_t len = e.length;
      Store8(out + at, e.bytes);
      if (len > 8) {
        if (e.at >= base) {
          std::memcpy(out + at, out + (e.at - base), len);
        } else {
          std::uint8_t* p = out + at + len;
          int c = code;
          while (t[c].length > 8) {
            *--p = t[c].suffix;
            c = t[c].prefix;
          }
        }
        e.at = base + std::int64_t(at);
      }
      first = std::uint8_t(e.bytes);
      outEnd += len;
    } else if (code == next) {
      // The string being defined by this very code: prev's string and its own first byte.
      first = std::uint8_t(pe.bytes);
      if (prevLength < 8) {
        const std::uint64_t v = pe.bytes | std::uint64_t(first) << (8 * prevLength);
        Store8(out + at, v);
      } else {
        std::memmove(out + at, out + at - prevLength, std::size_t(prevLength));
        out[at + std::size_t(prevLength)] = first;
      }
      outEnd += std::size_t(prevLength) + 1;
    } else {
      s.fault = TVlStatus::BadData("LZW code beyond table");
      break;
    }
    // Define prev's string + the first byte of this one; it lies in the output just before.
    if (next < kTableSize) {
      TLzwEntry& e = t[next];
      e.bytes = prevLength < 8 ? pe.bytes | std::uint64_t(first) << (8 * prevLength) : pe.bytes;
      e.at = base + std::int64_t(at) - prevLength;
      e.prefix = std::uint16_t(prev);
      e.length = std::uint16_t(prevLength + 1);
      e.suffix = first;
      ++next;
      // Early change: the width grows when next + 1 reaches 2^width (compat: when next does).
      if ((Compat ? next : next + 1) >= (1 << width) && width < kMaxWidth)
        ++width;
    } else if (!Compat) {
      // The old variant's coders stop defining strings once the table is full and go on
      // with the codes they have; TIFF LZW coders clear the table before that.
      s.fault = TVlStatus::BadData("LZW string table overflow");
      break;
    }
    prev = code;
  }
  s.pos = pos;
  s.acc = acc;
  s.accBits = accBits;
  s.outEnd = outEnd;
  s.next = next;
  s.width = width;
  s.prev = prev;
}

TLzwDecoderState* CreateDecoder(const std::uint8_t* data, std::size_t dataLength, std::int32_t rowLength) {
  if (rowLength < 1)
    return nullptr;
  auto s = std::unique_ptr<TLzwDecoderState>(new (std::nothrow) TLzwDecoderState);
  if (!s)
    return nullptr;
  s->data = data;
  s->size = data ? dataLength : 0;
  s->rowLength = rowLength;
  const std::size_t row = std::size_t(rowLength);
  const std::size_t rows = std::clamp<std::size_t>(kAheadBytes / row, 1, kAheadRows);
  s->fillLimit = kHistory + row * rows;
  s->outSize = s->fillLimit + kMaxString + kSlack;
  s->out.reset(new (std::nothrow) std::uint8_t[s->outSize]);
  if (!s->out)
    return nullptr;
  for (int i = 0; i < 256; ++i) s->table[i] = TLzwEntry{std::uint64_t(i), 0, 0, 1, std::uint8_t(i)};
  // A Clear code first: 0x80 .. MSB-first; 0x00 then a set low bit LSB-first.
  s->compat = s->size >= 2 && s->data[0] == 0x00 && (s->data[1] & 1) != 0;
  return s.release();
}

}  // namespace

const std::uint8_t* TIFFLzwDecode(const std::uint8_t* data, std::size_t dataLength, std::int32_t rowLength,
                                  TLzwDecoderState*& state) {
  if (!data) {
    delete state;
    state = nullptr;
    return nullptr;
  }
  if (!state) {
    state = CreateDecoder(data, dataLength, rowLength);
    if (!state)
      return nullptr;
  }
  TLzwDecoderState& s = *state;
  const std::size_t row = std::size_t(s.rowLength);
  if (s.outEnd - s.outStart < row && !s.ended && s.fault.ok()) {
    // Keep the surplus bytes and some history before them; decode more behind them.
    const std::size_t from = s.outStart > kHistory ? s.outStart - kHistory : 0;
    if (from > 0) {
      std::memmove(s.out.get(), s.out.get() + from, s.outEnd - from);
      s.base += std::int64_t(from);
      s.outStart -= from;
      s.outEnd -= from;
    }
    if (s.compat)
      Fill<true>(s);
    else
      Fill<false>(s);
  }
  const std::size_t have = s.outEnd - s.outStart;
  if (have >= row) {
    const std::uint8_t* r = s.out.get() + s.outStart;
    s.outStart += row;
    return r;
  }
  if (!s.fault.ok()) {
    s.status = s.fault;
    return nullptr;
  }
  if (have > 0) {
    // The codes end inside this row: the rest of the row reads as zero bytes.
    if (s.outStart + row > s.outSize) {
      std::memmove(s.out.get(), s.out.get() + s.outStart, have);
      s.outStart = 0;
      s.outEnd = have;
    }
    std::memset(s.out.get() + s.outEnd, 0, row - have);
    const std::uint8_t* r = s.out.get() + s.outStart;
    s.outStart = s.outEnd;
    return r;
  }
  s.status = TVlStatus::Truncated("LZW data ended before the row");
  return nullptr;
}

TVlStatus LzwDecodeStatus(const TLzwDecoderState* state) {
  if (!state)
    return TVlStatus::LimitExceeded("LZW decoder could not be created");
  return state->status;
}

bool LzwDecoderIsCompat(const TLzwDecoderState* state) {
  return state && state->compat;
}

// ---------------------------------------------------------------------------------------------
// Encoder

namespace {
constexpr int kHashSize = 5003;  // a prime a little above 4096 x 1.2
constexpr int kLastStored = 4093;
constexpr int kBlockSize = 254;
}  // namespace

struct TLzwEncoderState {
  std::int32_t hashKey[kHashSize];  // prefix + 4096 * byte, -1 for an empty slot
  std::uint16_t hashCode[kHashSize];
  int prefix = -1;
  int next = kFirstFree;
  int width = kMinWidth;
  int maxCode = (1 << kMinWidth) - 1;
  std::uint32_t acc = 0;  // pending bits from the most significant end
  int accBits = 0;
  std::uint8_t block[kBlockSize];
  int blockLen = 0;
  bool failed = false;
};

namespace {

void ClearHash(TLzwEncoderState& s) {
  std::memset(s.hashKey, 0xff, sizeof s.hashKey);
}

inline void FlushBlock(TLzwEncoderState& s, TVlStream& out) {
  if (s.blockLen > 0 && !s.failed && !out.WriteAll(s.block, s.blockLen))
    s.failed = true;
  s.blockLen = 0;
}

inline void PutCode(TLzwEncoderState& s, TVlStream& out, int code) {
  s.acc |= std::uint32_t(code) << (32 - s.accBits - s.width);
  s.accBits += s.width;
  while (s.accBits >= 8) {
    s.block[s.blockLen++] = std::uint8_t(s.acc >> 24);
    s.acc <<= 8;
    s.accBits -= 8;
    if (s.blockLen == kBlockSize)
      FlushBlock(s, out);
  }
}

inline void ResetEncoderTable(TLzwEncoderState& s) {
  ClearHash(s);
  s.next = kFirstFree;
  s.width = kMinWidth;
  s.maxCode = (1 << kMinWidth) - 1;
}

// After a code is written with an entry added: one bit more once the new code needs it.
inline void GrowAfterAdd(TLzwEncoderState& s) {
  if (s.next > s.maxCode && s.width < kMaxWidth) {
    ++s.width;
    s.maxCode = s.width == kMaxWidth ? kTableSize - 1 : (1 << s.width) - 1;
  }
}

// Codes the bytes [p, end) with the prefix carried in the state. The hot state lives in
// locals while the loop runs (byte stores into the block could alias the state's fields).
void EncodeBytes(TLzwEncoderState& s, TVlStream& out, const std::uint8_t* p, const std::uint8_t* end) {
  int ent = s.prefix;
  if (ent < 0) {
    if (p == end)
      return;
    ent = *p++;
  }
  std::int32_t* const hashKey = s.hashKey;
  std::uint16_t* const hashCode = s.hashCode;
  std::uint8_t* const block = s.block;
  std::uint32_t acc = s.acc;
  int accBits = s.accBits, blockLen = s.blockLen;
  int next = s.next, width = s.width, maxCode = s.maxCode;
  auto put = [&](int code) {
    acc |= std::uint32_t(code) << (32 - accBits - width);
    accBits += width;
    while (accBits >= 8) {
      block[blockLen++] = std::uint8_t(acc >> 24);
      acc <<= 8;
      accBits -= 8;
      if (blockLen == kBlockSize) {
        s.blockLen = blockLen;
        FlushBlock(s, out);
        blockLen = 0;
      }
    }
  };
  while (p < end) {
    const int c = *p++;
    const std::int32_t key = (std::int32_t(c) << 12) + ent;
    int slot = (c << 4) ^ ent;
    std::int32_t k = hashKey[slot];
    if (k == key) {
      ent = hashCode[slot];
      continue;
    }
    if (k >= 0) {
      // Collision: probe backwards by a fixed step until the key or an empty slot.
      const int disp = slot == 0 ? 1 : kHashSize - slot;
      do {
        slot -= disp;
        if (slot < 0)
          slot += kHashSize;
        k = hashKey[slot];
      } while (k != key && k >= 0);
      if (k == key) {
        ent = hashCode[slot];
        continue;
      }
    }
    // Miss: `slot` is empty. Write the prefix and define prefix + c, or start over.
    put(ent);
    ent = c;
    if (next <= kLastStored) {
      hashKey[slot] = key;
      hashCode[slot] = std::uint16_t(next++);
      if (next > maxCode && width < kMaxWidth) {
        ++width;
        maxCode = (1 << width) - 1;
      }
    } else {
      put(kClear);
      ClearHash(s);
      next = kFirstFree;
      width = kMinWidth;
      maxCode = (1 << kMinWidth) - 1;
    }
  }
  s.prefix = ent;
  s.acc = acc;
  s.accBits = accBits;
  s.blockLen = blockLen;
  s.next = next;
  s.width = width;
  s.maxCode = maxCode;
}

}  // namespace

bool TIFFLzwEncode(const std::uint8_t* row, std::int32_t rowLength, TVlStream& stream, TLzwEncoderState*& state) {
  if (!state) {
    state = new (std::nothrow) TLzwEncoderState;
    if (!state)
      return false;
    ResetEncoderTable(*state);
    PutCode(*state, stream, kClear);
  }
  TLzwEncoderState& s = *state;
  if (row) {
    if (rowLength > 0)
      EncodeBytes(s, stream, row, row + rowLength);
    return !s.failed;
  }
  // Close the strip. The decoder adds an entry when it reads the last code, which may widen
  // the code before End Of Information; follow it.
  if (s.prefix >= 0) {
    PutCode(s, stream, s.prefix);
    if (s.next <= kLastStored) {
      ++s.next;
      GrowAfterAdd(s);
    }
  }
  PutCode(s, stream, kEndOfInformation);
  if (s.accBits > 0) {
    s.block[s.blockLen++] = std::uint8_t(s.acc >> 24);
    s.acc = 0;
    s.accBits = 0;
  }
  FlushBlock(s, stream);
  const bool ok = !s.failed;
  delete state;
  state = nullptr;
  return ok;
}
