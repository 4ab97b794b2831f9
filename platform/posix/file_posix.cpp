// SPDX-License-Identifier: GPL-3.0-or-later

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "platform/file.h"
#include "platform/platform.h"
#include "platform/posix/long_path.h"

namespace kelmora::platform {

namespace {

int Descriptor(NativeHandle Handle) {
  return static_cast<int>(Handle);
}

FileKind KindOf(mode_t Mode) {
  if (S_ISREG(Mode)) return FileKind::Regular;
  if (S_ISDIR(Mode)) return FileKind::Directory;
  if (S_ISBLK(Mode) || S_ISCHR(Mode)) return FileKind::Device;
  return FileKind::Other;
}

FileState StateOf(const struct stat& St) {
  FileState state;
  state.Kind = KindOf(St.st_mode);
  state.Size = St.st_size;
  state.ModifiedSeconds = St.st_mtim.tv_sec;
  state.ModifiedNanoseconds = static_cast<int32_t>(St.st_mtim.tv_nsec);
  return state;
}

}  // namespace

bool File::Failed() {
  error_ = errno;
  return false;
}

File File::Open(const std::string& Path, OpenMode Mode, bool FollowLinks, FileState* Opened) {
  int flags = O_CLOEXEC | (FollowLinks ? 0 : O_NOFOLLOW);
  switch (Mode) {
    case OpenMode::Read:
      flags |= O_RDONLY;
      break;
    case OpenMode::Create:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case OpenMode::Write:
      flags |= O_WRONLY;
      break;
  }
  File file;
  // A path longer than one call takes is reached a stretch at a time.
  const ShortPath at(Path);
  if (!at.Valid()) {
    file.error_ = at.Error();
    return file;
  }
  int fd;
  do {
    fd = ::openat(at.Folder(), at.Name(), flags | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    file.Failed();
    return file;
  }
  struct stat st;
  // A directory opens read-only on Linux but is no file to read.
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    file.error_ = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    return file;
  }
  // Reads and writes wait as usual once it is open. The flag means nothing
  // to a regular file, which spares two system calls for every file a
  // backup reads.
  if (!S_ISREG(st.st_mode)) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  // A file just opened stands at 0; a FIFO or a character device cannot seek.
  file.handle_ = fd;
  file.owns_ = true;
  file.seekable_ = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
  if (Opened != nullptr) *Opened = StateOf(st);
  return file;
}

File File::Adopt(NativeHandle Handle, bool Owns) {
  return File(Handle, Owns, ::lseek(Descriptor(Handle), 0, SEEK_CUR) >= 0);
}

File File::Failure(int Error) {
  File file;
  file.error_ = Error;
  return file;
}

File File::StandardInput() {
  return Adopt(STDIN_FILENO, false);
}

File File::StandardOutput() {
  return Adopt(STDOUT_FILENO, false);
}

int64_t File::Read(void* Buffer, size_t Count) {
  for (;;) {
    const ssize_t n = ::read(Descriptor(handle_), Buffer, Count);
    if (n >= 0) return n;
    if (errno != EINTR) {
      Failed();
      return -1;
    }
  }
}

bool File::Write(const void* Buffer, size_t Count) {
  const auto* in = static_cast<const unsigned char*>(Buffer);
  size_t done = 0;
  while (done < Count) {
    const ssize_t n = ::write(Descriptor(handle_), in + done, Count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Failed();
    if (n == 0) {
      error_ = EIO;
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

int64_t File::Seek(int64_t Offset, SeekFrom From) {
  const int whence = From == SeekFrom::Begin ? SEEK_SET
                     : From == SeekFrom::End ? SEEK_END
                                             : SEEK_CUR;
  const off_t at = ::lseek(Descriptor(handle_), static_cast<off_t>(Offset), whence);
  if (at < 0) {
    Failed();
    return -1;
  }
  return at;
}

bool File::State(FileState& State) {
  struct stat st;
  if (::fstat(Descriptor(handle_), &st) != 0) return Failed();
  State = StateOf(st);
  return true;
}

bool File::Resize(int64_t Size) {
  for (;;) {
    if (::ftruncate(Descriptor(handle_), static_cast<off_t>(Size)) == 0) return true;
    if (errno != EINTR) return Failed();
  }
}

bool File::ExtendTo(int64_t Size) {
  FileState state;
  if (!State(state)) return false;
  if (state.Size < Size && !Resize(Size)) return false;
  return Seek(Size, SeekFrom::Begin) == Size;
}

int32_t File::Stamp() {
  FileState state;
  if (!State(state)) return -1;
  return PackTime(static_cast<std::time_t>(state.ModifiedSeconds));
}

bool File::SetStamp(int32_t Stamp) {
  std::time_t t;
  if (!UnpackTime(Stamp, t)) {
    error_ = EINVAL;
    return false;
  }
  struct timespec times[2];
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;  // the access time stays as it is
  times[1].tv_sec = t;
  times[1].tv_nsec = 0;
  return ::futimens(Descriptor(handle_), times) == 0 || Failed();
}

bool File::Close() {
  if (!Valid()) return true;
  const int fd = Descriptor(handle_);
  handle_ = kNoHandle;
  if (!owns_) return true;
  // After EINTR the descriptor is gone on Linux; the data went with it.
  if (::close(fd) != 0 && errno != EINTR) return Failed();
  return true;
}

std::string ErrorText(int Error) {
  char text[256];
  // The GNU strerror_r returns its text, which need not be in our buffer.
  return ::strerror_r(Error, text, sizeof text);
}

}  // namespace kelmora::platform
