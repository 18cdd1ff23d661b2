// Delete-on-close temporary files and the memory figures that decide when to use them.
//
// A temporary file is opened with O_TMPFILE in the temporary directory (no name ever appears),
// falling back to mkstemp followed by an immediate unlink. All I/O is 64-bit pread/pwrite.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The process-wide temporary directory: the override when set, else $TMPDIR, else /tmp.
std::filesystem::path VlTempDirectory();
// Process-wide override of the temporary directory (empty: none).
std::string& VlTempDirectoryOverride();

// Creates a delete-on-close file in `dir`; returns its descriptor or -1.
int VlCreateTempFile(const std::filesystem::path& dir);

// Free physical memory in bytes: MemAvailable of /proc/meminfo, or the cgroup's remaining
// allowance when that is lower; 0 when neither can be read.
std::int64_t VlAvailablePhysicalMemory();

// A unique name "<dir>/<prefix>-XXXXXXXX<ext>" (eight upper-case hex digits of a random number
// below 2^31) that does not exist yet. Used for downloaded files that must carry a name.
std::filesystem::path VlUniqueTempName(const std::string& prefix, const std::string& ext,
                                       const std::filesystem::path& dir = {});

class TVlTempFile {
 public:
  TVlTempFile() = default;
  ~TVlTempFile() { Close(); }
  TVlTempFile(const TVlTempFile&) = delete;
  TVlTempFile& operator=(const TVlTempFile&) = delete;
  TVlTempFile(TVlTempFile&& o) noexcept : fd_(o.fd_), size_(o.size_) { o.fd_ = -1; o.size_ = 0; }

  // Creates the file (in the temporary directory when dir is empty) and sizes it.
  bool Create(std::int64_t size, const std::filesystem::path& dir = {});
  bool Resize(std::int64_t size);
  bool ReadAt(std::int64_t offset, void* buffer, std::int64_t n) const;
  bool WriteAt(std::int64_t offset, const void* buffer, std::int64_t n);
  void Close();
  bool IsOpen() const { return fd_ >= 0; }
  std::int64_t Size() const { return size_; }
  int Descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  std::int64_t size_ = 0;
};
