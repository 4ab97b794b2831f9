// SPDX-License-Identifier: GPL-3.0-or-later
//
// Writing a file beside the one it replaces, and making the replacement
// durable, on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/target_file.h"
#include "platform/working_files.h"

namespace kelmora::platform {

namespace {

std::string FolderOf(const std::string& Path) {
  const size_t slash = Path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : Path.substr(0, slash);
}

// Runs a call again while a signal interrupts it; 0 or the error number.
template <typename Call>
int Retrying(Call call) {
  for (;;) {
    if (call() == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace

File CreateFileBeside(const std::string& Final, std::string& Name) {
  // Final's folder as Final spells it, so the two names differ in their
  // last component alone.
  const std::string folder = Final.substr(0, Final.rfind('/') + 1);
  int error = EEXIST;
  for (int attempt = 0; attempt < 100; ++attempt) {
    // Kelmora's own pattern of names, which the next run in this folder
    // knows to remove when a cut leaves the file behind. open makes it with
    // the usual permissions of a new file, where mkstemp would make it 0600.
    std::string name = folder + TemporaryName();
    int fd;
    do {
      fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (errno != EEXIST) {
        error = errno;
        break;
      }
      continue;
    }
    if (HoldTemporary(name, fd)) {
      Name = name;
      return File::Adopt(fd, true);
    }
    ::close(fd);  // a clean-up took the name first
  }
  return File::Failure(error);
}

int SyncFile(const std::string& Path) {
  int fd;
  do {
    fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  // fsync reaches the file's data whichever descriptor wrote it.
  const int error = Retrying([fd] { return ::fsync(fd); });
  ::close(fd);
  return error;
}

int RenameFile(const std::string& From, const std::string& To) {
  if (::rename(From.c_str(), To.c_str()) != 0) return errno;
  ReleaseTemporary(From);
  return 0;
}

int SyncFolderOf(const std::string& Path) {
  int fd;
  do {
    fd = ::open(FolderOf(Path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  int error = Retrying([fd] { return ::fsync(fd); });
  // Some file systems cannot sync a folder at all; their renames are as
  // durable as they will ever be.
  if (error == EINVAL || error == EROFS) error = 0;
  ::close(fd);
  return error;
}

bool IsSpecialFile(const std::string& Path) {
  struct stat st;
  return ::stat(Path.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

bool SameFile(const std::string& A, const std::string& B) {
  struct stat a, b;
  return ::stat(A.c_str(), &a) == 0 && ::stat(B.c_str(), &b) == 0 && a.st_dev == b.st_dev &&
         a.st_ino == b.st_ino;
}

std::string LinkTarget(const std::string& Path) {
  // As many links as the system itself follows in one path.
  constexpr int kMostLinks = 40;
  std::string at = Path;
  for (int hop = 0; hop < kMostLinks; ++hop) {
    struct stat st;
    if (::lstat(at.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
    char target[PATH_MAX];
    const ssize_t n = ::readlink(at.c_str(), target, sizeof target);
    if (n <= 0 || n == static_cast<ssize_t>(sizeof target)) return Path;
    const std::string next(target, static_cast<size_t>(n));
    const std::string folder = FolderOf(at);
    at = next[0] == '/' ? next : (folder == "/" ? std::string() : folder) + "/" + next;
    // Named from its real folder, as a reader or an error message shows
    // it: "/home/ann/../../mnt/disk/b.bkp" reads as "/mnt/disk/b.bkp".
    if (char* real = ::realpath(FolderOf(at).c_str(), nullptr)) {
      const std::string leaf = at.substr(at.rfind('/') + 1);
      at = std::string(real) + (std::strcmp(real, "/") == 0 ? "" : "/") + leaf;
      std::free(real);
    }
  }
  return Path;
}

}  // namespace kelmora::platform
