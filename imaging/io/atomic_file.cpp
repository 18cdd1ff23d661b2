#include "imaging/io/atomic_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>

namespace {
std::mutex& ListenerLock() {
  static std::mutex m;
  return m;
}
std::map<int, TVlFileReplaceListener>& Listeners() {
  static std::map<int, TVlFileReplaceListener> l;
  return l;
}

// The process's umask without changing it (Linux reports it in /proc/self/status).
mode_t CurrentUmask() {
  std::ifstream in("/proc/self/status");
  std::string key, value;
  while (in >> key) {
    if (key == "Umask:" && in >> value)
      return static_cast<mode_t>(std::strtoul(value.c_str(), nullptr, 8));
    std::getline(in, value);
  }
  return 022;
}
}  // namespace

TVlAtomicFile::TVlAtomicFile(const std::filesystem::path& target) : target_(target) {
  std::filesystem::path dir = target.parent_path();
  if (dir.empty())
    dir = ".";
  std::string templ = (dir / ("." + target.filename().string() + ".vltmp-XXXXXX")).string();
  const int fd = ::mkstemp(templ.data());
  if (fd < 0)
    throw TVlFileError("Cannot create file " + target.string());
  ::close(fd);
  temp_ = templ;
  try {
    stream_ = std::make_unique<TVlFileStream>(temp_, TVlFileStream::Mode::create);
  } catch (...) {
    std::error_code ec;
    std::filesystem::remove(temp_, ec);
    throw TVlFileError("Cannot create file " + target.string());
  }
}

TVlAtomicFile::~TVlAtomicFile() {
  if (!done_)
    Discard();
}

void TVlAtomicFile::Discard() {
  stream_.reset();
  std::error_code ec;
  std::filesystem::remove(temp_, ec);
  done_ = true;
}

TVlStatus TVlAtomicFile::Commit() {
  if (done_)
    return TVlStatus::IoError("file already finished");
  if (!stream_->Sync()) {
    Discard();
    return TVlStatus::IoError("cannot write the file to disk");
  }
  stream_.reset();
  struct stat st {};
  const mode_t mode = ::stat(target_.c_str(), &st) == 0 ? (st.st_mode & 07777) : (0666 & ~CurrentUmask());
  ::chmod(temp_.c_str(), mode);
  VlNotifyFileReplace(target_);
  std::error_code ec;
  std::filesystem::rename(temp_, target_, ec);
  if (ec) {
    Discard();
    return TVlStatus::IoError("cannot replace the target file");
  }
  done_ = true;
  return TVlStatus::Ok();
}

int VlAddFileReplaceListener(TVlFileReplaceListener listener) {
  static int next = 1;
  std::lock_guard<std::mutex> l(ListenerLock());
  const int id = next++;
  Listeners()[id] = std::move(listener);
  return id;
}

void VlRemoveFileReplaceListener(int id) {
  std::lock_guard<std::mutex> l(ListenerLock());
  Listeners().erase(id);
}

void VlNotifyFileReplace(const std::filesystem::path& target) {
  std::map<int, TVlFileReplaceListener> copy;
  {
    std::lock_guard<std::mutex> l(ListenerLock());
    copy = Listeners();
  }
  for (auto& [id, fn] : copy)
    if (fn)
      fn(target);
}

bool VlSameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code ec;
  if (std::filesystem::exists(a, ec) && std::filesystem::exists(b, ec)) {
    const bool same = std::filesystem::equivalent(a, b, ec);
    if (!ec)
      return same;
  }
  return std::filesystem::weakly_canonical(a, ec) == std::filesystem::weakly_canonical(b, ec);
}
