// Undo and redo histories; image states in memory or deflated in temporary files.
#include "proc/history.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace {
constexpr std::size_t kZChunk = 65536;
// zlib counts in uInt; larger requests are split.
constexpr std::int64_t kMaxZRequest = std::int64_t(1) << 30;
}  // namespace

// ===================================================================== deflate writer

struct TVlDeflateWriter::State {
  z_stream s{};
  bool ready = false;
  std::vector<std::uint8_t> out = std::vector<std::uint8_t>(kZChunk);
};

TVlDeflateWriter::TVlDeflateWriter(TVlStream& sink, int level) : z_(std::make_unique<State>()), sink_(sink) {
  level = std::clamp(level, 1, 9);
  z_->ready = deflateInit(&z_->s, level) == Z_OK;
  failed_ = !z_->ready;
}

TVlDeflateWriter::~TVlDeflateWriter() {
  if (z_->ready)
    deflateEnd(&z_->s);
}

std::int64_t TVlDeflateWriter::Write(const void* buffer, std::int64_t n) {
  if (failed_ || n <= 0)
    return failed_ ? 0 : n < 0 ? 0 : n;
  const auto* p = static_cast<const std::uint8_t*>(buffer);
  std::int64_t done = 0;
  while (done < n && !failed_) {
    std::int64_t part = std::min(n - done, kMaxZRequest);
    z_->s.next_in = const_cast<Bytef*>(p + done);
    z_->s.avail_in = uInt(part);
    while (z_->s.avail_in > 0 && !failed_) {
      z_->s.next_out = z_->out.data();
      z_->s.avail_out = uInt(z_->out.size());
      if (deflate(&z_->s, Z_NO_FLUSH) == Z_STREAM_ERROR) {
        failed_ = true;
        break;
      }
      std::int64_t produced = std::int64_t(z_->out.size()) - z_->s.avail_out;
      if (produced > 0 && !sink_.WriteAll(z_->out.data(), produced))
        failed_ = true;
    }
    done += part;
  }
  if (failed_)
    return 0;
  written_ += n;
  return n;
}

bool TVlDeflateWriter::Finish() {
  if (failed_)
    return false;
  z_->s.next_in = nullptr;
  z_->s.avail_in = 0;
  for (;;) {
    z_->s.next_out = z_->out.data();
    z_->s.avail_out = uInt(z_->out.size());
    int rc = deflate(&z_->s, Z_FINISH);
    if (rc == Z_STREAM_ERROR)
      return failed_ = true, false;
    std::int64_t produced = std::int64_t(z_->out.size()) - z_->s.avail_out;
    if (produced > 0 && !sink_.WriteAll(z_->out.data(), produced))
      return failed_ = true, false;
    if (rc == Z_STREAM_END)
      return sink_.Flush();
  }
}

// ===================================================================== inflate reader

struct TVlInflateReader::State {
  z_stream s{};
  bool ready = false;
  std::vector<std::uint8_t> in = std::vector<std::uint8_t>(kZChunk);
};

TVlInflateReader::TVlInflateReader(TVlStream& source, std::int64_t size)
    : z_(std::make_unique<State>()), source_(source), size_(size < 0 ? 0 : size) {
  z_->ready = inflateInit(&z_->s) == Z_OK;
  ended_ = !z_->ready;
}

TVlInflateReader::~TVlInflateReader() {
  if (z_->ready)
    inflateEnd(&z_->s);
}

std::int64_t TVlInflateReader::Read(void* buffer, std::int64_t n) {
  n = std::min(n, size_ - pos_);
  if (ended_ || n <= 0)
    return 0;
  auto* p = static_cast<std::uint8_t*>(buffer);
  std::int64_t got = 0;
  while (got < n && !ended_) {
    if (z_->s.avail_in == 0) {
      std::int64_t r = source_.Read(z_->in.data(), std::int64_t(z_->in.size()));
      if (r <= 0) {
        ended_ = true;  // the stored stream is shorter than it should be
        break;
      }
      z_->s.next_in = z_->in.data();
      z_->s.avail_in = uInt(r);
    }
    std::int64_t want = std::min(n - got, kMaxZRequest);
    z_->s.next_out = p + got;
    z_->s.avail_out = uInt(want);
    int rc = inflate(&z_->s, Z_NO_FLUSH);
    got += want - std::int64_t(z_->s.avail_out);
    if (rc == Z_STREAM_END || (rc != Z_OK && rc != Z_BUF_ERROR))
      ended_ = true;
  }
  pos_ += got;
  return got;
}

// ===================================================================== stored image

TVlStatus TVlStoredImage::Store(TVlBitmap& image, std::int64_t memoryLimit, int level) {
  memory_.reset();
  file_.reset();
  rawSize_ = image.RawSnapshotSize();
  level_ = std::clamp(level, 0, 9);
  if (rawSize_ > memoryLimit) {
    std::unique_ptr<TVlStream> file;
    try {
      file.reset(TVlFileStream::CreateTemporary());
    } catch (const TVlFileError&) {
      file.reset();  // no temporary file: keep the state in memory
    }
    if (file) {
      bool ok;
      if (level_ > 0) {
        TVlDeflateWriter writer(*file, level_);
        ok = image.WriteRawSnapshot(writer) && writer.Finish();
      } else {
        ok = image.WriteRawSnapshot(*file) && file->Flush();
      }
      if (ok) {
        file_ = std::move(file);
        return TVlStatus::Ok();
      }
    }
  }
  auto copy = std::make_unique<TVlBitmap>();
  VL_TRY(copy->ChangeLocation(vlInMemory));
  copy->fileThreshold = std::max(copy->fileThreshold, rawSize_);
  VL_TRY(copy->AssignImage(image));
  copy->quantizeColors = image.quantizeColors;
  copy->display = image.display;
  memory_ = std::move(copy);
  return TVlStatus::Ok();
}

TVlStatus TVlStoredImage::Restore(TVlBitmap& image) const {
  if (memory_) {
    VL_TRY(image.AssignImage(*memory_));
    image.quantizeColors = memory_->quantizeColors;
    image.display = memory_->display;
    return TVlStatus::Ok();
  }
  if (!file_ || !file_->Seek(0))
    return TVlStatus::IoError("image state cannot be read");
  bool ok;
  if (level_ > 0) {
    TVlInflateReader reader(*file_, rawSize_);
    ok = image.ReadRawSnapshot(reader);
  } else {
    ok = image.ReadRawSnapshot(*file_);
  }
  return ok ? TVlStatus::Ok() : TVlStatus::IoError("image state cannot be read");
}

std::int64_t TVlStoredImage::StoredBytes() const {
  if (file_)
    return file_->Size();
  return memory_ ? memory_->RawSnapshotSize() : 0;
}

// ===================================================================== history

std::int64_t TVlHistory::MemoryBytes() const {
  std::int64_t n = 0;
  for (const Entry& e : entries_)
    if (e.image && e.image->InMemory())
      n += e.image->StoredBytes();
  return n;
}

void TVlHistory::Push(Entry entry, std::int32_t limit) {
  while (!entries_.empty() && std::int32_t(entries_.size()) >= limit) entries_.pop_front();
  entries_.push_back(std::move(entry));
}

const TVlHistory::Entry* TVlHistory::FromNewest(std::int32_t depth) const {
  if (depth < 0 || depth >= Count())
    return nullptr;
  return &entries_[entries_.size() - 1 - std::size_t(depth)];
}

std::string TVlHistory::Caption(std::int32_t depth) const {
  const Entry* e = FromNewest(depth);
  return e ? e->caption : std::string();
}

void TVlHistory::SetNewestCaption(const std::string& caption) {
  if (!entries_.empty())
    entries_.back().caption = caption;
}

void TVlHistory::DropNewest() {
  if (!entries_.empty())
    entries_.pop_back();
}
