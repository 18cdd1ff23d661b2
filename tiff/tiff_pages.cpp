#include "tiff/tiff_pages.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "tiff/tiff_container.h"

namespace {

constexpr int kMaxSubDirectoryDepth = 4;
constexpr int kMaxCopiedDirectories = 256;
constexpr std::uint16_t kTagFreeOffsets = 288;
constexpr std::uint16_t kTagFreeByteCounts = 289;
constexpr std::uint16_t kTagGlobalParametersIFD = 400;

std::uint32_t Get(const std::uint8_t* p, std::int64_t size, bool le) {
  std::uint32_t v = 0;
  for (std::int64_t k = 0; k < size; ++k) v = le ? v | static_cast<std::uint32_t>(p[k]) << (8 * k) : v << 8 | p[k];
  return v;
}

void Put(std::uint8_t* p, std::int64_t size, std::uint32_t v, bool le) {
  for (std::int64_t k = 0; k < size; ++k) p[le ? k : size - 1 - k] = static_cast<std::uint8_t>(v >> (8 * k));
}

bool IsPointerTag(std::uint16_t tag) {
  return tag == kTagSubIFDs || tag == kTagExifIFD || tag == kTagGPSIFD || tag == kTagInteroperabilityIFD ||
         tag == kTagGlobalParametersIFD;
}

bool IsUnsignedIntType(std::uint16_t type) {
  return type == 1 || type == 3 || type == 4 || type == 13;
}

// One entry as read from the source (in host order) and as it will be written.
struct TRawEntry {
  std::uint16_t tag = 0;
  std::uint16_t type = 0;
  std::uint32_t count = 0;
  std::uint8_t field[4] = {0, 0, 0, 0};  // the value field in file order
  bool drop = false;
};

// Copies one page directory and what it points to. Offsets in the target are relative to
// `tbase`; data go where the target position is, each block at an even offset.
class TPageCopier {
 public:
  // `tbase` is the target position of the new file's header.
  TPageCopier(TVlStream& src, std::int64_t base, bool le, TVlStream& dst, std::int64_t tbase)
      : src_(src), base_(base), srcSize_(src.Size()), le_(le), dst_(dst), tbase_(tbase) {
    budget_ = 3 * srcSize_ + 65536;
  }

  // Copies the directory at source offset `offset`; `newOffset` is its offset in the target.
  TVlStatus CopyDirectory(std::uint32_t offset, int depth, std::uint32_t& newOffset);

 private:
  TVlStatus ReadEntries(std::uint32_t offset, std::vector<TRawEntry>& entries);
  // Values of an unsigned integer entry; false when the data do not lie inside the file.
  bool ReadValues(const TRawEntry& e, std::vector<std::uint32_t>& values);
  // Encodes values into the entry (type kept, or widened from SHORT to LONG when a value needs it),
  // inline or as a new block.
  TVlStatus PutValues(TRawEntry& e, const std::vector<std::uint32_t>& values);
  // Copies `length` source bytes at base + `offset` to a new block; `at` is its target offset.
  TVlStatus CopyBlock(std::int64_t offset, std::int64_t length, std::uint32_t& at);
  TVlStatus Align(std::uint32_t& at);
  // Counts `n` bytes about to be written against the budget.
  TVlStatus Spend(std::int64_t n) {
    if (n > budget_)
      return TVlStatus::LimitExceeded("page data larger than the file can hold");
    budget_ -= n;
    return TVlStatus::Ok();
  }
  std::int64_t Available(std::int64_t offset) const {
    std::int64_t a = srcSize_ - (base_ + offset);
    return a > 0 ? a : 0;
  }

  TVlStatus CopyPieces(std::vector<TRawEntry>& entries, std::size_t offsetsIndex, std::uint16_t countsTag,
                       std::map<std::uint32_t, std::uint32_t>& pieceStarts);
  TVlStatus CopyJpegTables(TRawEntry& e);
  TVlStatus CopyPointers(TRawEntry& e, int depth);

  TVlStream& src_;
  std::int64_t base_;
  std::int64_t srcSize_;
  bool le_;
  TVlStream& dst_;
  std::int64_t tbase_;
  std::int64_t budget_;
  int directories_ = 0;
  std::unordered_set<std::uint32_t> visited_;
  std::vector<std::uint8_t> buffer_;
};

TVlStatus TPageCopier::Align(std::uint32_t& at) {
  std::int64_t rel = dst_.Position() - tbase_;
  if (rel & 1) {
    VL_TRY(Spend(1));
    if (!dst_.WriteByte(0))
      return TVlStatus::IoError("short write to the target");
    ++rel;
  }
  if (rel > static_cast<std::int64_t>(UINT32_MAX))
    return TVlStatus::LimitExceeded("target offsets beyond 32 bits");
  at = static_cast<std::uint32_t>(rel);
  return TVlStatus::Ok();
}

TVlStatus TPageCopier::CopyBlock(std::int64_t offset, std::int64_t length, std::uint32_t& at) {
  VL_TRY(Align(at));
  VL_TRY(Spend(length));
  if (length > 0 && !src_.Seek(base_ + offset))
    return TVlStatus::IoError("seek failed in the source");
  buffer_.resize(64 * 1024);
  while (length > 0) {
    const std::int64_t want = std::min<std::int64_t>(length, static_cast<std::int64_t>(buffer_.size()));
    const std::int64_t got = src_.Read(buffer_.data(), want);
    if (got <= 0)
      break;  // the file ended: the block is as long as what was there
    if (!dst_.WriteAll(buffer_.data(), got))
      return TVlStatus::IoError("short write to the target");
    length -= got;
  }
  if (dst_.Position() - tbase_ > static_cast<std::int64_t>(UINT32_MAX))
    return TVlStatus::LimitExceeded("target offsets beyond 32 bits");
  return TVlStatus::Ok();
}

TVlStatus TPageCopier::ReadEntries(std::uint32_t offset, std::vector<TRawEntry>& entries) {
  std::uint8_t b[2];
  const std::int64_t at = base_ + offset;
  if (offset < 8 || !src_.ReadAt(at, b, 2))
    return TVlStatus::BadData("directory offset outside the file");
  const std::int64_t n = Get(b, 2, le_);
  if (n == 0)
    return TVlStatus::BadData("empty directory");
  if (2 + 12 * n > srcSize_ - at)
    return TVlStatus::Truncated("directory entries past the end of the file");
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(12 * n));
  if (!src_.ReadExact(raw.data(), 12 * n))
    return TVlStatus::Truncated("directory entries past the end of the file");
  entries.resize(static_cast<std::size_t>(n));
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const std::uint8_t* p = raw.data() + 12 * k;
    TRawEntry& e = entries[k];
    e.tag = static_cast<std::uint16_t>(Get(p, 2, le_));
    e.type = static_cast<std::uint16_t>(Get(p + 2, 2, le_));
    e.count = Get(p + 4, 4, le_);
    std::memcpy(e.field, p + 8, 4);
  }
  return TVlStatus::Ok();
}

bool TPageCopier::ReadValues(const TRawEntry& e, std::vector<std::uint32_t>& values) {
  values.clear();
  const std::int64_t sz = TIFFTypeSize(e.type);
  if (!IsUnsignedIntType(e.type))
    return false;
  const std::int64_t size = sz * static_cast<std::int64_t>(e.count);
  const std::int64_t off = size > 4 ? Get(e.field, 4, le_) : 0;
  if (size > 4 && size > Available(off))
    return false;  // checked before anything is allocated
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(std::max<std::int64_t>(size, 4)));
  if (size <= 4)
    std::memcpy(raw.data(), e.field, 4);
  else if (!src_.ReadAt(base_ + off, raw.data(), size))
    return false;
  values.resize(e.count);
  for (std::size_t k = 0; k < values.size(); ++k)
    values[k] = Get(raw.data() + sz * static_cast<std::int64_t>(k), sz, le_);
  return true;
}

TVlStatus TPageCopier::PutValues(TRawEntry& e, const std::vector<std::uint32_t>& values) {
  std::uint16_t type = e.type == 13 ? 13 : e.type == 1 ? 1 : e.type == 3 ? 3 : 4;
  const std::uint32_t limit = type == 1 ? 0xFF : type == 3 ? 0xFFFF : UINT32_MAX;
  if (std::any_of(values.begin(), values.end(), [&](std::uint32_t v) { return v > limit; }))
    type = 4;  // widened: a narrow entry cannot hold the new value
  const std::int64_t sz = TIFFTypeSize(type);
  const std::int64_t size = sz * static_cast<std::int64_t>(values.size());
  std::vector<std::uint8_t> raw(static_cast<std::size_t>(std::max<std::int64_t>(size, 4)), 0);
  for (std::size_t k = 0; k < values.size(); ++k)
    Put(raw.data() + sz * static_cast<std::int64_t>(k), sz, values[k], le_);
  e.type = type;
  e.count = static_cast<std::uint32_t>(values.size());
  if (size <= 4) {
    std::memcpy(e.field, raw.data(), 4);
    return TVlStatus::Ok();
  }
  std::uint32_t at;
  VL_TRY(Align(at));
  VL_TRY(Spend(size));
  if (!dst_.WriteAll(raw.data(), size))
    return TVlStatus::IoError("short write to the target");
  Put(e.field, 4, at, le_);
  return TVlStatus::Ok();
}

// Strips or tiles of the offsets entry at `offsetsIndex` with the byte counts of `countsTag`.
TVlStatus TPageCopier::CopyPieces(std::vector<TRawEntry>& entries, std::size_t offsetsIndex, std::uint16_t countsTag,
                                  std::map<std::uint32_t, std::uint32_t>& pieceStarts) {
  TRawEntry& oe = entries[offsetsIndex];
  std::vector<std::uint32_t> offsets;
  if (oe.type != 3 && oe.type != 4)
    return TVlStatus::BadData("strip or tile offsets of a type other than SHORT or LONG");
  if (!ReadValues(oe, offsets))
    return TVlStatus::BadData("strip or tile offsets outside the file");

  TRawEntry* ce = nullptr;  // the last byte-count entry of the pair; earlier ones are dropped
  for (TRawEntry& e : entries)
    if (e.tag == countsTag) {
      if (ce)
        ce->drop = true;
      ce = &e;
    }
  std::vector<std::uint32_t> counts;
  if (ce && !ReadValues(*ce, counts)) {
    ce->drop = true;  // unusable byte counts: lengths come from the offsets
    ce = nullptr;
  }

  std::vector<std::uint32_t> sorted(offsets);
  std::sort(sorted.begin(), sorted.end());
  sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());

  std::map<std::pair<std::uint32_t, std::int64_t>, std::uint32_t> copied;  // same piece once
  std::vector<std::uint32_t> newOffsets(offsets.size());
  std::vector<std::uint32_t> lengths(counts);
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    const std::uint32_t off = offsets[k];
    if (off == 0) {  // a piece that is not there (sparse files): it stays absent
      newOffsets[k] = 0;
      if (k < lengths.size())
        lengths[k] = 0;
      continue;
    }
    std::int64_t len;
    if (k < counts.size()) {
      len = counts[k];
    } else {
      auto next = std::upper_bound(sorted.begin(), sorted.end(), off);
      len = next != sorted.end() ? static_cast<std::int64_t>(*next) - off : Available(off);
    }
    len = std::min(len, Available(off));
    auto key = std::make_pair(off, len);
    auto it = copied.find(key);
    std::uint32_t at;
    if (it != copied.end()) {
      at = it->second;
    } else {
      VL_TRY(CopyBlock(off, len, at));
      copied.emplace(key, at);
    }
    newOffsets[k] = at;
    pieceStarts.emplace(off, at);
    if (k < lengths.size())
      lengths[k] = static_cast<std::uint32_t>(len);
  }
  VL_TRY(PutValues(oe, newOffsets));
  if (ce)
    VL_TRY(PutValues(*ce, lengths));
  return TVlStatus::Ok();
}

// Old-style JPEG tables: one offset per component; a quantisation table is 64 bytes, a Huffman
// table 16 code-length bytes followed by as many values as they add up to.
TVlStatus TPageCopier::CopyJpegTables(TRawEntry& e) {
  std::vector<std::uint32_t> offsets;
  if (!ReadValues(e, offsets)) {
    e.drop = true;
    return TVlStatus::Ok();
  }
  std::map<std::uint32_t, std::uint32_t> done;
  std::vector<std::uint32_t> out(offsets.size());
  for (std::size_t k = 0; k < offsets.size(); ++k) {
    const std::uint32_t off = offsets[k];
    auto it = done.find(off);
    if (it != done.end()) {
      out[k] = it->second;
      continue;
    }
    std::int64_t len = 64;
    if (e.tag != kTagJPEGQTables) {
      std::uint8_t bits[16];
      len = 16;
      if (Available(off) >= 16 && src_.ReadAt(base_ + off, bits, 16))
        for (std::uint8_t b : bits) len += b;
    }
    len = std::min(len, Available(off));
    VL_TRY(CopyBlock(off, len, out[k]));
    done.emplace(off, out[k]);
  }
  return PutValues(e, out);
}

TVlStatus TPageCopier::CopyPointers(TRawEntry& e, int depth) {
  std::vector<std::uint32_t> offsets, out;
  if (depth >= kMaxSubDirectoryDepth || !ReadValues(e, offsets)) {
    e.drop = true;
    return TVlStatus::Ok();
  }
  for (std::uint32_t off : offsets) {
    std::uint32_t at;
    TVlStatus s = CopyDirectory(off, depth + 1, at);
    if (s.code == TVlStatusCode::limitExceeded || s.code == TVlStatusCode::ioError)
      return s;
    if (s.ok())
      out.push_back(at);
  }
  if (out.empty()) {
    e.drop = true;
    return TVlStatus::Ok();
  }
  if (e.type != 13)
    e.type = 4;
  return PutValues(e, out);
}

TVlStatus TPageCopier::CopyDirectory(std::uint32_t offset, int depth, std::uint32_t& newOffset) {
  if (visited_.count(offset))
    return TVlStatus::BadData("directory referred to twice");
  if (directories_ >= kMaxCopiedDirectories)
    return TVlStatus::BadData("too many sub-directories");
  visited_.insert(offset);
  ++directories_;
  std::vector<TRawEntry> entries;
  VL_TRY(ReadEntries(offset, entries));

  // Byte counts of a strip or tile pair are rewritten with their offsets, never copied alone.
  const bool hasStrips =
      std::any_of(entries.begin(), entries.end(), [](const TRawEntry& e) { return e.tag == kTagStripOffsets; });
  const bool hasTiles =
      std::any_of(entries.begin(), entries.end(), [](const TRawEntry& e) { return e.tag == kTagTileOffsets; });
  std::vector<bool> done(entries.size(), false);
  std::map<std::uint32_t, std::uint32_t> pieceStarts;  // source offset of a strip -> target offset
  int interchange = -1;
  bool stripsDone = false, tilesDone = false;

  for (std::size_t k = 0; k < entries.size(); ++k) {
    TRawEntry& e = entries[k];
    if (done[k] || e.drop)
      continue;
    const std::int64_t sz = TIFFTypeSize(e.type);
    const std::int64_t size = sz * static_cast<std::int64_t>(e.count);
    if (e.tag == kTagStripOffsets || e.tag == kTagTileOffsets) {
      bool& once = e.tag == kTagStripOffsets ? stripsDone : tilesDone;
      if (once) {
        e.drop = true;  // a second offsets entry of the same kind
        continue;
      }
      once = true;
      const std::uint16_t countsTag = e.tag == kTagStripOffsets ? kTagStripByteCounts : kTagTileByteCounts;
      VL_TRY(CopyPieces(entries, k, countsTag, pieceStarts));
      for (std::size_t j = 0; j < entries.size(); ++j)
        if (entries[j].tag == countsTag)
          done[j] = true;  // rewritten (the last one) or dropped (earlier duplicates)
      done[k] = true;
    } else if ((e.tag == kTagStripByteCounts && hasStrips) || (e.tag == kTagTileByteCounts && hasTiles)) {
      continue;  // handled with its offsets, which come later in stored order
    } else if (sz == 0) {
      e.drop = true;  // unknown type: its data cannot be located
    } else if (e.tag == kTagFreeOffsets || e.tag == kTagFreeByteCounts) {
      e.drop = true;
    } else if (e.tag == kTagJPEGInterchangeFormat) {
      if (interchange >= 0)
        entries[static_cast<std::size_t>(interchange)].drop = true;  // an earlier duplicate
      interchange = static_cast<int>(k);                             // after the strips, which it may point into
    } else if (e.tag == kTagJPEGQTables || e.tag == kTagJPEGDCTables || e.tag == kTagJPEGACTables) {
      VL_TRY(CopyJpegTables(e));
    } else if (IsPointerTag(e.tag) && IsUnsignedIntType(e.type)) {
      VL_TRY(CopyPointers(e, depth));
    } else if (size > 4) {
      const std::uint32_t off = Get(e.field, 4, le_);
      if (size > Available(off)) {
        e.drop = true;  // data outside the file
      } else {
        std::uint32_t at;
        VL_TRY(CopyBlock(off, size, at));
        Put(e.field, 4, at, le_);
      }
    }
    done[k] = true;
  }
  if (interchange >= 0) {
    TRawEntry& e = entries[static_cast<std::size_t>(interchange)];
    std::vector<std::uint32_t> v;
    if (e.count != 1 || !ReadValues(e, v))
      return TVlStatus::Unsupported("old-style JPEG interchange offset of an unusable type");
    const std::uint32_t off = v[0];
    TRawEntry* lenEntry = nullptr;
    for (TRawEntry& x : entries)
      if (x.tag == kTagJPEGInterchangeFormatLength && !x.drop)
        lenEntry = &x;
    std::vector<std::uint32_t> lv;
    if (off == 0) {
      // no stream: nothing to relocate
    } else if (lenEntry && lenEntry->count == 1 && ReadValues(*lenEntry, lv)) {
      const std::int64_t len = std::min<std::int64_t>(lv[0], Available(off));
      std::uint32_t at;
      VL_TRY(CopyBlock(off, len, at));
      VL_TRY(PutValues(e, {at}));
      VL_TRY(PutValues(*lenEntry, {static_cast<std::uint32_t>(len)}));
    } else if (auto it = pieceStarts.find(off); it != pieceStarts.end()) {
      VL_TRY(PutValues(e, {it->second}));
    } else {
      return TVlStatus::Unsupported("old-style JPEG stream without a length cannot be relocated");
    }
  }

  std::vector<const TRawEntry*> kept;
  for (const TRawEntry& e : entries)
    if (!e.drop)
      kept.push_back(&e);
  if (kept.empty())
    return TVlStatus::BadData("directory without usable entries");
  std::uint32_t at;
  VL_TRY(Align(at));
  VL_TRY(Spend(static_cast<std::int64_t>(2 + 12 * kept.size() + 4)));
  std::vector<std::uint8_t> dir(2 + 12 * kept.size() + 4, 0);
  Put(dir.data(), 2, static_cast<std::uint32_t>(kept.size()), le_);
  for (std::size_t k = 0; k < kept.size(); ++k) {
    std::uint8_t* p = dir.data() + 2 + 12 * k;
    Put(p, 2, kept[k]->tag, le_);
    Put(p + 2, 2, kept[k]->type, le_);
    Put(p + 4, 4, kept[k]->count, le_);
    std::memcpy(p + 8, kept[k]->field, 4);
  }
  if (!dst_.WriteAll(dir.data(), static_cast<std::int64_t>(dir.size())))
    return TVlStatus::IoError("short write to the target");
  newOffset = at;
  return TVlStatus::Ok();
}

}  // namespace

TVlStatus TryCountTIFFPages(TVlStream& stream, std::int32_t& pages) {
  pages = 0;
  TVlStreamRestore restore(stream);
  TTIFFHeader h;
  VL_TRY(ReadTIFFHeader(stream, restore.Start(), h));
  if (h.firstOffset == 0)
    return TVlStatus::Ok();
  TTIFFChainWalker walker(stream, restore.Start(), h.littleEndian, h.firstOffset);
  while (walker.Next()) {
  }
  pages = walker.Count();
  return TVlStatus::Ok();
}

std::int32_t CountTIFFPages(TVlStream& stream) {
  std::int32_t pages = 0;
  (void)TryCountTIFFPages(stream, pages);
  return pages;
}

std::int32_t CountTIFFPagesOfFile(const std::filesystem::path& path) {
  TVlFileStream s(path, TVlFileStream::Mode::read);
  return CountTIFFPages(s);
}

TVlStatus ExtractTIFFPage(TVlStream& source, std::int32_t pageIndex, TVlStream& target) {
  const std::int64_t base = source.Position();
  TTIFFHeader h;
  VL_TRY(ReadTIFFHeader(source, base, h));
  std::uint8_t head[8];
  if (!source.ReadAt(base, head, 4))
    return TVlStatus::Truncated("TIFF header shorter than 8 bytes");
  std::memset(head + 4, 0, 4);
  const std::int64_t tbase = target.Position();
  if (!target.WriteAll(head, 8))
    return TVlStatus::IoError("short write to the target");

  TTIFFChainWalker walker(source, base, h.littleEndian, h.firstOffset);
  bool found = false;
  while (pageIndex >= 0 && walker.Next())
    if (walker.Step().index == pageIndex) {
      found = true;
      break;
    }
  if (!found)
    return TVlStatus::BadData("page index beyond the directory chain");

  if (!target.Seek(tbase + 8))
    return TVlStatus::IoError("seek failed in the target");
  std::uint32_t dirOffset = 0;
  TPageCopier copier(source, base, h.littleEndian, target, tbase);
  VL_TRY(copier.CopyDirectory(walker.Step().offset, 0, dirOffset));
  std::uint8_t link[4];
  Put(link, 4, dirOffset, h.littleEndian);
  const std::int64_t end = target.Position();
  if (!target.Seek(tbase + 4) || !target.WriteAll(link, 4) || !target.Seek(end))
    return TVlStatus::IoError("short write to the target");
  return TVlStatus::Ok();
}

TVlStatus ExtractTIFFPageToFile(const std::filesystem::path& source, const std::filesystem::path& target,
                                std::int32_t pageIndex) {
  TVlFileStream in(source, TVlFileStream::Mode::read);
  std::error_code ec;
  if (std::filesystem::exists(target, ec) && std::filesystem::equivalent(source, target, ec))
    return TVlStatus::BadData("target file is the source file");
  TVlStatus status;
  {
    TVlFileStream out(target, TVlFileStream::Mode::create);
    status = ExtractTIFFPage(in, pageIndex, out);
    if (status.ok() && !out.Flush())
      status = TVlStatus::IoError("cannot write the target file");
  }
  if (!status.ok())
    std::filesystem::remove(target, ec);
  return status;
}
