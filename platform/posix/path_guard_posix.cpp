// SPDX-License-Identifier: GPL-3.0-or-later

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "platform/path_guard.h"
#include "platform/platform.h"
#include "platform/target_file.h"

namespace kelmora::platform {

namespace {

PathInfo InfoOf(const struct stat& st) {
  PathInfo info;
  if (S_ISREG(st.st_mode)) {
    info.Kind = PathKind::File;
    info.Stamp = PackTime(st.st_mtim.tv_sec);
  } else if (S_ISDIR(st.st_mode)) {
    info.Kind = PathKind::Directory;
  } else if (S_ISLNK(st.st_mode)) {
    info.Kind = PathKind::Link;
  } else {
    info.Kind = PathKind::Other;
  }
  return info;
}

// What a failed look says: nothing there, or why nothing could be seen.
PathInfo FailedLook() {
  PathInfo info;
  if (errno != ENOENT && errno != ENOTDIR) info.Error = errno;
  return info;
}

}  // namespace

PathInfo InspectPath(const std::string& Path, bool FollowLinks) {
  struct stat st;
  const int result = FollowLinks ? ::stat(Path.c_str(), &st) : ::lstat(Path.c_str(), &st);
  return result == 0 ? InfoOf(st) : FailedLook();
}

PathInfo InspectAt(const FolderHandle& Folder, const std::string& Name) {
  struct stat st;
  if (::fstatat(Folder.Get(), Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return FailedLook();
  return InfoOf(st);
}

std::string ResolvedPath(const std::string& Path) {
  char* resolved = ::realpath(Path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string out(resolved);
  std::free(resolved);
  return out;
}

}  // namespace kelmora::platform
