#include "imaging/io/virtual_image_list.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "imaging/limits.h"

TVlVirtualImageList::TVlVirtualImageList(std::string prefix, std::int32_t maxLoaded)
    : prefix_(std::move(prefix)), maxLoaded_(std::max<std::int32_t>(1, maxLoaded)) {}

TVlVirtualImageList::~TVlVirtualImageList() { Clear(); }

std::int64_t TVlVirtualImageList::EntrySize(std::int32_t width, std::int32_t height, TVlPixelFormat format, bool alpha,
                                            std::int32_t* rowLength) {
  auto rl = CheckedRowLength(width, VlBitsPerPixel(format), 32);
  if (!rl || height < 1)
    return -1;
  if (rowLength)
    *rowLength = *rl;
  auto size = CheckedMul(*rl, height);
  if (!size)
    return -1;
  std::int64_t total = *size;
  if (format == vl8p)
    total += 256 * 3;
  if (alpha) {
    auto arl = CheckedRowLength(width, 8, 32);
    auto asize = arl ? CheckedMul(*arl, height) : std::nullopt;
    if (!asize)
      return -1;
    total += *asize + 1;
  }
  return total;
}

void TVlVirtualImageList::EnsureFile() {
  if (fileTried_)
    return;
  fileTried_ = true;
  if (file_.Create(kInitialSize))
    fileSize_ = kInitialSize;
}

void TVlVirtualImageList::ResetFile() {
  freeList_.clear();
  usedEnd_ = 0;
  lastRequest_ = 0;
  if (file_.IsOpen()) {
    // Truncating first discards the old contents.
    (void)file_.Resize(0);
    if (file_.Resize(growthStep_))
      fileSize_ = growthStep_;
    else
      fileSize_ = 0;
  }
}

TVlStatus TVlVirtualImageList::AllocateBlock(Entry& e, std::int64_t size) {
  EnsureFile();
  if (!file_.IsOpen()) {
    e.inFile = false;
    e.reservedSize = size;
    return TVlStatus::Ok();
  }
  for (auto it = freeList_.begin(); it != freeList_.end(); ++it) {
    if (it->size >= size) {
      e.offset = it->offset;
      e.reservedSize = it->size;
      e.inFile = true;
      freeList_.erase(it);
      lastRequest_ = size;
      return TVlStatus::Ok();
    }
  }
  if (size > growthStep_)
    growthStep_ = size + lastRequest_;
  lastRequest_ = size;
  auto end = CheckedAdd(usedEnd_, size);
  if (!end)
    return TVlStatus::LimitExceeded("image store offset overflow");
  std::int64_t newSize = fileSize_;
  while (*end > newSize)
    newSize += growthStep_;
  if (newSize != fileSize_) {
    if (!file_.Resize(newSize)) {
      // The disk is full: keep this image in memory instead.
      e.inFile = false;
      e.reservedSize = size;
      return TVlStatus::Ok();
    }
    fileSize_ = newSize;
  }
  e.offset = usedEnd_;
  e.reservedSize = size;
  e.inFile = true;
  usedEnd_ = *end;
  return TVlStatus::Ok();
}

void TVlVirtualImageList::FreeBlock(Entry& e) {
  if (e.inFile && e.reservedSize > 0)
    freeList_.push_back({e.offset, e.reservedSize});
  e.inFile = false;
  e.reservedSize = 0;
}

void TVlVirtualImageList::Touch(Entry& e) {
  auto it = std::find(lru_.begin(), lru_.end(), &e);
  if (it != lru_.end())
    lru_.splice(lru_.end(), lru_, it);
}

void TVlVirtualImageList::Unload(Entry& e) {
  if (!e.buffer)
    return;
  if (e.inFile && (e.loadMode & vlLoadWrite)) {
    if (!file_.WriteAt(e.offset, e.buffer.get(), e.usedSize)) {
      // The write failed: the buffer is the only copy, so it stays in memory.
      FreeBlock(e);
      lru_.remove(&e);
      return;
    }
    ++writeBacks_;
  }
  if (!e.inFile)
    return;  // memory-only entries keep their data
  e.buffer.reset();
  e.loadMode = 0;
  lru_.remove(&e);
}

TVlStatus TVlVirtualImageList::Load(Entry& e, std::uint8_t mode) {
  if (e.buffer) {
    e.loadMode |= mode;  // the buffer always holds the whole entry, so a wider mode is safe
    Touch(e);
    return TVlStatus::Ok();
  }
  while (!lru_.empty() && static_cast<std::int32_t>(lru_.size()) + 1 > maxLoaded_)
    Unload(*lru_.front());
  e.buffer.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(e.usedSize)]);
  if (!e.buffer)
    return TVlStatus::LimitExceeded("out of memory for a stored image");
  e.loadMode = mode;
  if ((mode & vlLoadRead) && e.inFile && !file_.ReadAt(e.offset, e.buffer.get(), e.usedSize)) {
    e.buffer.reset();
    e.loadMode = 0;
    return TVlStatus::IoError("image store read failed");
  }
  if (e.inFile)
    lru_.push_back(&e);
  return TVlStatus::Ok();
}

void TVlVirtualImageList::FillBuffer(Entry& e, TVlBitmap& image) {
  std::uint8_t* p = e.buffer.get();
  const std::int32_t rl = e.rowLength;
  const std::int32_t copy = std::min(rl, image.RowLength());
  for (std::int32_t y = e.height - 1; y >= 0; --y) {
    const std::uint8_t* row = image.RowPointer(y);
    if (row)
      std::memcpy(p, row, static_cast<std::size_t>(copy));
    if (copy < rl)
      std::memset(p + copy, 0, static_cast<std::size_t>(rl - copy));
    p += rl;
  }
  if (e.pixelFormat == vl8p) {
    for (int i = 0; i < 256; ++i) {
      TVlRGB c{};
      image.PaletteColor(i, c);
      *p++ = c.b, *p++ = c.g, *p++ = c.r;
    }
  }
  if (e.hasAlpha) {
    TVlBitmap* a = image.AlphaChannel();
    *p++ = image.AlphaFull() ? 1 : 0;
    const std::int32_t arl = *CheckedRowLength(e.width, 8, 32);
    const std::int32_t acopy = std::min(arl, a->RowLength());
    for (std::int32_t y = e.height - 1; y >= 0; --y) {
      const std::uint8_t* row = a->RowPointer(y);
      if (row)
        std::memcpy(p, row, static_cast<std::size_t>(acopy));
      if (acopy < arl)
        std::memset(p + acopy, 0, static_cast<std::size_t>(arl - acopy));
      p += arl;
    }
  }
}

TVlVirtualImageList::Entry* TVlVirtualImageList::Add(TVlBitmap& image, std::int32_t callerWidth,
                                                    std::int32_t callerHeight, TVlStatus* status) {
  auto fail = [&](TVlStatus s) -> Entry* {
    if (status)
      *status = s;
    return nullptr;
  };
  if (image.IsEmpty() || image.PixelFormat() == vlNone)
    return fail(TVlStatus::BadData("empty image"));
  auto e = std::make_unique<Entry>();
  e->width = image.Width();
  e->height = image.Height();
  e->pixelFormat = image.PixelFormat();
  e->bitsPerPixel = VlBitsPerPixel(e->pixelFormat);
  e->hasAlpha = image.HasAlpha() && !image.IsAlphaPlane();
  e->callerWidth = callerWidth;
  e->callerHeight = callerHeight;
  std::int64_t size = EntrySize(e->width, e->height, e->pixelFormat, e->hasAlpha, &e->rowLength);
  if (size < 0)
    return fail(TVlStatus::LimitExceeded("stored image too large"));
  if (TVlStatus s = CheckBufferSize(size); !s)
    return fail(s);
  e->usedSize = size;
  if (TVlStatus s = AllocateBlock(*e, size); !s)
    return fail(s);
  if (TVlStatus s = Load(*e, vlLoadWrite); !s) {
    FreeBlock(*e);
    return fail(s);
  }
  FillBuffer(*e, image);
  entries_.push_back(std::move(e));
  if (status)
    *status = TVlStatus::Ok();
  return entries_.back().get();
}

void TVlVirtualImageList::Remove(Entry* e) {
  auto it = std::find_if(entries_.begin(), entries_.end(), [e](const auto& p) { return p.get() == e; });
  if (it == entries_.end())
    return;
  lru_.remove(e);
  e->buffer.reset();
  FreeBlock(*e);
  entries_.erase(it);
  if (entries_.empty())
    ResetFile();
}

void TVlVirtualImageList::Clear() {
  lru_.clear();
  entries_.clear();
  ResetFile();
}

void TVlVirtualImageList::SetMaxLoaded(std::int32_t n) {
  maxLoaded_ = std::max<std::int32_t>(1, n);
  while (static_cast<std::int32_t>(lru_.size()) > maxLoaded_)
    Unload(*lru_.front());
}

std::int64_t TVlVirtualImageList::LoadedBytes() const {
  std::int64_t n = 0;
  for (const auto& e : entries_)
    if (e->buffer)
      n += e->usedSize;
  return n;
}

TVlStatus TVlVirtualImageList::CopyTo(Entry* e, TVlBitmap& target) {
  if (!e)
    return TVlStatus::BadData("no stored image");
  VL_TRY(Load(*e, vlLoadRead));
  VL_TRY(target.AllocateImage(e->width, e->height, e->pixelFormat));
  if (target.IsEmpty())
    return TVlStatus::LimitExceeded("cannot allocate the page image");
  const std::uint8_t* p = e->buffer.get();
  const std::int32_t rl = e->rowLength;
  const std::int32_t copy = std::min(rl, target.RowLength());
  for (std::int32_t y = e->height - 1; y >= 0; --y) {
    if (std::uint8_t* row = target.RowPointer(y))
      std::memcpy(row, p, static_cast<std::size_t>(copy));
    p += rl;
  }
  if (e->pixelFormat == vl8p) {
    for (int i = 0; i < 256; ++i, p += 3)
      target.SetPaletteColor(i, TVlRGB{p[0], p[1], p[2]});
  }
  if (e->hasAlpha && *p == 0) {
    ++p;
    TVlBitmap* a = target.AlphaChannel();
    if (!a)
      return TVlStatus::LimitExceeded("cannot allocate the alpha plane");
    const std::int32_t arl = *CheckedRowLength(e->width, 8, 32);
    const std::int32_t acopy = std::min(arl, a->RowLength());
    for (std::int32_t y = e->height - 1; y >= 0; --y) {
      if (std::uint8_t* row = a->RowPointer(y))
        std::memcpy(row, p, static_cast<std::size_t>(acopy));
      p += arl;
    }
    target.SetAlphaFull(false);
  } else {
    target.FreeAlpha();
  }
  return TVlStatus::Ok();
}

TVlStatus TVlVirtualImageList::Replace(Entry* e, TVlBitmap& image) {
  if (!e)
    return TVlStatus::BadData("no stored image");
  if (image.IsEmpty())
    return TVlStatus::BadData("empty image");
  const bool alpha = image.HasAlpha() && !image.IsAlphaPlane();
  if (image.Width() != e->width || image.Height() != e->height || image.PixelFormat() != e->pixelFormat ||
      alpha != e->hasAlpha) {
    std::int32_t rl = 0;
    std::int64_t size = EntrySize(image.Width(), image.Height(), image.PixelFormat(), alpha, &rl);
    if (size < 0)
      return TVlStatus::LimitExceeded("stored image too large");
    VL_TRY(CheckBufferSize(size));
    // The old contents are replaced as a whole: drop the buffer without writing it back.
    lru_.remove(e);
    e->buffer.reset();
    e->loadMode = 0;
    FreeBlock(*e);
    e->width = image.Width();
    e->height = image.Height();
    e->pixelFormat = image.PixelFormat();
    e->bitsPerPixel = VlBitsPerPixel(e->pixelFormat);
    e->rowLength = rl;
    e->hasAlpha = alpha;
    e->usedSize = size;
    VL_TRY(AllocateBlock(*e, size));
    VL_TRY(Load(*e, vlLoadWrite));
  } else {
    VL_TRY(Load(*e, vlLoadBoth));
  }
  FillBuffer(*e, image);
  return TVlStatus::Ok();
}
