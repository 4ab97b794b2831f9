#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include "platform/path_guard.h"
#include "platform/platform.h"

namespace kelmora::platform {

PathInfo InspectPath(const std::string& Path, bool FollowLinks) {
  struct stat st;
  const int result = FollowLinks ? ::stat(Path.c_str(), &st) : ::lstat(Path.c_str(), &st);
  PathInfo info;
  if (result != 0) return info;
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

std::string ResolvedPath(const std::string& Path) {
  char* resolved = ::realpath(Path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string out(resolved);
  std::free(resolved);
  return out;
}

}  // namespace kelmora::platform
