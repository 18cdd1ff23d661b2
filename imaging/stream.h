// Random-access byte streams: the one way codecs see files and memory blocks.
//
//   TVlStream          abstract: Read, Write, Seek, Position, Size
//   TVlFileStream      a file on disk (buffered); opening failures throw TVlFileError
//   TVlMemoryStream    a growable owned block, or a read-only view of a caller's block
//   TVlStreamRestore   puts a stream back at its position when leaving a scope
//
// Reads past the end return fewer bytes; they never fail otherwise. All positions and sizes
// are 64-bit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

// Raised only by the file system boundary: a file that cannot be opened or created.
class TVlFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TVlStream {
 public:
  virtual ~TVlStream() = default;

  // Reads up to n bytes at the position and advances it; returns the count read.
  virtual std::int64_t Read(void* buffer, std::int64_t n) = 0;
  // Writes n bytes at the position (growing the stream) and advances it; returns the count written.
  virtual std::int64_t Write(const void* buffer, std::int64_t n) = 0;
  // Moves to an absolute position (>= 0). Positions past the end are allowed; reads there return 0.
  virtual bool Seek(std::int64_t position) = 0;
  virtual std::int64_t Position() const = 0;
  virtual std::int64_t Size() const = 0;
  virtual bool Flush() { return true; }

  bool ReadExact(void* buffer, std::int64_t n) { return n >= 0 && Read(buffer, n) == n; }
  bool WriteAll(const void* buffer, std::int64_t n) { return n >= 0 && Write(buffer, n) == n; }
  bool ReadAt(std::int64_t position, void* buffer, std::int64_t n) { return Seek(position) && ReadExact(buffer, n); }
  // Bytes between the position and the end (0 when past the end).
  std::int64_t Remaining() const {
    std::int64_t r = Size() - Position();
    return r > 0 ? r : 0;
  }
  bool WriteByte(std::uint8_t b) { return WriteAll(&b, 1); }
  bool WriteU16LE(std::uint16_t v);
  bool WriteU32LE(std::uint32_t v);
  bool WriteU16BE(std::uint16_t v);
  bool WriteU32BE(std::uint32_t v);
  bool WriteString(const std::string& s) { return WriteAll(s.data(), static_cast<std::int64_t>(s.size())); }
};

class TVlFileStream final : public TVlStream {
 public:
  enum class Mode : std::uint8_t {
    read,       // existing file, read only
    create,     // new or truncated file, read and write
    readWrite,  // existing file, read and write
  };
  // Throws TVlFileError naming the file when it cannot be opened or created.
  TVlFileStream(const std::filesystem::path& path, Mode mode);
  // A delete-on-close temporary file in `dir` (the temporary directory when empty).
  // Throws TVlFileError when none can be created.
  static TVlFileStream* CreateTemporary(const std::filesystem::path& dir = {});
  ~TVlFileStream() override;
  TVlFileStream(const TVlFileStream&) = delete;
  TVlFileStream& operator=(const TVlFileStream&) = delete;

  std::int64_t Read(void* buffer, std::int64_t n) override;
  std::int64_t Write(const void* buffer, std::int64_t n) override;
  bool Seek(std::int64_t position) override;
  std::int64_t Position() const override { return pos_; }
  std::int64_t Size() const override { return size_; }
  bool Flush() override;
  // Flushes and forces the data to the device (fsync).
  bool Sync();
  const std::filesystem::path& Path() const { return path_; }

 private:
  TVlFileStream(int fd, std::filesystem::path path);
  bool FlushWrites();

  int fd_ = -1;
  std::filesystem::path path_;
  std::int64_t pos_ = 0;
  std::int64_t size_ = 0;
  // One buffer: either read-ahead bytes starting at bufStart_, or pending writes.
  std::vector<std::uint8_t> buf_;
  std::int64_t bufStart_ = 0;
  std::int64_t bufLen_ = 0;
  bool bufDirty_ = false;
  bool writable_ = false;
};

class TVlMemoryStream final : public TVlStream {
 public:
  TVlMemoryStream() = default;                                 // empty, growable
  explicit TVlMemoryStream(std::vector<std::uint8_t> data);    // owned, growable
  TVlMemoryStream(const void* data, std::int64_t size);        // read-only view, caller keeps it

  std::int64_t Read(void* buffer, std::int64_t n) override;
  std::int64_t Write(const void* buffer, std::int64_t n) override;
  bool Seek(std::int64_t position) override;
  std::int64_t Position() const override { return pos_; }
  std::int64_t Size() const override { return view_ ? viewSize_ : static_cast<std::int64_t>(data_.size()); }

  const std::uint8_t* Data() const { return view_ ? view_ : data_.data(); }
  std::vector<std::uint8_t>& Bytes() { return data_; }  // owned mode only
  std::vector<std::uint8_t> TakeBytes() { pos_ = 0; return std::move(data_); }

 private:
  std::vector<std::uint8_t> data_;
  const std::uint8_t* view_ = nullptr;
  std::int64_t viewSize_ = 0;
  std::int64_t pos_ = 0;
};

class TVlStreamRestore {
 public:
  explicit TVlStreamRestore(TVlStream& s) : s_(s), pos_(s.Position()) {}
  ~TVlStreamRestore() { s_.Seek(pos_); }
  TVlStreamRestore(const TVlStreamRestore&) = delete;
  TVlStreamRestore& operator=(const TVlStreamRestore&) = delete;
  std::int64_t Start() const { return pos_; }

 private:
  TVlStream& s_;
  std::int64_t pos_;
};

// Reads the whole remaining stream (bounded by the byte ceiling) into a vector.
bool ReadRemaining(TVlStream& s, std::vector<std::uint8_t>& out);
