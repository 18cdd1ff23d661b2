// Replacing a file without losing it when the writer fails.
//
//   TVlAtomicFile    a temporary file in the target's folder that takes the target's place
//                    (by rename) only on Commit(); destroyed uncommitted it is removed
//   file-replace listeners  told just before a file is replaced, so that page stores can load
//                    the pages that still read their image from it on demand
#pragma once

#include <filesystem>
#include <functional>
#include <memory>

#include "imaging/status.h"
#include "imaging/stream.h"

class TVlAtomicFile {
 public:
  // Creates "<folder>/.<name>.vltmp-XXXXXX" beside the target; throws TVlFileError naming the
  // target when that is impossible (a missing folder, no permission).
  explicit TVlAtomicFile(const std::filesystem::path& target);
  ~TVlAtomicFile();
  TVlAtomicFile(const TVlAtomicFile&) = delete;
  TVlAtomicFile& operator=(const TVlAtomicFile&) = delete;

  TVlFileStream& Stream() { return *stream_; }
  const std::filesystem::path& TemporaryPath() const { return temp_; }
  // Flushes and syncs the data, tells the listeners, and renames the temporary file over the
  // target (keeping an existing target's permissions). On failure the temporary file is removed
  // and the target is untouched.
  TVlStatus Commit();
  // Removes the temporary file; the target is untouched.
  void Discard();

 private:
  std::filesystem::path target_, temp_;
  std::unique_ptr<TVlFileStream> stream_;
  bool done_ = false;
};

using TVlFileReplaceListener = std::function<void(const std::filesystem::path& target)>;
int VlAddFileReplaceListener(TVlFileReplaceListener listener);
void VlRemoveFileReplaceListener(int id);
// Tells every listener that `target` is about to be replaced.
void VlNotifyFileReplace(const std::filesystem::path& target);
// True when both names denote the same file (or, for files that do not exist, the same path).
bool VlSameFile(const std::filesystem::path& a, const std::filesystem::path& b);
