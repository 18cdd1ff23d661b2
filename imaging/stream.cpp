#include "imaging/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "imaging/limits.h"
#include "imaging/tempfile.h"

namespace {
constexpr std::int64_t kFileBuffer = 64 * 1024;
}

bool TVlStream::WriteU16LE(std::uint16_t v) {
  std::uint8_t b[2] = {std::uint8_t(v), std::uint8_t(v >> 8)};
  return WriteAll(b, 2);
}
bool TVlStream::WriteU32LE(std::uint32_t v) {
  std::uint8_t b[4] = {std::uint8_t(v), std::uint8_t(v >> 8), std::uint8_t(v >> 16), std::uint8_t(v >> 24)};
  return WriteAll(b, 4);
}
bool TVlStream::WriteU16BE(std::uint16_t v) {
  std::uint8_t b[2] = {std::uint8_t(v >> 8), std::uint8_t(v)};
  return WriteAll(b, 2);
}
bool TVlStream::WriteU32BE(std::uint32_t v) {
  std::uint8_t b[4] = {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
  return WriteAll(b, 4);
}

// ---- file stream ----

TVlFileStream::TVlFileStream(const std::filesystem::path& path, Mode mode) : path_(path) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case Mode::read: flags |= O_RDONLY; break;
    case Mode::create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
    case Mode::readWrite: flags |= O_RDWR; break;
  }
  fd_ = ::open(path.c_str(), flags, 0666);
  if (fd_ < 0)
    throw TVlFileError((mode == Mode::create ? "cannot create " : "cannot open ") + path.string() + ": " +
                       std::strerror(errno));
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw TVlFileError("cannot open " + path.string() + ": not a regular file");
  }
  size_ = st.st_size;
  writable_ = mode != Mode::read;
}

TVlFileStream::TVlFileStream(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)), writable_(true) {
  struct stat st {};
  if (::fstat(fd_, &st) == 0)
    size_ = st.st_size;
}

TVlFileStream* TVlFileStream::CreateTemporary(const std::filesystem::path& dir) {
  int fd = VlCreateTempFile(dir.empty() ? VlTempDirectory() : dir);
  if (fd < 0)
    throw TVlFileError("cannot create a temporary file in " + (dir.empty() ? VlTempDirectory() : dir).string());
  return new TVlFileStream(fd, {});
}

TVlFileStream::~TVlFileStream() {
  if (fd_ >= 0) {
    FlushWrites();
    ::close(fd_);
  }
}

bool TVlFileStream::FlushWrites() {
  if (!bufDirty_)
    return true;
  bufDirty_ = false;
  std::int64_t done = 0;
  while (done < bufLen_) {
    ssize_t w = ::pwrite(fd_, buf_.data() + done, static_cast<size_t>(bufLen_ - done), bufStart_ + done);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0) {
      bufLen_ = 0;
      return false;
    }
    done += w;
  }
  bufLen_ = 0;
  return true;
}

bool TVlFileStream::Flush() { return FlushWrites(); }

bool TVlFileStream::Sync() { return FlushWrites() && ::fsync(fd_) == 0; }

std::int64_t TVlFileStream::Read(void* buffer, std::int64_t n) {
  if (n <= 0 || fd_ < 0)
    return 0;
  if (bufDirty_ && !FlushWrites())
    return 0;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::int64_t got = 0;
  while (got < n) {
    // Serve from the read-ahead buffer when it covers the position.
    if (pos_ >= bufStart_ && pos_ < bufStart_ + bufLen_) {
      std::int64_t take = std::min(n - got, bufStart_ + bufLen_ - pos_);
      std::memcpy(out + got, buf_.data() + (pos_ - bufStart_), static_cast<size_t>(take));
      got += take;
      pos_ += take;
      continue;
    }
    if (pos_ >= size_)
      break;
    std::int64_t want = n - got;
    if (want >= kFileBuffer) {  // large reads bypass the buffer
      ssize_t r = ::pread(fd_, out + got, static_cast<size_t>(want), pos_);
      if (r < 0 && errno == EINTR)
        continue;
      if (r <= 0)
        break;
      got += r;
      pos_ += r;
      continue;
    }
    // A read that continues the buffer reads ahead in full; one after a seek elsewhere
    // (directory walks, tag data) takes a small block, since it rarely reads on.
    const std::int64_t ahead = pos_ == bufStart_ + bufLen_ ? kFileBuffer : std::max<std::int64_t>(want, 4096);
    buf_.resize(kFileBuffer);
    ssize_t r = ::pread(fd_, buf_.data(), static_cast<size_t>(ahead), pos_);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0) {
      bufLen_ = 0;
      break;
    }
    bufStart_ = pos_;
    bufLen_ = r;
  }
  return got;
}

std::int64_t TVlFileStream::Write(const void* buffer, std::int64_t n) {
  if (n <= 0 || fd_ < 0 || !writable_)
    return 0;
  auto* in = static_cast<const std::uint8_t*>(buffer);
  // Append to the pending write block when contiguous, else start a new one.
  if (!bufDirty_ || pos_ != bufStart_ + bufLen_) {
    if (!FlushWrites())
      return 0;
    bufStart_ = pos_;
    bufLen_ = 0;
  }
  if (bufLen_ + n > kFileBuffer) {
    if (!FlushWrites())
      return 0;
    if (n >= kFileBuffer) {
      std::int64_t done = 0;
      while (done < n) {
        ssize_t w = ::pwrite(fd_, in + done, static_cast<size_t>(n - done), pos_ + done);
        if (w < 0 && errno == EINTR)
          continue;
        if (w <= 0)
          break;
        done += w;
      }
      pos_ += done;
      size_ = std::max(size_, pos_);
      return done;
    }
    bufStart_ = pos_;
    bufLen_ = 0;
  }
  buf_.resize(kFileBuffer);
  std::memcpy(buf_.data() + bufLen_, in, static_cast<size_t>(n));
  bufLen_ += n;
  bufDirty_ = true;
  pos_ += n;
  size_ = std::max(size_, pos_);
  return n;
}

bool TVlFileStream::Seek(std::int64_t position) {
  if (position < 0)
    return false;
  pos_ = position;
  return true;
}

// ---- memory stream ----

TVlMemoryStream::TVlMemoryStream(std::vector<std::uint8_t> data) : data_(std::move(data)) {}

TVlMemoryStream::TVlMemoryStream(const void* data, std::int64_t size)
    : view_(static_cast<const std::uint8_t*>(data)), viewSize_(size < 0 ? 0 : size) {
  static const std::uint8_t empty = 0;
  if (!view_)
    view_ = &empty, viewSize_ = 0;
}

std::int64_t TVlMemoryStream::Read(void* buffer, std::int64_t n) {
  std::int64_t size = Size();
  if (n <= 0 || pos_ >= size)
    return 0;
  std::int64_t take = std::min(n, size - pos_);
  std::memcpy(buffer, Data() + pos_, static_cast<size_t>(take));
  pos_ += take;
  return take;
}

std::int64_t TVlMemoryStream::Write(const void* buffer, std::int64_t n) {
  if (view_ || n <= 0)
    return 0;
  auto end = CheckedAdd(pos_, n);
  if (!end || !CheckBufferSize(*end).ok())
    return 0;
  if (static_cast<std::uint64_t>(*end) > data_.size())
    data_.resize(static_cast<size_t>(*end));
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(n));
  pos_ = *end;
  return n;
}

bool TVlMemoryStream::Seek(std::int64_t position) {
  if (position < 0)
    return false;
  pos_ = position;
  return true;
}

bool ReadRemaining(TVlStream& s, std::vector<std::uint8_t>& out) {
  std::int64_t n = s.Remaining();
  if (!CheckBufferSize(n).ok())
    return false;
  out.resize(static_cast<size_t>(n));
  return s.ReadExact(out.data(), n);
}
