// Writing a file beside the one it replaces, and making the replacement
// durable, on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include "platform/platform.h"

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
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  // mkstemp would make the file 0600; the replacement must get the usual
  // permissions of a new file, so the unique name is found here.
  std::random_device seed;
  std::mt19937 pick(seed());
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = Final + ".tmp";
    for (int i = 0; i < 6; ++i) name += kLetters[pick() % (sizeof kLetters - 1)];
    int fd;
    do {
      fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      Name = name;
      return File::Adopt(fd, true);
    }
    if (errno != EEXIST) break;
  }
  return File::Failure(errno);
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
  return ::rename(From.c_str(), To.c_str()) == 0 ? 0 : errno;
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

}  // namespace kelmora::platform
