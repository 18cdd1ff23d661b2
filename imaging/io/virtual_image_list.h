// TVlVirtualImageList: many images held back to back in one delete-on-close temporary file,
// with at most `MaxLoaded()` of them in memory at a time.
//
//   Add        stores a copy of a bitmap (its rows, palette and alpha plane) in a new entry
//   Remove     gives the entry's block back to the free list
//   CopyTo     fills a caller's bitmap from an entry (loads it for reading)
//   Replace    writes a bitmap back into an existing entry (loads it for writing; a new
//              block is taken when the size, depth or alpha presence changed)
//
// Method. Every entry owns one block of the file: the image rows, bottom row first, each
// rowLength bytes (32-bit aligned); for vl8p the 256 palette entries (blue, green, red); then,
// with alpha, one byte (the alpha plane's alphaFull) and the alpha rows, bottom row first.
// A block is taken from the free list first-fit (the whole block, any surplus stays with the
// entry), otherwise from the end of the used space; the file grows by a growth step of at
// least 256 KiB, enlarged to size + the previous request when one image is larger. Loaded
// entries live in memory buffers kept in least-recently-used order; loading one more than the
// maximum unloads the oldest, writing it back only when it was loaded for writing. When no
// temporary file can be created the entries simply stay in memory.
//
// Not thread-safe: the page store serialises every call under its lock.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/tempfile.h"

class TVlVirtualImageList {
 public:
  // Load modes of an entry.
  enum : std::uint8_t { vlLoadRead = 1, vlLoadWrite = 2, vlLoadBoth = 3 };

  struct Entry {
    std::int64_t offset = 0;        // of the block in the file
    std::int64_t reservedSize = 0;  // bytes of the block
    std::int64_t usedSize = 0;      // bytes of the image data
    std::unique_ptr<std::uint8_t[]> buffer;  // loaded data, or none
    std::uint8_t loadMode = 0;               // of the loaded buffer
    bool checkedOut = false;
    std::int32_t callerWidth = 0, callerHeight = 0;  // the page's source size
    bool hasAlpha = false;
    std::int32_t width = 0, height = 0, bitsPerPixel = 0, rowLength = 0;
    TVlPixelFormat pixelFormat = vlNone;
    bool inFile = false;  // the block exists in the file (false: memory only)
  };

  // `prefix` names the store in diagnostics ("ILIST", "ICACHE"); `maxLoaded` >= 1.
  TVlVirtualImageList(std::string prefix, std::int32_t maxLoaded);
  ~TVlVirtualImageList();
  TVlVirtualImageList(const TVlVirtualImageList&) = delete;
  TVlVirtualImageList& operator=(const TVlVirtualImageList&) = delete;

  // Stores a copy of `image`; nullptr with the reason in `status` when the image is empty or
  // the space cannot be had.
  Entry* Add(TVlBitmap& image, std::int32_t callerWidth, std::int32_t callerHeight, TVlStatus* status = nullptr);
  void Remove(Entry* e);
  // Fills `target` (size, format, rows, palette, alpha plane) from the entry.
  TVlStatus CopyTo(Entry* e, TVlBitmap& target);
  // Writes `image` into the entry, reallocating its block when the layout changed.
  TVlStatus Replace(Entry* e, TVlBitmap& image);
  // Removes every entry and starts again with an empty file.
  void Clear();

  std::int32_t MaxLoaded() const { return maxLoaded_; }
  void SetMaxLoaded(std::int32_t n);
  std::int32_t EntryCount() const { return static_cast<std::int32_t>(entries_.size()); }
  std::int32_t LoadedCount() const { return static_cast<std::int32_t>(lru_.size()); }
  bool IsLoaded(const Entry* e) const { return e && e->buffer != nullptr; }
  // Bytes the loaded buffers hold.
  std::int64_t LoadedBytes() const;
  // Statistics for tests: entries written back on unload, file size, used end, free blocks.
  std::int64_t WriteBackCount() const { return writeBacks_; }
  std::int64_t FileSize() const { return fileSize_; }
  std::int64_t UsedEnd() const { return usedEnd_; }
  std::int64_t GrowthStep() const { return growthStep_; }
  std::size_t FreeBlockCount() const { return freeList_.size(); }
  bool HasFile() const { return file_.IsOpen(); }
  const std::string& Prefix() const { return prefix_; }

  static constexpr std::int64_t kInitialSize = 262144;  // 256 KiB

 private:
  struct Block {
    std::int64_t offset, size;
  };
  static std::int64_t EntrySize(std::int32_t width, std::int32_t height, TVlPixelFormat format, bool alpha,
                                std::int32_t* rowLength);
  TVlStatus AllocateBlock(Entry& e, std::int64_t size);
  void FreeBlock(Entry& e);
  TVlStatus Load(Entry& e, std::uint8_t mode);
  void Unload(Entry& e);
  void Touch(Entry& e);
  void EnsureFile();
  void ResetFile();
  void FillBuffer(Entry& e, TVlBitmap& image);

  std::string prefix_;
  std::int32_t maxLoaded_;
  TVlTempFile file_;
  bool fileTried_ = false;
  std::int64_t fileSize_ = 0;
  std::int64_t growthStep_ = kInitialSize;
  std::int64_t lastRequest_ = 0;
  std::int64_t usedEnd_ = 0;
  std::vector<Block> freeList_;
  std::vector<std::unique_ptr<Entry>> entries_;
  std::list<Entry*> lru_;  // loaded entries, least recently used first
  std::int64_t writeBacks_ = 0;
};
