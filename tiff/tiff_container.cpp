#include "tiff/tiff_container.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <unordered_set>

#include "imaging/limits.h"

namespace {

std::uint16_t Get16(const std::uint8_t* p, bool le) {
  return le ? static_cast<std::uint16_t>(p[0] | p[1] << 8) : static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

std::uint32_t Get32(const std::uint8_t* p, bool le) {
  return le ? (p[0] | p[1] << 8 | p[2] << 16 | static_cast<std::uint32_t>(p[3]) << 24)
            : (static_cast<std::uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]);
}

void Put16LE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}

void Put32LE(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// The 4 bytes of an entry's value field in file order.
void InlineBytes(const TTIFFDirectory& d, const TTIFFEntry& e, std::uint8_t out[4]) {
  std::uint32_t v = e.value;
  if (d.littleEndian) {
    Put32LE(out, v);
  } else {
    out[0] = static_cast<std::uint8_t>(v >> 24);
    out[1] = static_cast<std::uint8_t>(v >> 16);
    out[2] = static_cast<std::uint8_t>(v >> 8);
    out[3] = static_cast<std::uint8_t>(v);
  }
}

const TTIFFEntry* Find(const TTIFFDirectory& d, std::uint16_t tag) {
  int i = FindTag(d, tag);
  return i < 0 ? nullptr : &d.entries[static_cast<std::size_t>(i)];
}

bool IsIntegerType(std::uint16_t type) {
  switch (type) {
    case 1:
    case 3:
    case 4:
    case 6:
    case 8:
    case 9:
    case 13:
      return true;
    default:
      return false;
  }
}

// Sign-extends the stored bits of one value of a signed integer type.
std::int64_t Extend(std::uint16_t type, std::uint32_t bits) {
  switch (type) {
    case 6:
      return static_cast<std::int8_t>(bits);
    case 8:
      return static_cast<std::int16_t>(bits);
    case 9:
      return static_cast<std::int32_t>(bits);
    default:
      return bits;
  }
}

// The stored bits of element i of an entry of a 1-, 2- or 4-byte type; false when i is outside
// the count or the data lie outside the stream.
bool ElementBits(const TTIFFDirectory& d, const TTIFFEntry& e, std::int64_t i, std::uint32_t& out) {
  std::int64_t sz = TIFFTypeSize(e.type);
  if ((sz != 1 && sz != 2 && sz != 4) || i < 0 || i >= e.count)
    return false;
  std::int64_t pos, size;
  if (!EntryDataLocation(d, e, pos, size))
    return false;
  std::uint8_t b[4];
  if (pos < 0) {
    std::uint8_t in[4];
    InlineBytes(d, e, in);
    std::memcpy(b, in + i * sz, static_cast<std::size_t>(sz));
  } else if (!d.stream->ReadAt(pos + i * sz, b, sz)) {
    return false;
  }
  out = sz == 1 ? b[0] : sz == 2 ? Get16(b, d.littleEndian) : Get32(b, d.littleEndian);
  return true;
}

// Element i of a numeric entry as a double (rationals divided out, a zero denominator as 1).
bool NumberElement(const TTIFFDirectory& d, const TTIFFEntry& e, std::int64_t i, double& out) {
  if (IsIntegerType(e.type)) {
    std::uint32_t bits;
    if (!ElementBits(d, e, i, bits))
      return false;
    out = static_cast<double>(Extend(e.type, bits));
    return true;
  }
  if (e.type == 11) {
    std::uint32_t bits;
    if (!ElementBits(d, e, i, bits))
      return false;
    out = std::bit_cast<float>(bits);
    return true;
  }
  if (e.type != 5 && e.type != 10 && e.type != 12)
    return false;
  std::int64_t pos, size;
  if (i < 0 || i >= e.count || !EntryDataLocation(d, e, pos, size) || pos < 0)
    return false;
  std::uint8_t b[8];
  if (!d.stream->ReadAt(pos + 8 * i, b, 8))
    return false;
  bool le = d.littleEndian;
  if (e.type == 12) {
    std::uint64_t w0 = Get32(b, le), w1 = Get32(b + 4, le);  // first and second word in the file
    std::uint64_t bits = le ? (w1 << 32 | w0) : (w0 << 32 | w1);
    out = std::bit_cast<double>(bits);
    return true;
  }
  std::uint32_t num = Get32(b, le), den = Get32(b + 4, le);
  if (e.type == 5) {
    out = static_cast<double>(num) / static_cast<double>(den ? den : 1);
  } else {
    std::int32_t sn = static_cast<std::int32_t>(num), sd = static_cast<std::int32_t>(den);
    out = static_cast<double>(sn) / static_cast<double>(sd ? sd : 1);
  }
  return true;
}

// Converts `count` values of `type` in place from the file's byte order to little-endian.
void ValuesToLittleEndian(std::uint8_t* p, std::uint16_t type, std::int64_t count, bool le) {
  if (le)
    return;
  std::int64_t unit = TIFFTypeSize(type);
  if (type == 5 || type == 10) {  // two LONGs per value
    unit = 4;
    count *= 2;
  }
  if (unit < 2)
    return;
  for (std::int64_t k = 0; k < count; ++k) std::reverse(p + k * unit, p + (k + 1) * unit);
}

}  // namespace

// ---- header ----

TVlStatus ReadTIFFHeader(TVlStream& stream, std::int64_t base, TTIFFHeader& header) {
  std::uint8_t b[8];
  if (base < 0 || !stream.ReadAt(base, b, 8))
    return TVlStatus::Truncated("TIFF header shorter than 8 bytes");
  if (b[0] == 'I' && b[1] == 'I')
    header.littleEndian = true;
  else if (b[0] == 'M' && b[1] == 'M')
    header.littleEndian = false;
  else
    return TVlStatus::BadData("not a TIFF byte-order mark");
  header.version = Get16(b + 2, header.littleEndian);
  header.firstOffset = Get32(b + 4, header.littleEndian);
  if (header.version == 43)
    return TVlStatus::Unsupported("BigTIFF is not supported");
  if (header.version != 42)
    return TVlStatus::BadData("TIFF version is not 42");
  return TVlStatus::Ok();
}

// ---- chain walk ----

TTIFFChainWalker::TTIFFChainWalker(TVlStream& stream, std::int64_t base, bool littleEndian, std::uint32_t firstOffset)
    : s_(stream), base_(base), size_(stream.Size()), le_(littleEndian), pending_(firstOffset), pendingLink_(base + 4) {
  endLink_ = pendingLink_;
}

bool TTIFFChainWalker::Visited(std::uint32_t offset) const {
  return visited_.count(offset) != 0;
}

bool TTIFFChainWalker::Next() {
  if (end_ != TTIFFChainEnd::none)
    return false;
  const std::uint32_t off = pending_;
  auto finish = [&](TTIFFChainEnd why) {
    end_ = why;
    endLink_ = pendingLink_;
    return false;
  };
  if (off == 0)
    return finish(pendingReason_);
  if (count_ >= kTIFFMaxDirectories)
    return finish(TTIFFChainEnd::tooManyDirectories);
  if (off < 8 || base_ + off >= size_)
    return finish(TTIFFChainEnd::badLink);
  std::uint8_t b[4];
  const std::int64_t at = base_ + off;
  if (!s_.ReadAt(at, b, 2))
    return finish(TTIFFChainEnd::truncated);
  const std::uint16_t n = Get16(b, le_);
  if (n == 0)
    return finish(TTIFFChainEnd::emptyDirectory);
  const std::int64_t linkAt = at + 2 + 12 * static_cast<std::int64_t>(n);
  if (linkAt >= size_)
    return finish(TTIFFChainEnd::truncated);
  std::uint32_t next = 0;
  if (s_.ReadAt(linkAt, b, 4))
    next = Get32(b, le_);

  step_.index = count_;
  step_.offset = off;
  step_.linkPosition = pendingLink_;
  step_.entryCount = n;
  step_.entriesPosition = at + 2;
  step_.nextLinkPosition = linkAt;
  ++count_;
  visited_.insert(off);

  // A link that cannot lead to a new directory ends the chain here.
  pendingReason_ = TTIFFChainEnd::endOfChain;
  if (next != 0 && (next == off || Visited(next))) {
    next = 0;
    pendingReason_ = TTIFFChainEnd::loop;
  } else if (next != 0 && (next < 8 || base_ + next >= size_)) {
    next = 0;
    pendingReason_ = TTIFFChainEnd::badLink;
  }
  step_.nextOffset = next;
  pending_ = next;
  pendingLink_ = linkAt;
  return true;
}

bool ReadDirectoryChain(std::int32_t index, std::uint32_t firstOffset, TTIFFDirectory& directory,
                        std::int32_t& directoryCount) {
  directory.entries.clear();
  directory.entryCount = 0;
  directoryCount = 0;
  if (!directory.stream)
    return false;
  TVlStream& s = *directory.stream;
  TTIFFChainWalker walker(s, directory.base, directory.littleEndian, firstOffset);
  bool loaded = false;
  std::vector<std::uint8_t> raw;
  while (walker.Next()) {
    const TTIFFChainStep& st = walker.Step();
    if (st.index != index)
      continue;
    raw.resize(static_cast<std::size_t>(st.entryCount) * 12);
    if (!s.ReadAt(st.entriesPosition, raw.data(), static_cast<std::int64_t>(raw.size())))
      continue;  // cannot happen: the walker saw the entries end inside the stream
    directory.entries.resize(st.entryCount);
    const bool le = directory.littleEndian;
    for (std::size_t k = 0; k < st.entryCount; ++k) {
      const std::uint8_t* p = raw.data() + 12 * k;
      TTIFFEntry& e = directory.entries[k];
      e.tag = Get16(p, le);
      e.type = Get16(p + 2, le);
      e.count = Get32(p + 4, le);
      e.value = Get32(p + 8, le);
    }
    directory.entryCount = st.entryCount;
    loaded = true;
  }
  directoryCount = walker.Count();
  return loaded;
}

// ---- accessors ----

int FindTag(const TTIFFDirectory& directory, std::uint16_t tag) {
  for (std::size_t i = 0; i < directory.entries.size(); ++i)
    if (directory.entries[i].tag == tag)
      return static_cast<int>(i);
  return -1;
}

bool EntryDataLocation(const TTIFFDirectory& directory, const TTIFFEntry& entry, std::int64_t& position,
                       std::int64_t& size) {
  std::int64_t sz = TIFFTypeSize(entry.type);
  if (sz == 0)
    return false;
  size = sz * static_cast<std::int64_t>(entry.count);  // at most 8 * (2^32 - 1)
  if (size <= 4) {
    position = -1;
    return true;
  }
  if (!directory.stream)
    return false;
  position = directory.base + static_cast<std::int64_t>(entry.value);
  return position >= 0 && size <= directory.stream->Size() - position;
}

std::int32_t GetIntTag(const TTIFFDirectory& directory, std::uint16_t tag, std::int32_t defaultValue) {
  const TTIFFEntry* e = Find(directory, tag);
  if (!e || e->count == 0 || TIFFTypeSize(e->type) == 0)
    return defaultValue;
  if (!IsIntegerType(e->type))
    return static_cast<std::int32_t>(e->value);
  std::uint32_t bits;
  if (!ElementBits(directory, *e, 0, bits))
    return defaultValue;
  return static_cast<std::int32_t>(Extend(e->type, bits));
}

std::uint32_t GetInlineValue(const TTIFFDirectory& directory, const TTIFFEntry& entry) {
  std::uint8_t b[4];
  InlineBytes(directory, entry, b);
  switch (entry.type) {
    case 1:
      return b[0];
    case 6:
      return static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<std::int8_t>(b[0])));
    case 3:
      return Get16(b, directory.littleEndian);
    case 8:
      return static_cast<std::uint32_t>(
          static_cast<std::int32_t>(static_cast<std::int16_t>(Get16(b, directory.littleEndian))));
    default:
      return entry.value;
  }
}

double GetRationalTag(const TTIFFDirectory& directory, std::uint16_t tag) {
  return GetRationalElement(directory, tag, 0);
}

double GetRationalElement(const TTIFFDirectory& directory, std::uint16_t tag, std::int32_t i) {
  const TTIFFEntry* e = Find(directory, tag);
  double v;
  if (!e || !NumberElement(directory, *e, i, v))
    return 0.0;
  return v;
}

std::int32_t GetArrayElement(const TTIFFDirectory& directory, std::uint16_t tag, std::int32_t i) {
  const TTIFFEntry* e = Find(directory, tag);
  if (!e || (e->type != 3 && e->type != 4 && e->type != 13) || e->count == 0)
    return 0;
  if (e->count == 1)
    return static_cast<std::int32_t>(GetInlineValue(directory, *e));
  std::uint32_t bits;
  if (!ElementBits(directory, *e, i, bits))
    return 0;
  return static_cast<std::int32_t>(bits);
}

std::int32_t GetIntArrayTag(const TTIFFDirectory& directory, std::uint16_t tag, std::vector<std::int32_t>& values) {
  values.clear();
  const TTIFFEntry* e = Find(directory, tag);
  std::int64_t pos, size;
  if (!e || e->count == 0 || !EntryDataLocation(directory, *e, pos, size))
    return 0;
  if (e->count == 1) {
    values.push_back(static_cast<std::int32_t>(GetInlineValue(directory, *e)));
    return 1;
  }
  if (e->count > static_cast<std::uint32_t>(INT32_MAX) || !CheckBufferSize(size).ok() ||
      !CheckBufferSize(static_cast<std::int64_t>(e->count) * 4).ok())
    return 0;
  const std::size_t n = e->count;
  if (e->type != 3 && e->type != 4 && e->type != 13) {
    values.assign(n, 0);
    return static_cast<std::int32_t>(n);
  }
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(size));
  if (pos < 0) {
    std::uint8_t b[4];
    InlineBytes(directory, *e, b);
    std::memcpy(raw.data(), b, raw.size());
  } else if (!directory.stream->ReadAt(pos, raw.data(), size)) {
    return 0;
  }
  values.resize(n);
  const bool le = directory.littleEndian;
  if (e->type == 3)
    for (std::size_t k = 0; k < n; ++k) values[k] = Get16(raw.data() + 2 * k, le);
  else
    for (std::size_t k = 0; k < n; ++k) values[k] = static_cast<std::int32_t>(Get32(raw.data() + 4 * k, le));
  return static_cast<std::int32_t>(n);
}

bool GetRawTag(const TTIFFDirectory& directory, std::uint16_t tag, std::vector<std::uint8_t>& bytes) {
  bytes.clear();
  const TTIFFEntry* e = Find(directory, tag);
  std::int64_t pos, size;
  if (!e || !EntryDataLocation(directory, *e, pos, size) || !CheckBufferSize(size).ok())
    return false;
  bytes.resize(static_cast<std::size_t>(size));
  if (pos < 0) {
    std::uint8_t b[4];
    InlineBytes(directory, *e, b);
    if (!bytes.empty())
      std::memcpy(bytes.data(), b, bytes.size());
    return true;
  }
  if (!directory.stream->ReadAt(pos, bytes.data(), size)) {
    bytes.clear();
    return false;
  }
  return true;
}

namespace {
// `count` bytes of an entry taken as text bytes: inline for counts up to 4, else at the offset
// (which must hold them). False for counts above 0xFFFFF.
bool TextBytes(const TTIFFDirectory& d, const TTIFFEntry& e, std::string& out) {
  out.clear();
  if (e.count > 0xFFFFF)
    return false;
  if (e.count <= 4) {
    std::uint8_t b[4];
    InlineBytes(d, e, b);
    out.assign(reinterpret_cast<const char*>(b), e.count);
    return true;
  }
  if (!d.stream)
    return false;
  std::int64_t pos = d.base + static_cast<std::int64_t>(e.value);
  if (pos < 0 || e.count > d.stream->Size() - pos)
    return false;
  out.resize(e.count);
  if (!d.stream->ReadAt(pos, out.data(), e.count)) {
    out.clear();
    return false;
  }
  return true;
}
}  // namespace

std::string GetStringTag(const TTIFFDirectory& directory, std::uint16_t tag) {
  const TTIFFEntry* e = Find(directory, tag);
  std::string s;
  if (!e || e->count == 0 || !TextBytes(directory, *e, s))
    return {};
  if (e->count > 4 && !s.empty() && s.back() == '\0')
    s.pop_back();
  return s;
}

std::u16string GetWideStringTag(const TTIFFDirectory& directory, std::uint16_t tag) {
  const TTIFFEntry* e = Find(directory, tag);
  std::string s;
  if (!e || e->count == 0 || !TextBytes(directory, *e, s))
    return {};
  std::u16string w;
  w.reserve(s.size() / 2);
  for (std::size_t k = 0; k + 1 < s.size(); k += 2) {
    char16_t u = static_cast<char16_t>(static_cast<std::uint8_t>(s[k]) | static_cast<std::uint8_t>(s[k + 1]) << 8);
    if (u == 0)
      break;
    w.push_back(u);
  }
  return w;
}

// ---- maker note ----

void LoadMakerNote(const TTIFFDirectory& directory, std::uint16_t tag, TVlTagsHandler& handler) {
  handler.Clear();
  const TTIFFEntry* e = Find(directory, tag);
  std::int64_t pos, size;
  if (!e || !EntryDataLocation(directory, *e, pos, size) || pos < 0 || !CheckBufferSize(size).ok())
    return;
  TVlStream& s = *directory.stream;
  const std::int64_t streamSize = s.Size();
  std::vector<std::uint8_t> block(static_cast<std::size_t>(size));
  if (!s.ReadAt(pos, block.data(), size))
    return;
  const bool le = directory.littleEndian;
  if (size < 2)
    return;
  const std::int64_t k = Get16(block.data(), le);
  if (k > 256 || 2 + 12 * k > size)
    return;

  struct Item {
    TTIFFEntry entry;
    std::vector<std::uint8_t> data;  // out-of-line data, little-endian
  };
  std::vector<Item> items;
  std::int64_t dataTotal = 0;
  for (std::int64_t j = 0; j < k; ++j) {
    const std::uint8_t* p = block.data() + 2 + 12 * j;
    Item it;
    it.entry.tag = Get16(p, le);
    it.entry.type = Get16(p + 2, le);
    it.entry.count = Get32(p + 4, le);
    const std::int64_t tsz = TIFFTypeSize(it.entry.type);
    if (tsz == 0)
      break;  // an unknown type ends the directory; what came before stands
    const std::int64_t dsize = tsz * static_cast<std::int64_t>(it.entry.count);
    if (dsize <= 4) {
      std::uint8_t v[4];
      std::memcpy(v, p + 8, 4);
      ValuesToLittleEndian(v, it.entry.type, it.entry.count, le);
      it.entry.value = Get32(v, true);
    } else {
      const std::uint32_t off = Get32(p + 8, le);
      const std::int64_t at = directory.base + off;
      if (off == 0 || it.entry.count >= streamSize || at < 0 || dsize > streamSize - at ||
          dataTotal + dsize > streamSize)
        continue;
      it.data.resize(static_cast<std::size_t>(dsize));
      if (!s.ReadAt(at, it.data.data(), dsize))
        continue;
      ValuesToLittleEndian(it.data.data(), it.entry.type, it.entry.count, le);
      dataTotal += dsize;
    }
    items.push_back(std::move(it));
  }

  const std::int64_t m = static_cast<std::int64_t>(items.size());
  const std::int64_t tableSize = 2 + 12 * m + 4;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(tableSize), 0);
  Put16LE(out.data(), static_cast<std::uint32_t>(m));
  for (std::int64_t j = 0; j < m; ++j) {
    Item& it = items[static_cast<std::size_t>(j)];
    if (!it.data.empty()) {
      it.entry.value = static_cast<std::uint32_t>(out.size());
      out.insert(out.end(), it.data.begin(), it.data.end());
    }
    std::uint8_t* p = out.data() + 2 + 12 * j;
    Put16LE(p, it.entry.tag);
    Put16LE(p + 2, it.entry.type);
    Put32LE(p + 4, it.entry.count);
    Put32LE(p + 8, it.entry.value);
  }
  handler.Stream() = TVlMemoryStream(std::move(out));
  handler.Parse();
}

// ---- content tests ----

namespace {
// Header and first directory of the stream at its current position (the base).
bool LoadFirstDirectory(TVlStream& s, TTIFFHeader& header, TTIFFDirectory& dir) {
  const std::int64_t base = s.Position();
  if (!ReadTIFFHeader(s, base, header).ok())
    return false;
  dir.stream = &s;
  dir.base = base;
  dir.littleEndian = header.littleEndian;
  TTIFFChainWalker walker(s, base, header.littleEndian, header.firstOffset);
  if (!walker.Next())
    return false;
  const TTIFFChainStep& st = walker.Step();
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(st.entryCount) * 12);
  if (!s.ReadAt(st.entriesPosition, raw.data(), static_cast<std::int64_t>(raw.size())))
    return false;
  dir.entries.resize(st.entryCount);
  for (std::size_t k = 0; k < st.entryCount; ++k) {
    const std::uint8_t* p = raw.data() + 12 * k;
    dir.entries[k] = {Get16(p, dir.littleEndian), Get16(p + 2, dir.littleEndian), Get32(p + 4, dir.littleEndian),
                      Get32(p + 8, dir.littleEndian)};
  }
  dir.entryCount = st.entryCount;
  return true;
}
}  // namespace

bool IsTIFFStream(TVlStream& stream) {
  TVlStreamRestore restore(stream);
  const std::int64_t base = restore.Start();
  const std::int64_t size = stream.Size();
  if (size - base <= 8)
    return false;
  TTIFFHeader h;
  if (!ReadTIFFHeader(stream, base, h).ok() || base + static_cast<std::int64_t>(h.firstOffset) >= size)
    return false;
  if (!h.littleEndian) {
    std::uint8_t b8 = 0;
    if (!stream.ReadAt(base + 8, &b8, 1) || b8 == 0xBA)
      return false;
  }
  stream.Seek(base);
  TTIFFDirectory d;
  if (!LoadFirstDirectory(stream, h, d))
    return false;
  return FindTag(d, kTagImageWidth) >= 0 && FindTag(d, kTagImageLength) >= 0;
}

bool IsCameraRawTIFF(TVlStream& stream) {
  TVlStreamRestore restore(stream);
  TTIFFHeader h;
  TTIFFDirectory d;
  if (!LoadFirstDirectory(stream, h, d))
    return false;
  int i = FindTag(d, kTagDNGVersion);
  if (i >= 0 && d.entries[static_cast<std::size_t>(i)].type == 1 && d.entries[static_cast<std::size_t>(i)].count == 4)
    return true;
  i = FindTag(d, kTagPhotometric);
  if (i >= 0) {
    const TTIFFEntry& e = d.entries[static_cast<std::size_t>(i)];
    if (e.type == 3 && e.count == 1) {
      std::uint32_t v = GetInlineValue(d, e);
      if (v == 32803 || v == 34892)
        return true;
    }
  }
  return FindTag(d, kTagSubIFDs) >= 0 && FindTag(d, kTagTIFFEPStandardID) >= 0 &&
         GetIntTag(d, kTagImageWidth, 0) < 200 && GetIntTag(d, kTagImageLength, 0) < 200;
}

// ---- writing ----

bool WriteChecked(TVlStream& stream, std::atomic<bool>& abort, const void* data, std::int64_t length) {
  if (length <= 0)
    return true;
  if (stream.Write(data, length) != length) {
    abort = true;
    return false;
  }
  return true;
}

std::int64_t AlignToWord(TVlStream& stream, std::atomic<bool>& abort) {
  if (stream.Position() & 1) {
    const std::uint8_t zero = 0;
    WriteChecked(stream, abort, &zero, 1);
  }
  return stream.Position();
}

void AddDataEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::uint16_t type, std::uint32_t count,
                  const void* bytes, std::atomic<bool>& abort) {
  TTIFFEntry e{tag, type, count, 0};
  const std::int64_t size = TIFFTypeSize(type) * static_cast<std::int64_t>(count);
  if (size <= 4) {
    std::uint8_t v[4] = {0, 0, 0, 0};
    if (size > 0)
      std::memcpy(v, bytes, static_cast<std::size_t>(size));
    e.value = Get32(v, true);
  } else {
    const std::int64_t pos = AlignToWord(stream, abort);
    if (pos > static_cast<std::int64_t>(UINT32_MAX) - size)
      abort = true;  // offsets of a classic TIFF file are 32-bit
    WriteChecked(stream, abort, bytes, size);
    e.value = static_cast<std::uint32_t>(pos);
  }
  list.push_back(e);
}

void AddLongEntry(TTIFFEntryList& list, std::uint16_t tag, std::uint32_t value) {
  list.push_back({tag, 4, 1, value});
}

void AddShortEntry(TTIFFEntryList& list, std::uint16_t tag, std::uint16_t value) {
  list.push_back({tag, 3, 1, value});
}

void AddByteEntry(TTIFFEntryList& list, std::uint16_t tag, std::uint8_t value) {
  list.push_back({tag, 1, 1, value});
}

void AddInlineStringEntry(TTIFFEntryList& list, std::uint16_t tag, const std::string& text) {
  const std::size_t n = std::min<std::size_t>(4, text.size());
  std::uint8_t v[4] = {0, 0, 0, 0};
  std::memcpy(v, text.data(), n);
  list.push_back({tag, 2, static_cast<std::uint32_t>(n), Get32(v, true)});
}

void AddStringEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                    const std::string& text) {
  if (text.empty())
    return;
  if (text.size() <= 4) {
    AddInlineStringEntry(list, tag, text);
    return;
  }
  if (text.size() >= UINT32_MAX) {
    abort = true;
    return;
  }
  std::string z = text;
  z.push_back('\0');
  AddDataEntry(list, stream, tag, 2, static_cast<std::uint32_t>(z.size()), z.data(), abort);
}

void AddRationalEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                      std::uint32_t denominator, std::uint32_t numerator) {
  std::uint8_t b[8];
  Put32LE(b, numerator);
  Put32LE(b + 4, denominator);
  AddDataEntry(list, stream, tag, 5, 1, b, abort);
}

void AddSRationalEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                       std::int32_t denominator, std::int32_t numerator) {
  std::uint8_t b[8];
  Put32LE(b, static_cast<std::uint32_t>(numerator));
  Put32LE(b + 4, static_cast<std::uint32_t>(denominator));
  AddDataEntry(list, stream, tag, 10, 1, b, abort);
}

void AddRationalArrayEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                           std::int32_t last, const std::uint32_t* values) {
  const std::int32_t count = last >= 0 ? (last + 1) / 2 : 0;
  std::vector<std::uint8_t> b(static_cast<std::size_t>(count) * 8);
  for (std::int32_t k = 0; k < 2 * count; ++k) Put32LE(b.data() + 4 * k, values[k]);
  AddDataEntry(list, stream, tag, 5, static_cast<std::uint32_t>(count), b.data(), abort);
}

void AddLongArrayEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                       std::int32_t count, const std::uint32_t* values) {
  if (count < 0)
    count = 0;
  std::vector<std::uint8_t> b(static_cast<std::size_t>(count) * 4);
  for (std::int32_t k = 0; k < count; ++k) Put32LE(b.data() + 4 * k, values[k]);
  AddDataEntry(list, stream, tag, 4, static_cast<std::uint32_t>(count), b.data(), abort);
}

void AddShortArrayEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                        std::int32_t last, const std::uint16_t* values) {
  const std::int32_t count = last >= 0 ? last + 1 : 0;
  std::vector<std::uint8_t> b(static_cast<std::size_t>(count) * 2);
  for (std::int32_t k = 0; k < count; ++k) Put16LE(b.data() + 2 * k, values[k]);
  AddDataEntry(list, stream, tag, 3, static_cast<std::uint32_t>(count), b.data(), abort);
}

void AddWideStringEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::atomic<bool>& abort,
                        const std::u16string& text) {
  if (text.empty())
    return;
  if (text.size() >= UINT32_MAX / 2 - 1) {
    abort = true;
    return;
  }
  std::vector<std::uint8_t> b(2 * text.size() + 2, 0);
  for (std::size_t k = 0; k < text.size(); ++k) Put16LE(b.data() + 2 * k, text[k]);
  AddDataEntry(list, stream, tag, 1, static_cast<std::uint32_t>(b.size()), b.data(), abort);
}

void AddMakerNoteEntry(TTIFFEntryList& list, TVlStream& stream, std::uint16_t tag, std::int64_t limit,
                       std::atomic<bool>& abort, const TVlTagsHandler& handler) {
  const TVlMemoryStream& hs = handler.Stream();
  if (hs.Size() < 12)
    return;
  const TTIFFDirectory& hd = handler.Directory();
  const std::uint8_t* src = hs.Data();
  struct Pick {
    TTIFFEntry entry;
    std::int64_t size;
  };
  std::vector<Pick> picks;
  for (const TTIFFEntry& e : hd.entries) {
    const std::int64_t tsz = TIFFTypeSize(e.type);
    if (tsz == 0)
      continue;
    const std::int64_t size = tsz * static_cast<std::int64_t>(e.count);
    if (size >= limit)
      continue;
    if (size > 4 && (static_cast<std::int64_t>(e.value) > hs.Size() - size))
      continue;  // data not inside the captured block
    picks.push_back({e, size});
  }
  const std::int64_t start = AlignToWord(stream, abort);
  std::vector<std::uint8_t> block(2 + 12 * picks.size() + 4, 0);
  Put16LE(block.data(), static_cast<std::uint32_t>(picks.size()));
  for (std::size_t j = 0; j < picks.size(); ++j) {
    Pick& p = picks[j];
    if (p.size > 4) {
      if (block.size() & 1)
        block.push_back(0);
      const std::size_t at = block.size();
      block.insert(block.end(), src + p.entry.value, src + p.entry.value + p.size);
      p.entry.value = static_cast<std::uint32_t>(start + static_cast<std::int64_t>(at));
    }
    std::uint8_t* q = block.data() + 2 + 12 * j;
    Put16LE(q, p.entry.tag);
    Put16LE(q + 2, p.entry.type);
    Put32LE(q + 4, p.entry.count);
    Put32LE(q + 8, p.entry.value);
  }
  const std::int64_t size = static_cast<std::int64_t>(block.size());
  if (start > static_cast<std::int64_t>(UINT32_MAX) - size)
    abort = true;
  WriteChecked(stream, abort, block.data(), size);
  list.push_back({tag, 7, static_cast<std::uint32_t>(size), static_cast<std::uint32_t>(start)});
}

void WriteDirectory(TVlStream& stream, std::atomic<bool>& abort, TTIFFEntryList& list, std::uint32_t nextOffset) {
  if (list.size() > 0xFFFF) {
    abort = true;
    list.clear();
    return;
  }
  std::stable_sort(list.begin(), list.end(), [](const TTIFFEntry& a, const TTIFFEntry& b) { return a.tag < b.tag; });
  std::vector<std::uint8_t> b(2 + 12 * list.size() + 4);
  Put16LE(b.data(), static_cast<std::uint32_t>(list.size()));
  for (std::size_t k = 0; k < list.size(); ++k) {
    std::uint8_t* p = b.data() + 2 + 12 * k;
    Put16LE(p, list[k].tag);
    Put16LE(p + 2, list[k].type);
    Put32LE(p + 4, list[k].count);
    Put32LE(p + 8, list[k].value);
  }
  Put32LE(b.data() + b.size() - 4, nextOffset);
  WriteChecked(stream, abort, b.data(), static_cast<std::int64_t>(b.size()));
  list.clear();
}
