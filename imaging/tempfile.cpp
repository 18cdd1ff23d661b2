#include "imaging/tempfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

std::string& VlTempDirectoryOverride() {
  static std::string dir;
  return dir;
}

std::filesystem::path VlTempDirectory() {
  if (!VlTempDirectoryOverride().empty())
    return VlTempDirectoryOverride();
  if (const char* t = std::getenv("TMPDIR"); t && *t)
    return t;
  return "/tmp";
}

int VlCreateTempFile(const std::filesystem::path& dir) {
  int fd = -1;
#ifdef O_TMPFILE
  fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0)
    return fd;
#endif
  std::string templ = (dir / "IMG-XXXXXX").string();
  fd = ::mkostemp(templ.data(), O_CLOEXEC);
  if (fd < 0)
    return -1;
  ::unlink(templ.c_str());
  return fd;
}

namespace {
std::int64_t ReadCgroupRemaining() {
  // cgroup v2: memory.max minus memory.current of our own group.
  std::ifstream cg("/proc/self/cgroup");
  std::string line, path;
  while (std::getline(cg, line))
    if (line.rfind("0::", 0) == 0)
      path = line.substr(3);
  if (path.empty())
    return -1;
  std::string base = "/sys/fs/cgroup" + path;
  std::ifstream mx(base + "/memory.max"), cur(base + "/memory.current");
  std::string maxText;
  std::int64_t current = 0;
  if (!(mx >> maxText) || maxText == "max" || !(cur >> current))
    return -1;
  std::int64_t limit = std::strtoll(maxText.c_str(), nullptr, 10);
  return limit > current ? limit - current : 0;
}
}  // namespace

std::int64_t VlAvailablePhysicalMemory() {
  std::int64_t avail = 0;
  std::ifstream mi("/proc/meminfo");
  std::string key;
  std::int64_t kb;
  std::string unit;
  while (mi >> key >> kb) {
    std::getline(mi, unit);
    if (key == "MemAvailable:") {
      avail = kb * 1024;
      break;
    }
  }
  std::int64_t cg = ReadCgroupRemaining();
  if (cg >= 0 && (avail == 0 || cg < avail))
    avail = cg;
  return avail;
}

std::filesystem::path VlUniqueTempName(const std::string& prefix, const std::string& ext,
                                       const std::filesystem::path& dir) {
  static std::mt19937 rng{std::random_device{}()};
  std::uniform_int_distribution<std::uint32_t> dist(0, 0x7FFFFFFF);
  std::filesystem::path d = dir.empty() ? VlTempDirectory() : dir;
  for (;;) {
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", dist(rng));
    std::filesystem::path p = d / (prefix + "-" + hex + ext);
    std::error_code ec;
    if (!std::filesystem::exists(p, ec))
      return p;
  }
}

bool TVlTempFile::Create(std::int64_t size, const std::filesystem::path& dir) {
  Close();
  fd_ = VlCreateTempFile(dir.empty() ? VlTempDirectory() : dir);
  if (fd_ < 0)
    return false;
  if (!Resize(size)) {
    Close();
    return false;
  }
  return true;
}

bool TVlTempFile::Resize(std::int64_t size) {
  if (fd_ < 0 || size < 0 || ::ftruncate(fd_, size) != 0)
    return false;
  size_ = size;
  return true;
}

bool TVlTempFile::ReadAt(std::int64_t offset, void* buffer, std::int64_t n) const {
  auto* p = static_cast<char*>(buffer);
  while (n > 0) {
    ssize_t r = ::pread(fd_, p, static_cast<size_t>(n), offset);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      return false;
    p += r, offset += r, n -= r;
  }
  return true;
}

bool TVlTempFile::WriteAt(std::int64_t offset, const void* buffer, std::int64_t n) {
  auto* p = static_cast<const char*>(buffer);
  while (n > 0) {
    ssize_t w = ::pwrite(fd_, p, static_cast<size_t>(n), offset);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return false;
    p += w, offset += w, n -= w;
  }
  if (offset > size_)
    size_ = offset;
  return true;
}

void TVlTempFile::Close() {
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
  size_ = 0;
}
