#include "engine/streams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace kelmora {

namespace {

// A run shorter than a file-system block could not become a hole anyway.
constexpr size_t kShortestHole = 4096;

bool IsAllZero(const unsigned char* Bytes, size_t Count) {
  // Each byte equal to the next, and the first one zero.
  return Count != 0 && Bytes[0] == 0 && std::memcmp(Bytes, Bytes + 1, Count - 1) == 0;
}

}  // namespace

void TStream::Skip(int64_t Count) {
  if (Count > 0) Seek(Count, SeekOrigin::Current);
}

void TStream::ReadBuffer(void* Buffer, size_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count) throw EStreamError(kStreamReadError);
}

void TStream::WriteBuffer(const void* Buffer, size_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count) throw EStreamError(kStreamWriteError);
}

// ---------------------------------------------------------------- handle

THandleStream::THandleStream(int Handle, bool OwnsHandle) {
  Attach(Handle, OwnsHandle);
}

void THandleStream::Attach(int Handle, bool OwnsHandle) {
  const off_t at = ::lseek(Handle, 0, SEEK_CUR);
  Attach(Handle, OwnsHandle, at >= 0);
  position_ = seekable_ ? at : 0;
}

void THandleStream::Attach(int Handle, bool OwnsHandle, bool Seekable) {
  handle_ = Handle;
  owns_ = OwnsHandle;
  seekable_ = Seekable;
  position_ = 0;
  buffer_.reset(new unsigned char[kBufferSize]);
}

THandleStream::~THandleStream() {
  try {
    Close();
  } catch (const EStreamError&) {
    // A destructor cannot report; callers that care call Close() first.
  }
}

void THandleStream::Close() {
  if (handle_ < 0) return;
  int error = 0;
  try {
    Flush();
  } catch (const EStreamError& e) {
    error = e.SystemError() != 0 ? e.SystemError() : EIO;
  }
  // NFS and full quotas can report a failed write only here.
  if (owns_ && ::close(handle_) != 0 && errno != EINTR && error == 0) error = errno;
  handle_ = -1;
  if (error != 0) throw EStreamError(kStreamWriteError, error);
}

void THandleStream::DropReadAhead() {
  // Bytes read ahead but not consumed belong after Position on the device.
  if (readEnd_ > readPos_ && seekable_) ::lseek(handle_, position_, SEEK_SET);
  readPos_ = readEnd_ = 0;
}

size_t THandleStream::ReadDirect(void* Buffer, size_t Count) {
  for (;;) {
    const ssize_t n = ::read(handle_, Buffer, Count);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) throw EStreamError(kStreamReadError);
  }
}

size_t THandleStream::Read(void* Buffer, size_t Count) {
  if (handle_ < 0) throw EStreamError(kStreamReadError);
  if (writeEnd_ != 0 || holeAtEnd_) Flush();
  auto* out = static_cast<unsigned char*>(Buffer);
  size_t done = 0;
  while (done < Count) {
    if (readPos_ == readEnd_) {
      // Large reads go straight to the caller's buffer.
      if (Count - done >= kBufferSize) {
        const size_t n = ReadDirect(out + done, Count - done);
        if (n == 0) break;
        done += n;
        position_ += static_cast<int64_t>(n);
        continue;
      }
      readPos_ = 0;
      readEnd_ = ReadDirect(buffer_.get(), kBufferSize);
      if (readEnd_ == 0) break;
    }
    const size_t take = std::min(Count - done, readEnd_ - readPos_);
    std::memcpy(out + done, buffer_.get() + readPos_, take);
    readPos_ += take;
    done += take;
    position_ += static_cast<int64_t>(take);
  }
  return done;
}

size_t THandleStream::Write(const void* Buffer, size_t Count) {
  if (handle_ < 0) throw EStreamError(kStreamWriteError);
  if (readEnd_ != 0) DropReadAhead();
  const auto* in = static_cast<const unsigned char*>(Buffer);
  if (zerosAsHoles_ && seekable_ && Count >= kShortestHole && IsAllZero(in, Count)) {
    if (writeEnd_ != 0) Flush();
    position_ += static_cast<int64_t>(Count);
    holeAtEnd_ = true;
    return Count;
  }
  if (holeAtEnd_ || writeEnd_ + Count > kBufferSize) Flush();
  if (Count >= kBufferSize) {
    size_t done = 0;
    while (done < Count) {
      const ssize_t n = ::write(handle_, in + done, Count - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw EStreamError(kStreamWriteError, n < 0 ? errno : EIO);
      done += static_cast<size_t>(n);
    }
  } else {
    std::memcpy(buffer_.get() + writeEnd_, in, Count);
    writeEnd_ += Count;
  }
  position_ += static_cast<int64_t>(Count);
  return Count;
}

void THandleStream::Flush() {
  size_t done = 0;
  while (done < writeEnd_) {
    const ssize_t n = ::write(handle_, buffer_.get() + done, writeEnd_ - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      writeEnd_ = 0;
      throw EStreamError(kStreamWriteError, error);
    }
    done += static_cast<size_t>(n);
  }
  writeEnd_ = 0;
  if (holeAtEnd_) {
    holeAtEnd_ = false;
    if (!platform::ExtendFileTo(handle_, position_)) throw EStreamError(kStreamWriteError);
  }
}

int64_t THandleStream::Seek(int64_t Offset, SeekOrigin Origin) {
  if (Origin == SeekOrigin::Current && Offset == 0) return position_;
  if (!seekable_) throw EStreamError(kStreamReadError);
  Flush();
  int64_t target = Offset;
  if (Origin == SeekOrigin::Current) target = position_ + Offset;
  if (Origin == SeekOrigin::End) {
    const off_t end = ::lseek(handle_, 0, SEEK_END);
    if (end < 0) throw EStreamError(kStreamReadError);
    target = end + Offset;
  }
  if (target < 0 || ::lseek(handle_, target, SEEK_SET) < 0) throw EStreamError(kStreamReadError);
  readPos_ = readEnd_ = 0;
  position_ = target;
  return position_;
}

void THandleStream::Skip(int64_t Count) {
  if (Count <= 0) return;
  // Within the read-ahead, skipping is free.
  const size_t buffered = readEnd_ - readPos_;
  if (static_cast<uint64_t>(Count) <= buffered) {
    readPos_ += static_cast<size_t>(Count);
    position_ += Count;
    return;
  }
  if (seekable_) {
    Seek(Count, SeekOrigin::Current);
    return;
  }
  // A pipe: read and drop.
  unsigned char scratch[16384];
  while (Count > 0) {
    const size_t want = static_cast<size_t>(std::min<int64_t>(Count, sizeof scratch));
    const size_t n = Read(scratch, want);
    if (n == 0) throw EStreamError(kStreamReadError);
    Count -= static_cast<int64_t>(n);
  }
}

// ---------------------------------------------------------------- file

TFileStream::TFileStream(const std::string& FileName, TMode Mode, bool FollowLinks)
    : fileName_(FileName) {
  int flags = O_CLOEXEC | (FollowLinks ? 0 : O_NOFOLLOW);
  switch (Mode) {
    case fmOpenRead:
      flags |= O_RDONLY;
      break;
    case fmCreate:
      flags |= O_RDWR | O_CREAT | O_TRUNC;
      break;
    case fmOpenWrite:
      flags |= O_WRONLY;
      break;
  }
  int fd;
  do {
    // Non-blocking only while opening: a FIFO in a file's place would
    // otherwise wait for a partner for ever. Without a reader it now fails.
    fd = ::open(FileName.c_str(), flags | O_NONBLOCK, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  struct stat st;
  // A directory opens read-only on Linux but is no file to read.
  if (fd >= 0 && (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode))) {
    ::close(fd);
    fd = -1;
  }
  if (fd < 0) throw EFOpenError("Cannot open file " + FileName);
  // A file just opened stands at 0; a FIFO or a device cannot seek.
  Attach(fd, true, S_ISREG(st.st_mode) || S_ISBLK(st.st_mode));
}

TFileStream::TFileStream(int Handle, const std::string& FileName) : fileName_(FileName) {
  Attach(Handle, true, true);
}

int64_t TFileStream::Size() {
  Flush();
  struct stat st;
  if (::fstat(Handle(), &st) != 0) throw EStreamError(kStreamReadError);
  return st.st_size;
}

// ---------------------------------------------------------------- memory

size_t TMemoryStream::Read(void* Buffer, size_t Count) {
  const int64_t size = static_cast<int64_t>(data_.size());
  if (position_ >= size) return 0;
  const size_t take = static_cast<size_t>(std::min<int64_t>(Count, size - position_));
  std::memcpy(Buffer, data_.data() + position_, take);
  position_ += static_cast<int64_t>(take);
  return take;
}

size_t TMemoryStream::Write(const void* Buffer, size_t Count) {
  if (Count == 0) return 0;
  const size_t end = static_cast<size_t>(position_) + Count;
  if (end > data_.size()) data_.resize(end);
  std::memcpy(data_.data() + position_, Buffer, Count);
  position_ = static_cast<int64_t>(end);
  return Count;
}

int64_t TMemoryStream::Seek(int64_t Offset, SeekOrigin Origin) {
  int64_t target = Offset;
  if (Origin == SeekOrigin::Current) target = position_ + Offset;
  if (Origin == SeekOrigin::End) target = static_cast<int64_t>(data_.size()) + Offset;
  if (target < 0) throw EStreamError(kStreamReadError);
  position_ = target;
  return position_;
}

}  // namespace kelmora
