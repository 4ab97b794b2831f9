// SPDX-License-Identifier: GPL-3.0-or-later
//
// Paths longer than the system takes in one call (PATH_MAX, 4,096 bytes on
// Linux) are still files a backup must reach. Such a path is walked a
// stretch at a time: each stretch of folders is opened from the folder
// before it, and the rest is named relative to the last one, so every
// call gets a name it accepts. A shorter path is passed on as it is.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

namespace kelmora::platform {

class ShortPath {
 public:
  explicit ShortPath(const std::string& Path) : rest_(Path) {
    if (Path.size() < PATH_MAX) return;
    size_t start = 0;
    while (Path.size() - start >= PATH_MAX) {
      // The stretch ends at the last separator that keeps it short enough.
      const size_t cut = Path.rfind('/', start + PATH_MAX - 2);
      // A single component longer than any name has no separator to cut at.
      if (cut == std::string::npos || cut < start || (cut == start && start > 0)) {
        Fail(ENAMETOOLONG);
        return;
      }
      const std::string stretch = cut == 0 ? std::string("/") : Path.substr(start, cut - start);
      int next;
      do {
        next = ::openat(folder_, stretch.c_str(), kFolderFlags);
      } while (next < 0 && errno == EINTR);
      if (next < 0) {
        Fail(errno);
        return;
      }
      if (folder_ >= 0) ::close(folder_);
      folder_ = next;
      start = cut + 1;
    }
    rest_ = Path.substr(start);
  }
  ~ShortPath() {
    if (folder_ >= 0) ::close(folder_);
  }
  ShortPath(const ShortPath&) = delete;
  ShortPath& operator=(const ShortPath&) = delete;

  // False when a folder on the way could not be opened; Error() says why.
  bool Valid() const { return error_ == 0; }
  // The folder Name() is relative to: AT_FDCWD for a short path.
  int Folder() const { return folder_; }
  const char* Name() const { return rest_.c_str(); }
  int Error() const { return error_; }

 private:
#ifdef O_PATH
  // Only passed through: the folder need not be readable, as with a path.
  static constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
  static constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

  void Fail(int Error) {
    if (folder_ >= 0) ::close(folder_);
    folder_ = -1;
    error_ = Error;
    errno = Error;
  }

  int folder_ = AT_FDCWD;
  std::string rest_;
  int error_ = 0;
};

}  // namespace kelmora::platform
