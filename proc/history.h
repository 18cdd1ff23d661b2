// Bounded histories of image states (undo and redo) and the storage of one image state.
//
// Entry points: TVlStoredImage (one image state), TVlHistory (a list of states, oldest first,
// each with its kind and caption), TVlDeflateWriter / TVlInflateReader (zlib streams over a
// TVlStream, used for the states kept in files).
//
// A state is a TVlBitmap copy in memory while the histories stay within their memory budget;
// beyond it a state is written as a raw snapshot (TVlBitmap::WriteRawSnapshot), deflated, into
// a delete-on-close temporary file and read back through ReadRawSnapshot, which validates it like any other input.
// Scanned pages compress to a few per cent, so the history of a large page costs little disk and no memory. When no
// temporary file can be made the state stays in memory.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/stream.h"

// Writes deflated data (zlib format) to a sink stream. Only sequential writes; Finish() flushes.
class TVlDeflateWriter final : public TVlStream {
 public:
  TVlDeflateWriter(TVlStream& sink, int level);
  ~TVlDeflateWriter() override;
  std::int64_t Read(void*, std::int64_t) override { return 0; }
  std::int64_t Write(const void* buffer, std::int64_t n) override;
  bool Seek(std::int64_t position) override { return position == written_; }
  std::int64_t Position() const override { return written_; }
  std::int64_t Size() const override { return written_; }
  // Ends the zlib stream; false when the sink refused data.
  bool Finish();

 private:
  struct State;
  std::unique_ptr<State> z_;
  TVlStream& sink_;
  std::int64_t written_ = 0;
  bool failed_ = false;
};

// Reads inflated data from a source stream holding a zlib stream of `size` inflated bytes.
// Sequential reads only; Size() is that inflated size so that readers can check lengths.
class TVlInflateReader final : public TVlStream {
 public:
  TVlInflateReader(TVlStream& source, std::int64_t size);
  ~TVlInflateReader() override;
  std::int64_t Read(void* buffer, std::int64_t n) override;
  std::int64_t Write(const void*, std::int64_t) override { return 0; }
  bool Seek(std::int64_t position) override { return position == pos_; }
  std::int64_t Position() const override { return pos_; }
  std::int64_t Size() const override { return size_; }

 private:
  struct State;
  std::unique_ptr<State> z_;
  TVlStream& source_;
  std::int64_t size_;
  std::int64_t pos_ = 0;
  bool ended_ = false;
};

// One image state: a copy of an image with its alpha plane.
class TVlStoredImage {
 public:
  TVlStoredImage() = default;
  TVlStoredImage(const TVlStoredImage&) = delete;
  TVlStoredImage& operator=(const TVlStoredImage&) = delete;
  // Copies `image`: in memory when its raw snapshot is at most memoryLimit bytes, else
  // deflated at `level` (0: stored) into a temporary file.
  TVlStatus Store(TVlBitmap& image, std::int64_t memoryLimit, int level);
  // Replaces `image` with the stored state (the image keeps its Location).
  TVlStatus Restore(TVlBitmap& image) const;
  bool InFile() const { return file_ != nullptr; }
  bool InMemory() const { return memory_ != nullptr; }
  // Bytes the state occupies (memory or file).
  std::int64_t StoredBytes() const;

 private:
  std::unique_ptr<TVlBitmap> memory_;
  std::unique_ptr<TVlStream> file_;
  std::int64_t rawSize_ = 0;
  int level_ = 0;
};

// A bounded list of states, oldest first.
class TVlHistory {
 public:
  struct Entry {
    std::uint8_t kind = 1;                  // 1 image, 2 selection, 3 vector objects
    std::string caption;                    // empty until the operation sets it
    std::int32_t layer = -1;                // view layer at recording time (-1 without a view)
    std::unique_ptr<TVlStoredImage> image;  // kind 1
    std::vector<std::uint8_t> data;         // kinds 2 and 3
  };

  std::int32_t Count() const { return std::int32_t(entries_.size()); }
  // Bytes of the image states held in memory.
  std::int64_t MemoryBytes() const;
  // Drops the oldest entries until fewer than `limit` remain, then appends.
  void Push(Entry entry, std::int32_t limit);
  // The entry `depth` places below the newest, or null.
  const Entry* FromNewest(std::int32_t depth) const;
  std::string Caption(std::int32_t depth) const;
  void SetNewestCaption(const std::string& caption);
  void DropNewest();
  void Clear() { entries_.clear(); }

 private:
  std::deque<Entry> entries_;
};
