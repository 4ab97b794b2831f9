// A source file as the backup reads it: opened read-only, read in whole
// pieces straight into the caller's buffer.
//
// TFileStream would do, but it reads ahead into a buffer of its own, which
// costs a copy of every byte and a fresh 64 KiB buffer for each of
// thousands of small files; here a piece is the natural unit already.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "engine/streams.h"
#include "platform/platform.h"

namespace kelmora {

class SourceFile : public TStream {
 public:
  // Throws EFOpenError "Cannot open file <name>". Anything but a regular
  // file is refused: a FIFO put in a file's place must not block the run,
  // hence the open without waiting for a writer.
  explicit SourceFile(const std::string& Path) {
    do {
      handle_ = ::open(Path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (handle_ < 0 && errno == EINTR);
    if (handle_ >= 0 && (::fstat(handle_, &opened_) != 0 || !S_ISREG(opened_.st_mode))) {
      ::close(handle_);
      handle_ = -1;
    }
    if (handle_ < 0) throw EFOpenError("Cannot open file " + Path);
  }
  ~SourceFile() override { ::close(handle_); }
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;

  // Fills Buffer unless the file ends first; throws "Stream read error"
  // when the device fails, so that an error never looks like an end.
  size_t Read(void* Buffer, size_t Count) override {
    auto* out = static_cast<unsigned char*>(Buffer);
    size_t done = 0;
    while (done < Count) {
      const ssize_t n = ::read(handle_, out + done, Count - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw EStreamError(kStreamReadError);
      if (n == 0) break;
      done += static_cast<size_t>(n);
    }
    position_ += static_cast<int64_t>(done);
    return done;
  }
  size_t Write(const void*, size_t) override { throw EStreamError(kStreamWriteError); }
  int64_t Seek(int64_t, SeekOrigin) override { throw EStreamError(kStreamReadError); }
  int64_t Position() const override { return position_; }

  // The size and the packed last-write time (-1 when it has none) the
  // file had when it was opened.
  int64_t Size() const { return opened_.st_size; }
  int32_t Stamp() const { return platform::PackTime(opened_.st_mtim.tv_sec); }
  int64_t ModifiedNs() const {
    return static_cast<int64_t>(opened_.st_mtim.tv_sec) * 1000000000 + opened_.st_mtim.tv_nsec;
  }

  // True while neither the size nor the modification time (to the
  // nanosecond) differs from what they were at the open.
  bool Unchanged() const {
    struct stat now;
    return ::fstat(handle_, &now) == 0 && now.st_size == opened_.st_size &&
           now.st_mtim.tv_sec == opened_.st_mtim.tv_sec &&
           now.st_mtim.tv_nsec == opened_.st_mtim.tv_nsec;
  }

 private:
  int handle_ = -1;
  struct stat opened_ {};
  int64_t position_ = 0;
};

}  // namespace kelmora
