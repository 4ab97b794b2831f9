// SPDX-License-Identifier: GPL-3.0-or-later
//
// Failure points for the calls libfiu's POSIX preload leaves alone, which a
// restore makes for every file: openat, renameat, unlinkat, mkdirat and
// syncfs. Preloaded after fiu_posix_preload.so, they fail as its own
// points do: when enabled through libfiu (fiu-run -c), with the errno of
// the point's failinfo, else EIO. Their names sit beside libfiu's own, so
// "posix/io/*" takes them in too.
#include <dlfcn.h>
#include <fcntl.h>
#define FIU_ENABLE 1
#include <fiu.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>

namespace {

template <typename Function>
Function Next(const char* Name) {
  return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, Name));
}

// True when the point fails this call; errno is then set.
bool Fails(const char* Point) {
  if (fiu_fail(Point) == 0) return false;
  const auto info = reinterpret_cast<intptr_t>(fiu_failinfo());
  errno = info != 0 ? static_cast<int>(info) : EIO;
  return true;
}

}  // namespace

extern "C" int openat(int Folder, const char* Path, int Flags, ...) {
  mode_t mode = 0;
  if ((Flags & O_CREAT) != 0 || (Flags & O_TMPFILE) == O_TMPFILE) {
    va_list args;
    va_start(args, Flags);
    mode = va_arg(args, mode_t);
    va_end(args);
  }
  static const auto real = Next<int (*)(int, const char*, int, ...)>("openat");
  if (Fails("posix/io/oc/openat")) return -1;
  return real(Folder, Path, Flags, mode);
}

extern "C" int renameat(int FromFolder, const char* From, int ToFolder, const char* To) {
  static const auto real = Next<int (*)(int, const char*, int, const char*)>("renameat");
  if (Fails("posix/io/dir/renameat")) return -1;
  return real(FromFolder, From, ToFolder, To);
}

extern "C" int unlinkat(int Folder, const char* Path, int Flags) {
  static const auto real = Next<int (*)(int, const char*, int)>("unlinkat");
  if (Fails("posix/io/dir/unlinkat")) return -1;
  return real(Folder, Path, Flags);
}

extern "C" int mkdirat(int Folder, const char* Path, mode_t Mode) {
  static const auto real = Next<int (*)(int, const char*, mode_t)>("mkdirat");
  if (Fails("posix/io/dir/mkdirat")) return -1;
  return real(Folder, Path, Mode);
}

extern "C" int syncfs(int Fd) {
  static const auto real = Next<int (*)(int)>("syncfs");
  if (Fails("posix/io/sync/syncfs")) return -1;
  return real(Fd);
}
